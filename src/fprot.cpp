#include "fprot.h"

FProtSection *fprot_section = nullptr;

FProtSection::FProtSection() : Section(FPROT_SPEC) {}

void FProtSection::update() {}
