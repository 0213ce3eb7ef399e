// DNS blacklist: refuses requests whose registered domain a DNS blacklist zone lists.
#pragma once

#include <iterator>

#include "section.h"

enum DnsblGlobal : int { DNSBL_ENABLED = 0, DNSBL_TEMPLATE, DNSBL_ZONE, DNSBL_ANSWERS };

inline constexpr FieldSpec DNSBL_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"template", FT_STRING}, {"zone", FT_STRING},
  {"answers", FT_IP_RANGE_LIST} };
inline constexpr SectionSpec DNSBL_SPEC = { "dnsbl", DNSBL_GLOBALS, {} };

static_assert(std::size(DNSBL_GLOBALS) == DNSBL_ANSWERS + 1);

class DnsblSection : public Section {
 public:
  DnsblSection();
  void update() override;
};
extern DnsblSection *dnsbl_section;
