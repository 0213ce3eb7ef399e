#include "keyword.h"

KeywordSection *keyword_section = nullptr;

KeywordSection::KeywordSection() : Section(KEYWORD_SPEC) {}

void KeywordSection::update() {}
