#include "limit.h"

LimitSection *limit_section = nullptr;

LimitSection::LimitSection() : Section(LIMITS_SPEC) {}

void LimitSection::update() {}
