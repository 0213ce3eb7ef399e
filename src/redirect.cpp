#include "redirect.h"

RedirectSection *redirect_section = nullptr;

RedirectSection::RedirectSection() : Section(REDIRECT_SPEC) {}

void RedirectSection::update() {}

int RedirectSection::redirect_do(CONNECTION_T *, int) { return 0; }
