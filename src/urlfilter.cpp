#include "urlfilter.h"

FilterSection *filter_section = nullptr;

FilterSection::FilterSection() : Section(FILTER_SPEC) {}

void FilterSection::update() {}
