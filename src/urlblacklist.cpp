#include "urlblacklist.h"

URLBLSection *urlbl_section = nullptr;

URLBLSection::URLBLSection() : Section(URLBL_SPEC) {}

void URLBLSection::update() {}
