#include "access.h"

AccessSection *access_section = nullptr;

AccessSection::AccessSection() : Section(ACCESS_SPEC) {}

void AccessSection::update() {}
