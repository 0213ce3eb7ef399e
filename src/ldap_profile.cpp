#include "ldap_profile.h"

LdapSection *ldap_section = nullptr;

LdapSection::LdapSection() : Section(LDAP_SPEC) {}

void LdapSection::update() {}
