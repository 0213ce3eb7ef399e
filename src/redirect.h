// Redirect section: rewrites or redirects requests and rewrites server redirections.
#pragma once

#include <iterator>

#include "section.h"

struct CONNECTION_T;

enum RedirectGlobal : int { REDIRECT_ENABLED = 0 };
enum RedirectSub : int { REDIRECT_SUB_REDIRECT = 0 };
enum RedirectRuleField : int {
  REDIRECT_RULE_ENABLED = 0, REDIRECT_RULE_COMMENT, REDIRECT_RULE_GROUPS,
  REDIRECT_RULE_PROFILES, REDIRECT_RULE_PATTERN, REDIRECT_RULE_REPLACE, REDIRECT_RULE_PORT,
  REDIRECT_RULE_SENDREDIRECT, REDIRECT_RULE_URLCODING, REDIRECT_RULE_STAGE,
};

inline constexpr FieldSpec REDIRECT_GLOBALS[] = { {"enabled", FT_BOOL} };
inline constexpr FieldSpec REDIRECT_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"pattern", FT_STRING}, {"replace", FT_STRING},
  {"port", FT_INT}, {"sendredirect", FT_BOOL}, {"urlcoding", FT_STRING_SELECT_MANY},
  {"stage", FT_STRING_SELECT_ONE} };
inline constexpr SubsectionSpec REDIRECT_SUBSECTIONS[] = { {"redirect", REDIRECT_RULE_FIELDS} };
inline constexpr SectionSpec REDIRECT_SPEC = {
  "redirect", REDIRECT_GLOBALS, REDIRECT_SUBSECTIONS };

static_assert(std::size(REDIRECT_GLOBALS) == REDIRECT_ENABLED + 1);
static_assert(std::size(REDIRECT_SUBSECTIONS) == REDIRECT_SUB_REDIRECT + 1);
static_assert(std::size(REDIRECT_RULE_FIELDS) == REDIRECT_RULE_STAGE + 1);

class RedirectSection : public Section {
 public:
  RedirectSection();
  void update() override;

  // stage 0: the request, 1: a response's Location. 1 only when it answered the request with
  // a redirection (the request is finished); 0 otherwise, also after a rewrite. No rule
  // redirects yet.
  int redirect_do(CONNECTION_T *conn, int stage);
};
extern RedirectSection *redirect_section;
