#include "limit.h"

LimitSection *limit_section = nullptr;

LimitSection::LimitSection() : Section(LIMITS_SPEC) {}

void LimitSection::update() {}

int LimitSection::check_and_block(CONNECTION_T *) { return 0; }

void LimitSection::update(CONNECTION_T *) {}
