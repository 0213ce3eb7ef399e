// Client connection records, the listen table and the accept routine, outgoing connects,
// and the network section: listening addresses and the local address of outgoing
// connections.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accesslog.h"
#include "dns.h"
#include "filebuf.h"
#include "header.h"
#include "hstream.h"
#include "section.h"
#include "socket.h"
#include "stats.h"

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
  // More than the client may upload; NO_LIMIT is no limit, not a 4 GiB one.
  bool over_upload_limit(uint64_t bytes) const {
    return upload_limit != NO_LIMIT && bytes > upload_limit;
  }
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
  // Parsed response document for the rewriting filters, fed as the body arrives; per request.
  std::unique_ptr<HTMLStream> html_stream;
  std::map<std::string, std::string> variables;  // per request
  LogEntry log_entry;                  // reset at the start of each request
  std::shared_ptr<Stats> user_stats;   // statistics of the matched access rule
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

// ---- connection records ------------------------------------------------------------------

// Asks the server pool to close the private server connection owned by this client id
// (installed by the server pool; null = nothing to close).
extern void (*connection_close_tunnel_hook)(unsigned client_id);

// Destroying a record goes through connection_free's rules whatever path drops it.
struct ConnectionDelete {
  void operator()(CONNECTION_T *conn) const;
};
using ConnectionPtr = std::unique_ptr<CONNECTION_T, ConnectionDelete>;

// A record with the initial values.
ConnectionPtr connection_new();
// Releases a record: a private server connection it owns goes back to the server pool to
// be closed, then the record and everything it owns are destroyed. Null is fine.
void connection_free(ConnectionPtr conn);
// Counts the closed connection, logs "%s disconnected after making %d requests", closes the
// client socket, then connection_free. Null only counts.
void net_close(ConnectionPtr conn);

// ---- listeners -----------------------------------------------------------------------------

constexpr int LISTEN_MAX = 20;                 // entries of the listen table
constexpr int LISTEN_BACKLOG_FALLBACK = 25;    // when somaxconn cannot be read
constexpr int BLOCKSIZE_MAX = 1 << 20;         // cap on BLOCKSIZE grown from buffer sizes
constexpr int ACCEPT_IDLE_WAIT_MS = 1000;      // net_accept's wait with no listener open
constexpr int ACCEPT_EXHAUSTED_WAIT_MS = 100;  // net_accept's pause when descriptors run out
constexpr const char *SOMAXCONN_PATH = "/proc/sys/net/core/somaxconn";

// Clears the listen table (closing what is still open); start-up.
void net_init();
// Opens a listener on address (dotted decimal; null or "" for every address) and port
// (1..65535) in the first unused entry of the listen table. The socket is non-blocking, so
// that a client that resets its connection between poll and accept never stalls the
// accept loop. Returns the entry index, or -1 after logging "failed to bind to %s:%d".
// May run in the main thread and, on HUP, in the signal thread.
int net_listen(int port, const char *address);
// Closes every listener; wakes a net_accept that waits on them.
void net_listen_closeall();
// Opens the listener of the command line (listenip, listenport) when set, then the
// network section's (NetworkSection::check). Start-up, after the document is loaded.
void net_listen_configured();
// HUP: net_listen_closeall, then net_listen_configured.
void net_listen_reopen();
// Listeners open now.
int net_listen_count();

// Waits up to timeout seconds (-1: no limit) for a client on any listener and returns its
// record (client socket in blocking mode, port, ip, interface), or null: nothing came, the
// listeners changed (closed or reopened) while it waited, or accepting failed. With no
// listener open it waits ACCEPT_IDLE_WAIT_MS (at most timeout) and returns null. When the
// process or the system is out of descriptors it pauses ACCEPT_EXHAUSTED_WAIT_MS before
// returning null, so the accept loop never spins. Main thread only.
ConnectionPtr net_accept(int timeout);

// ---- outgoing connections ------------------------------------------------------------------

// Connects to host:port, bound to local (any address: unbound), waiting at most timeout
// seconds (-1: no limit). Returns a connected descriptor in blocking mode, owned by the
// caller, or NET_CONNECT_BADARG (no host, port outside 1..65535), NET_CONNECT_FAILED
// (socket, connect or wait failure), NET_CONNECT_NODNS (the name did not resolve).
constexpr int NET_CONNECT_BADARG = -1;
constexpr int NET_CONNECT_FAILED = -2;
constexpr int NET_CONNECT_NODNS = -3;
int net_connect(const char *host, int port, in_addr local, int timeout);
int net_connect(const char *host, int port, int timeout);
int net_connect(const char *host, int port);

// ---- network section -----------------------------------------------------------------------

class NetworkSection : public Section {
 public:
  // Typed records, one per item in document order.
  struct Listen {
    bool enabled = false;
    std::string comment;
    int port = -1;        // -1: not opened
    std::string address;  // empty: every address
  };
  struct Interface {
    bool enabled = false;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string address;
    std::optional<in_addr> local;  // the address, when it is a dotted IPv4 address
  };

  NetworkSection();
  void update() override;
  // net_listen for every enabled listen item whose port is not -1.
  void check();
  // The local address of the first enabled interface rule whose groups match the
  // connection's groups and whose profiles match its profiles, and whose address is a
  // valid IPv4 address; the any-address when none does.
  in_addr interface_select(const CONNECTION_T &conn);

  // Copies of the typed records, for the web interface and the tests.
  std::vector<Listen> listen_get() const;
  std::vector<Interface> interface_get() const;

 private:
  std::vector<Listen> listens_;
  std::vector<Interface> interfaces_;
};
extern NetworkSection *network_section;
