#include "profiles.h"

ProfileSection *profile_section = nullptr;

ProfileSection::ProfileSection() : Section(PROFILES_SPEC) {}

void ProfileSection::update() {}
