#include "orvex.h"

ORVEX_Section *orvex_section = nullptr;

ORVEX_Section::ORVEX_Section() : Section(ORVEX_SPEC) {}

void ORVEX_Section::update() {}
