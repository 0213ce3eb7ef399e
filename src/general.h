// General settings (host name, temporary directory, server pool, per-user timeouts,
// buffers and headers) and the FTP gateway settings.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// Option positions of sortorder and sortfield, in schema order.
enum FtpSortOrder : int { FTP_SORT_ASCENDING = 0, FTP_SORT_DESCENDING };
enum FtpSortField : int { FTP_SORT_NONE = 0, FTP_SORT_NAME, FTP_SORT_SIZE, FTP_SORT_DATE };

inline constexpr FieldSpec FTP_GLOBALS[] = {
  {"passive", FT_BOOL}, {"timeout", FT_INT}, {"user", FT_STRING}, {"password", FT_STRING},
  {"sortorder", FT_STRING_SELECT_ONE}, {"sortfield", FT_STRING_SELECT_ONE} };
inline constexpr SectionSpec FTP_SPEC = { "ftp", FTP_GLOBALS, {} };

static_assert(std::size(FTP_GLOBALS) == FTP_SORTFIELD + 1);

struct CONNECTION_T;
struct Regex;

// Values used for a request to which no per-user rule applies.
constexpr int GENERAL_DEFAULT_TIMEOUT = 60;  // ctimeout, timeout and keeptimeout, seconds

// Per-user settings of one rule of the "general" subsection, built by update().
struct General {
  bool enabled = true;
  std::string comment;
  StringList groups;
  StringList profiles;
  int ctimeout = GENERAL_DEFAULT_TIMEOUT;
  int timeout = GENERAL_DEFAULT_TIMEOUT;
  int keeptimeout = GENERAL_DEFAULT_TIMEOUT;
  std::uint64_t maxdbuffer = 0;
  std::uint64_t maxubuffer = 0;
  int bufferwait = 0;
  PortRangeList cportrange;
  std::string encodemime;  // pattern text as configured
  std::shared_ptr<const Regex> encodemime_pattern;  // null: none or not compilable
  bool compressout = false;
  bool compressin = false;
  bool xforwardedfor = false;
  bool via = false;
};

// Process-wide settings and per-user settings chosen by groups and profiles. Every accessor
// takes the read lock for one lookup; the per-user ones select the first applying rule
// (find) and fall back to the defaults above when none applies. A null connection stands
// for a request without groups and profiles.
class GeneralSection : public Section {
 public:
  GeneralSection();
  // Rebuilds the rules in item order and brings html_line_length (misc.h) in line with
  // the configured line length. Called with the write lock held.
  void update() override;

  // The proxy's host name as configured (empty when not set).
  std::string hostname_get() const;
  // Directory for the antivirus clients' temporary files.
  std::string tempdir_get() const;
  int linelength_get() const;
  int poolsize_get() const;
  int pooltimeout_get() const;

  // The three timeouts also store the value in the connection's field of the same name.
  int ctimeout_get(CONNECTION_T *conn) const;
  int timeout_get(CONNECTION_T *conn) const;
  int keeptimeout_get(CONNECTION_T *conn) const;
  std::uint64_t maxdbuffer_get(const CONNECTION_T *conn) const;
  std::uint64_t maxubuffer_get(const CONNECTION_T *conn) const;
  // Seconds a response may be buffered before it is sent anyway; 0: no limit.
  int bufferwait_get(const CONNECTION_T *conn) const;
  // Whether a CONNECT may reach the port: true without a rule or with an empty range list.
  bool cportrange_check(const CONNECTION_T *conn, int port) const;
  // Whether responses of this content type are compressed towards the client: the rule's
  // pattern is found in `type` (false without a rule or without a usable pattern).
  bool encodemime_check(const CONNECTION_T *conn, std::string_view type) const;
  bool compressout_get(const CONNECTION_T *conn) const;
  bool compressin_get(const CONNECTION_T *conn) const;
  bool xforwardedfor_get(const CONNECTION_T *conn) const;
  bool via_get(const CONNECTION_T *conn) const;

  // The first enabled rule, in item order, whose groups and profiles match the
  // connection's (profile_find); null when none does. The caller holds the read lock; the
  // result lives until the next update().
  const General *find(const CONNECTION_T *conn) const;

 private:
  std::vector<General> rules_;
};
extern GeneralSection *general_section;

// Settings of the FTP gateway. No subsections; the accessors read under the read lock.
class FtpSection : public Section {
 public:
  FtpSection();
  void update() override;

  bool passive_get() const;
  // Seconds to wait for control-connection replies and for an active data connection.
  int timeout_get() const;
  // Position of the chosen option: 0 ascending, 1 descending.
  int sortorder_get() const;
  // Position of the chosen option: 0 none (server order), 1 name, 2 size, 3 date.
  int sortfield_get() const;
  // Copies of the default user name and password, taken together under one lock.
  void credentials_get(std::string *user, std::string *password) const;
};
extern FtpSection *ftp_section;
