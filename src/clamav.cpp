#include "clamav.h"

ClamAVSection *clamav_section = nullptr;

ClamAVSection::ClamAVSection() : Section(CLAMAV_SPEC) {}

void ClamAVSection::update() {}
