#include "cookies.h"

CookieSection *cookie_section = nullptr;

CookieSection::CookieSection() : Section(COOKIE_SPEC) {}

void CookieSection::update() {}
