#include "general.h"

GeneralSection *general_section = nullptr;
FtpSection *ftp_section = nullptr;

GeneralSection::GeneralSection() : Section(GENERAL_SPEC) {}

void GeneralSection::update() {}

std::string GeneralSection::hostname_get() const {
  SectionReadLock guard(*this);
  return globals[GENERAL_HOSTNAME].text;
}

FtpSection::FtpSection() : Section(FTP_SPEC) {}

void FtpSection::update() {}
