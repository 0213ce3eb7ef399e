#include "rewrite.h"

RewriteSection *rewrite_section = nullptr;

RewriteSection::RewriteSection() : Section(REWRITE_SPEC) {}

void RewriteSection::update() {}
