// Templates: the pages the proxy itself sends (refusals, errors, forms, images, the style
// sheet), variable substitution, and the template section, whose rules supply further
// named pages from files.
#pragma once

#include <cstddef>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filebuf.h"
#include "section.h"

enum TemplateGlobal : int { TEMPLATES_PATH = 0 };
enum TemplateSub : int { TEMPLATES_SUB_TEMPLATE = 0 };
enum TemplateRuleField : int {
  TEMPLATE_RULE_ENABLED = 0, TEMPLATE_RULE_COMMENT, TEMPLATE_RULE_GROUPS,
  TEMPLATE_RULE_PROFILES, TEMPLATE_RULE_NAME, TEMPLATE_RULE_FILE, TEMPLATE_RULE_MIMETYPE,
  TEMPLATE_RULE_CODE, TEMPLATE_RULE_SUPPRESS, TEMPLATE_RULE_PARSE,
};

inline constexpr FieldSpec TEMPLATES_GLOBALS[] = { {"path", FT_STRING} };
inline constexpr FieldSpec TEMPLATE_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"name", FT_STRING}, {"file", FT_STRING},
  {"mimetype", FT_STRING}, {"code", FT_INT}, {"suppress", FT_BOOL}, {"parse", FT_BOOL} };
inline constexpr SubsectionSpec TEMPLATES_SUBSECTIONS[] = {
  {"template", TEMPLATE_RULE_FIELDS} };
inline constexpr SectionSpec TEMPLATES_SPEC = {
  "templates", TEMPLATES_GLOBALS, TEMPLATES_SUBSECTIONS };

static_assert(std::size(TEMPLATES_GLOBALS) == TEMPLATES_PATH + 1);
static_assert(std::size(TEMPLATES_SUBSECTIONS) == TEMPLATES_SUB_TEMPLATE + 1);
static_assert(std::size(TEMPLATE_RULE_FIELDS) == TEMPLATE_RULE_PARSE + 1);

struct CONNECTION_T;

// Template variables of a request, by name (the connection's `variables`).
using TemplateVariables = std::map<std::string, std::string>;

// A reference "@NAME@" ends at the next "@" within this many bytes after its opening "@".
constexpr std::size_t TEMPLATE_REFERENCE_WINDOW = 63;
// Largest template file read from disk; a larger one counts as unreadable.
constexpr std::size_t TEMPLATE_FILE_MAX = 1u << 20;
// Largest page substitution may produce; values that would pass it are left out.
constexpr std::size_t TEMPLATE_PAGE_MAX = 16u << 20;

// One built-in template (the table PAGES).
struct BuiltinTemplate {
  const char *name;
  std::string text;       // bytes of the template (images are binary)
  const char *mime_type;
  bool parse;             // variables are substituted
  bool html;              // HTML text: substituted values are HTML-escaped
};
// Every built-in template; constant once the program runs.
extern const std::vector<BuiltinTemplate> PAGES;
// The built-in template named `name` (ignoring case), or null.
const BuiltinTemplate *template_builtin_find(std::string_view name);

// One rule of the "template" subsection, built by update().
struct Template {
  bool enabled = true;
  std::string comment;
  StringList groups;
  StringList profiles;
  std::string name;
  std::string file;
  std::string mimetype;
  int code = 200;
  bool suppress = false;
  bool parse = false;
};

// A page built from a template. `name` is the template's own name (the built-in's or the
// rule's), safe to put in a header line.
struct TemplatePage {
  std::string name;
  std::string mime_type;
  Filebuf body;
};

// Substitutes variable references in the buffer, in place: "@@" gives "@"; "@NAME@" (the
// closing "@" within TEMPLATE_REFERENCE_WINDOW bytes) gives the value of NAME, HTML-escaped
// (& < > " ') when html_escape is set; an unknown name gives nothing and is added to the map
// with an empty value; an "@" without a closing "@" in the window is copied as it is and
// scanning goes on after it. Substituted values are not scanned again.
void variables_parse(TemplateVariables &variables, Filebuf &buffer, bool html_escape);

// Template for a failure code of protocol_start: -4 "badauth", -3 "nodns", -2 "noconnect",
// any other "unknown".
const char *error_to_template(int code);

// Pages the proxy produces itself: built-in templates, and templates read from files by
// rules chosen by groups and profiles. A rule never replaces a built-in template.
class TemplateSection : public Section {
 public:
  TemplateSection();
  // Rebuilds the rules in item order. Called with the write lock held.
  void update() override;

  // The page for `name` with the connection's variables substituted (a null connection
  // substitutes from an empty map), or nullopt when there is none: the name is neither
  // built in nor given by an applying rule, the rule suppresses the page, or its file
  // cannot be read (missing, or larger than TEMPLATE_FILE_MAX). The rule's status code is
  // stored in *status (when given) when a rule supplied or suppressed the page; otherwise
  // *status is left alone.
  std::optional<TemplatePage> get(CONNECTION_T *conn, std::string_view name, int *status) const;

  // Sends the page as the whole response on the client socket: the status line with the
  // rule's code or else `status` (500 for a code outside 100..599), Content-Type,
  // Content-Length, "Cache-Control: no-cache" and "X-Template" with the template's name;
  // no body for a HEAD request. A name without a page falls back to "unknown", so the
  // client always gets an answer; a suppressing rule gives an empty body. False when the
  // client is gone, its socket is missing or closed, or the write failed.
  bool send(std::string_view name, CONNECTION_T *conn, int status) const;

  // Appends the page's bytes to the buffer; false when there is no page.
  bool insert(CONNECTION_T *conn, Filebuf *buffer, std::string_view name) const;

 private:
  enum class Lookup { PAGE, SUPPRESSED, NONE };
  Lookup build(CONNECTION_T *conn, std::string_view name, int *status,
               std::optional<TemplatePage> *page) const;

  std::vector<Template> rules_;
};
extern TemplateSection *template_section;
