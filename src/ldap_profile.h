// LDAP section: directories that authenticate users and supply their groups.
#pragma once

#include <iterator>

#include "section.h"

// Prefixes avoid the LDAP_ namespace of the directory client library's macros.
enum LdapGlobal : int { LDAPSEC_ENABLED = 0 };
enum LdapSub : int { LDAPSEC_SUB_DIRECTORY = 0 };
enum LdapDirectoryField : int {
  LDAPDIR_ENABLED = 0, LDAPDIR_COMMENT, LDAPDIR_SKIPHOST, LDAPDIR_SERVER, LDAPDIR_PORT,
  LDAPDIR_SSL, LDAPDIR_SPARE, LDAPDIR_SIZELIMIT, LDAPDIR_USERFILTER, LDAPDIR_GROUPFILTER,
  LDAPDIR_BINDDN, LDAPDIR_BINDPASSWORD, LDAPDIR_BASEDN, LDAPDIR_DOMAIN,
  LDAPDIR_LOGINATTRIBUTES, LDAPDIR_GROUPATTRIBUTES,
};

inline constexpr FieldSpec LDAP_GLOBALS[] = { {"enabled", FT_BOOL} };
inline constexpr FieldSpec LDAP_DIRECTORY_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"skiphost", FT_STRING},
  {"server", FT_STRING}, {"port", FT_INT}, {"ssl", FT_BOOL}, {"spare", FT_INT},
  {"sizelimit", FT_INT}, {"userfilter", FT_STRING}, {"groupfilter", FT_STRING},
  {"binddn", FT_STRING}, {"bindpassword", FT_STRING}, {"basedn", FT_STRING},
  {"domain", FT_STRING}, {"loginattributes", FT_STRING_LIST},
  {"groupattributes", FT_STRING_LIST} };
inline constexpr SubsectionSpec LDAP_SUBSECTIONS[] = { {"directory", LDAP_DIRECTORY_FIELDS} };
inline constexpr SectionSpec LDAP_SPEC = { "ldap", LDAP_GLOBALS, LDAP_SUBSECTIONS };

static_assert(std::size(LDAP_GLOBALS) == LDAPSEC_ENABLED + 1);
static_assert(std::size(LDAP_SUBSECTIONS) == LDAPSEC_SUB_DIRECTORY + 1);
static_assert(std::size(LDAP_DIRECTORY_FIELDS) == LDAPDIR_GROUPATTRIBUTES + 1);

class LdapSection : public Section {
 public:
  LdapSection();
  void update() override;
};
extern LdapSection *ldap_section;
