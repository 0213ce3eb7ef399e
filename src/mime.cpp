#include "mime.h"

MimeSection *mime_section = nullptr;

MimeSection::MimeSection() : Section(MIME_SPEC) {}

void MimeSection::update() {}
