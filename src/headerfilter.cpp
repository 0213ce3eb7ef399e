#include "headerfilter.h"

HeaderSection *header_section = nullptr;

HeaderSection::HeaderSection() : Section(HDRFILTER_SPEC) {}

void HeaderSection::update() {}

void HeaderSection::filter(CONNECTION_T *, int) {}
