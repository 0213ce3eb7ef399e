#include "icap.h"

ICAPSection *icap_section = nullptr;

ICAPSection::ICAPSection() : Section(ICAP_SPEC) {}

void ICAPSection::update() {}
