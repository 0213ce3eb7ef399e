// Forward section: parent proxies and the choice among them (ICP or CARP).
#pragma once

#include <cstddef>
#include <iterator>

#include "section.h"

struct CONNECTION_T;

enum ForwardGlobal : int { FORWARD_ENABLED = 0, FORWARD_CARP, FORWARD_CARP_RANGE };
enum ForwardSub : int { FORWARD_SUB_FORWARD = 0 };
enum ForwardRuleField : int {
  FORWARD_RULE_ENABLED = 0, FORWARD_RULE_COMMENT, FORWARD_RULE_GROUPS, FORWARD_RULE_PROFILES,
  FORWARD_RULE_HOST, FORWARD_RULE_USERNAME, FORWARD_RULE_PASSWORD, FORWARD_RULE_DOMAIN,
  FORWARD_RULE_PORT, FORWARD_RULE_ICP, FORWARD_RULE_ICP_PORT, FORWARD_RULE_TYPE,
  FORWARD_RULE_PROTOCOLS,
};

inline constexpr FieldSpec FORWARD_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"carp", FT_BOOL}, {"carp_range", FT_UINT} };
inline constexpr FieldSpec FORWARD_RULE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"host", FT_STRING}, {"username", FT_STRING},
  {"password", FT_STRING}, {"domain", FT_STRING}, {"port", FT_INT},
  {"icp", FT_STRING_SELECT_ONE}, {"icp_port", FT_INT}, {"type", FT_STRING_SELECT_ONE},
  {"protocols", FT_STRING_SELECT_MANY} };
inline constexpr SubsectionSpec FORWARD_SUBSECTIONS[] = { {"forward", FORWARD_RULE_FIELDS} };
inline constexpr SectionSpec FORWARD_SPEC = { "forward", FORWARD_GLOBALS, FORWARD_SUBSECTIONS };

static_assert(std::size(FORWARD_GLOBALS) == FORWARD_CARP_RANGE + 1);
static_assert(std::size(FORWARD_SUBSECTIONS) == FORWARD_SUB_FORWARD + 1);
static_assert(std::size(FORWARD_RULE_FIELDS) == FORWARD_RULE_PROTOCOLS + 1);

class ForwardSection : public Section {
 public:
  ForwardSection();
  void update() override;

  // Chooses a parent for the request and fills proxy_type, proxy_host, proxy_port and the
  // parent credentials; no choice leaves the route direct (the caller sets proxy_type 4
  // first). Returns 0. No rule forwards yet.
  int forward_do(CONNECTION_T *conn);
};
extern ForwardSection *forward_section;

// Client handshakes on the freshly connected conn->server, reaching the request's host and
// port through a SOCKS proxy. SOCKS4: 1 on success (reply 90), -2 (reply 91, a short or
// missing reply), -3 (the host does not resolve), -4 (replies 92 and 93), -1 any other reply.
// SOCKS5: 1 on success, -2 on any failure (no acceptable method, credentials refused or not
// expressible in one-byte lengths, a host name longer than 255 bytes, a refused CONNECT, a
// short reply). Each reply must arrive within the connection's ctimeout.
int proxy_socks4(CONNECTION_T *conn);
int proxy_socks5(CONNECTION_T *conn);

// SOCKS fields with a one-byte length.
constexpr std::size_t SOCKS5_FIELD_MAX = 255;
