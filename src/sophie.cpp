#include "sophie.h"

SophieSection *sophie_section = nullptr;

SophieSection::SophieSection() : Section(SOPHIE_SPEC) {}

void SophieSection::update() {}
