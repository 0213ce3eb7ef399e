#include "dnsbl.h"

DnsblSection *dnsbl_section = nullptr;

DnsblSection::DnsblSection() : Section(DNSBL_SPEC) {}

void DnsblSection::update() {}
