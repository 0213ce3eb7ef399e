// Network section: listening addresses and the local address of outgoing connections.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filebuf.h"
#include "header.h"
#include "section.h"
#include "socket.h"

struct CACHEMAP;

// One command taken from the host name of a request URL ("xx--name[options].").
struct url_command_t {
  std::string name;
  std::string options;
  bool has_options = false;  // brackets were given
};

// Per-request state bits of a connection.
enum ConnectionFlag : uint32_t {
  CONN_BUFFER = 0x1,
  CONN_VALIDATE = 0x2,
  CONN_VALIDATED = 0x4,
  CONN_CACHING = 0x8,
  CONN_PROXYAUTH = 0x10,
  CONN_OFFLINE = 0x20,
  CONN_PROCESS = 0x40,
  CONN_POOLED = 0x80,
  CONN_LIMITED = 0x100,
  CONN_DECODE = 0x400,
  CONN_FAILED = 0x800,
  CONN_HTTPS = 0x1000,
  CONN_SSL = 0x2000,
  CONN_CLIENT_GONE = 0x4000,
  CONN_ICAP_BODY = 0x8000,
  CONN_HEAD = 0x10000,
  CONN_PARENT = 0x20000,
  CONN_BIGUPLOAD = 0x40000,
  CONN_TRANSPARENT = 0x80000,
};

constexpr int AUTH_REQUIRED = 0x2;
constexpr uint64_t NO_LIMIT = 4294967295u;
constexpr int CATEGORY_COUNT = 32;

enum ProxyType : int {
  PROXY_HTTP = 0,
  PROXY_SOCKS4 = 1,
  PROXY_SOCKS5 = 2,
  PROXY_TUNNEL = 3,
  PROXY_DIRECT = 4,
};

// One accepted client connection. Owned by exactly one thread at a time: the request thread
// serving it or the client pool while it idles. Fields marked "per request" are reset by
// the request loop after each request.
struct CONNECTION_T {
  int thread_index = -1;
  unsigned client_id = 0;
  uint32_t flags = 0;  // per request
  int auth_flags = 0;
  std::unique_ptr<Socket> client;
  std::unique_ptr<Socket> server;  // per request: pooled or destroyed afterwards
  int auth_state = 0;
  std::string ip;
  int port = 0;
  std::string interface;
  int requests = 0;
  int keepalive_client = -1;
  int keepalive_server = -1;
  time_t buffer_timeout = 0;
  uint64_t downloaded = 0;
  uint64_t download_limit = NO_LIMIT;
  uint64_t uploaded = 0;
  uint64_t upload_limit = NO_LIMIT;
  std::string proxy_authorization;
  std::string proxy_host;  // empty = no parent
  int proxy_port = 0;
  int proxy_type = PROXY_DIRECT;
  std::string username;
  std::string auth_user;
  std::string auth_challenge;
  std::string dn;
  StringList groups;
  std::string proxy_user, proxy_password, proxy_domain;
  std::string interface_username, interface_password;
  int access_flags = 0;  // per request
  uint32_t bypass = 0;   // per request
  std::vector<url_command_t> url_commands;  // per request
  StringList profiles;                 // per request
  CACHEMAP *cache = nullptr;           // per request
  std::unique_ptr<HEADER> header;      // per request
  std::unique_ptr<HEADER> rheader;     // per request
  std::unique_ptr<Filebuf> postbody;   // per request
  std::map<std::string, std::string> variables;  // per request
  int auth_scheme = 0;
  std::array<int, CATEGORY_COUNT> categories;  // per request, all -1
  int tunnel_owner = -1;
  int ctimeout = 60;
  int timeout = 60;
  int keeptimeout = 60;

  CONNECTION_T() { categories.fill(-1); }
};

enum NetworkSub : int { NETWORK_SUB_LISTEN = 0, NETWORK_SUB_INTERFACE };
enum ListenField : int { LISTEN_ENABLED = 0, LISTEN_COMMENT, LISTEN_PORT, LISTEN_ADDRESS };
enum InterfaceField : int {
  IFACE_ENABLED = 0, IFACE_COMMENT, IFACE_GROUPS, IFACE_PROFILES, IFACE_ADDRESS,
};

inline constexpr FieldSpec LISTEN_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"port", FT_INT}, {"address", FT_STRING} };
inline constexpr FieldSpec INTERFACE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"address", FT_STRING} };
inline constexpr SubsectionSpec NETWORK_SUBSECTIONS[] = {
  {"listen", LISTEN_FIELDS}, {"interface", INTERFACE_FIELDS} };
inline constexpr SectionSpec NETWORK_SPEC = { "network", {}, NETWORK_SUBSECTIONS };

static_assert(std::size(NETWORK_SUBSECTIONS) == NETWORK_SUB_INTERFACE + 1);
static_assert(std::size(LISTEN_FIELDS) == LISTEN_ADDRESS + 1);
static_assert(std::size(INTERFACE_FIELDS) == IFACE_ADDRESS + 1);

class NetworkSection : public Section {
 public:
  NetworkSection();
  void update() override;
};
extern NetworkSection *network_section;
