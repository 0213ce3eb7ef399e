#include "kaspersky.h"

KasperskySection *kaspersky_section = nullptr;

KasperskySection::KasperskySection() : Section(KASPERSKY_SPEC) {}

void KasperskySection::update() {}
