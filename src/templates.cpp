#include "templates.h"

TemplateSection *template_section = nullptr;

TemplateSection::TemplateSection() : Section(TEMPLATES_SPEC) {}

void TemplateSection::update() {}
