#include "forward.h"

ForwardSection *forward_section = nullptr;

ForwardSection::ForwardSection() : Section(FORWARD_SPEC) {}

void ForwardSection::update() {}
