// General settings (host name, temporary directory, server pool, per-user timeouts,
// buffers and headers) and the FTP gateway settings.
#pragma once

#include <iterator>

#include "section.h"

enum GeneralGlobal : int {
  GENERAL_HOSTNAME = 0, GENERAL_TEMPDIR, GENERAL_LINELENGTH, GENERAL_POOLSIZE,
  GENERAL_POOLTIMEOUT,
};
enum GeneralSub : int { GENERAL_SUB_GENERAL = 0 };
enum GeneralRuleField : int {
  GENERAL_RULE_ENABLED = 0, GENERAL_RULE_COMMENT, GENERAL_RULE_GROUPS, GENERAL_RULE_PROFILES,
  GENERAL_RULE_CTIMEOUT, GENERAL_RULE_TIMEOUT, GENERAL_RULE_KEEPTIMEOUT,
  GENERAL_RULE_MAXDBUFFER, GENERAL_RULE_MAXUBUFFER, GENERAL_RULE_BUFFERWAIT,
  GENERAL_RULE_CPORTRANGE, GENERAL_RULE_ENCODEMIME, GENERAL_RULE_COMPRESSOUT,
  GENERAL_RULE_COMPRESSIN, GENERAL_RULE_XFORWARDEDFOR, GENERAL_RULE_VIA,
};

inline constexpr FieldSpec GENERAL_GLOBALS[] = {
  {"hostname", FT_STRING}, {"tempdir", FT_STRING}, {"linelength", FT_INT},
  {"poolsize", FT_INT}, {"pooltimeout", FT_INT} };
inline constexpr FieldSpec GENERAL_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"ctimeout", FT_INT}, {"timeout", FT_INT},
  {"keeptimeout", FT_INT}, {"maxdbuffer", FT_FILE_SIZE}, {"maxubuffer", FT_FILE_SIZE},
  {"bufferwait", FT_INT}, {"cportrange", FT_PORT_RANGE_LIST}, {"encodemime", FT_STRING},
  {"compressout", FT_BOOL}, {"compressin", FT_BOOL}, {"xforwardedfor", FT_BOOL},
  {"via", FT_BOOL} };
inline constexpr SubsectionSpec GENERAL_SUBSECTIONS[] = { {"general", GENERAL_RULE_FIELDS} };
inline constexpr SectionSpec GENERAL_SPEC = { "general", GENERAL_GLOBALS, GENERAL_SUBSECTIONS };

static_assert(std::size(GENERAL_GLOBALS) == GENERAL_POOLTIMEOUT + 1);
static_assert(std::size(GENERAL_SUBSECTIONS) == GENERAL_SUB_GENERAL + 1);
static_assert(std::size(GENERAL_RULE_FIELDS) == GENERAL_RULE_VIA + 1);

enum FtpGlobal : int {
  FTP_PASSIVE = 0, FTP_TIMEOUT, FTP_USER, FTP_PASSWORD, FTP_SORTORDER, FTP_SORTFIELD,
};

inline constexpr FieldSpec FTP_GLOBALS[] = {
  {"passive", FT_BOOL}, {"timeout", FT_INT}, {"user", FT_STRING}, {"password", FT_STRING},
  {"sortorder", FT_STRING_SELECT_ONE}, {"sortfield", FT_STRING_SELECT_ONE} };
inline constexpr SectionSpec FTP_SPEC = { "ftp", FTP_GLOBALS, {} };

static_assert(std::size(FTP_GLOBALS) == FTP_SORTFIELD + 1);

class GeneralSection : public Section {
 public:
  GeneralSection();
  void update() override;
  // The proxy's host name as configured (empty when not set).
  std::string hostname_get() const;
};
extern GeneralSection *general_section;

class FtpSection : public Section {
 public:
  FtpSection();
  void update() override;
};
extern FtpSection *ftp_section;
