// Access section: which clients may use the proxy, with which credentials, permissions,
// bypassed filters and starting profiles.
#pragma once

#include <iterator>
#include <memory>

#include "section.h"

class Filebuf;
class Stats;
struct CONNECTION_T;

enum AccessGlobal : int { ACCESS_DEFAULTDENY = 0, ACCESS_NTLM };
enum AccessSub : int { ACCESS_SUB_ALLOW = 0, ACCESS_SUB_DENY };
enum AccessRuleField : int {
  ACCESS_RULE_ENABLED = 0, ACCESS_RULE_COMMENT, ACCESS_RULE_LOGPROFILES, ACCESS_RULE_GROUPS,
  ACCESS_RULE_INTERFACES, ACCESS_RULE_ADDRESSES, ACCESS_RULE_SYSTEMAUTH, ACCESS_RULE_USER,
  ACCESS_RULE_PASSWORD, ACCESS_RULE_ACCESS, ACCESS_RULE_BYPASS, ACCESS_RULE_INTERFACEUSER,
  ACCESS_RULE_INTERFACEPASSWORD, ACCESS_RULE_PROFILES,
};

inline constexpr FieldSpec ACCESS_GLOBALS[] = {
  {"defaultdeny", FT_BOOL}, {"ntlm", FT_BOOL} };
inline constexpr FieldSpec ACCESS_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"logprofiles", FT_BOOL},
  {"groups", FT_STRING_LIST}, {"interfaces", FT_STRING_LIST}, {"addresses", FT_IP_RANGE_LIST},
  {"systemauth", FT_BOOL}, {"user", FT_STRING}, {"password", FT_STRING},
  {"access", FT_STRING_SELECT_MANY}, {"bypass", FT_STRING_SELECT_MANY},
  {"interfaceuser", FT_STRING}, {"interfacepassword", FT_STRING}, {"profiles", FT_STRING_LIST} };
inline constexpr SubsectionSpec ACCESS_SUBSECTIONS[] = {
  {"allow", ACCESS_RULE_FIELDS}, {"deny", ACCESS_RULE_FIELDS} };
inline constexpr SectionSpec ACCESS_SPEC = { "access", ACCESS_GLOBALS, ACCESS_SUBSECTIONS };

static_assert(std::size(ACCESS_GLOBALS) == ACCESS_NTLM + 1);
static_assert(std::size(ACCESS_SUBSECTIONS) == ACCESS_SUB_DENY + 1);
static_assert(std::size(ACCESS_RULE_FIELDS) == ACCESS_RULE_PROFILES + 1);

// Permission bits of a rule's `access` field, copied into the connection's access_flags. The
// schema's option list holds the options in this bit order.
enum AccessBit : int {
  ACCESS_INTERFACE = 0x1,     // the web administration interface
  ACCESS_PROXY = 0x2,         // proxy-form requests (absolute URL)
  ACCESS_TRANSPARENT = 0x4,   // origin-form requests (path only)
  ACCESS_HOSTHEADER = 0x8,    // an origin-form request without host may be routed by its Host line
  ACCESS_CONNECT = 0x10,      // CONNECT requests
  ACCESS_BYPASS = 0x20,       // the "bypass" URL command
  ACCESS_URLCOMMANDS = 0x40,  // URL commands at all
};
// The built-in default rule grants every bit.
constexpr int ACCESS_ALL = -1;

// Longest identity "user@address" stored in a connection's username.
constexpr std::size_t ACCESS_USERNAME_MAX = 511;

class AccessSection : public Section {
 public:
  AccessSection();
  void update() override;

  // Applies the built-in default rule to the connection: identity "anonymous@" and the client
  // address, no profiles, every permission, no bypass bits, no interface credentials, and the
  // rule's own statistics record.
  void setup_default(CONNECTION_T *conn) const;

 private:
  std::shared_ptr<Stats> default_stats_;
};
extern AccessSection *access_section;

// The authentication stage of a request. Runs the registered authentication processors; while
// none is registered every request is admitted under the built-in default rule. Then counts the
// identity, puts it in the access-log record and the "USERNAME" variable. A response an
// authentication processor prepared in conn->rheader (and `body`) is sent to the client.
// Returns 0 when the request ends here (a response was sent, or credentials are still
// required), 1 when it may go on. The caller writes the access-log record when it ends.
int process_auth(CONNECTION_T *conn, Filebuf *body);
