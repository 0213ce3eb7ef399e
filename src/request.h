// The request loop: a request thread serves one client connection request after request
// (process_entry), and one request runs from its head to its answer (handle_request). Every
// answer the proxy makes itself in place of the server goes through one refusal routine
// driven by one table, so each exit writes exactly one access-log record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class Filebuf;
struct CONNECTION_T;

// ---- handlers installed at start-up ----------------------------------------------------------
// Each hook is set once by config() before any request thread runs; a null hook has the safe
// behaviour written beside it.

// The HTTP exchange on the connection's `server` (or from its cache entry). 1: the request
// was answered and its access-log record written. -1: the server could not be used; no record
// was written, and the client may already hold an answer from header_get_reconnect (the loop
// answers 502 "badresponse" when it holds none). Null: every HTTP request gets that 502.
extern int (*protocol_http_hook)(CONNECTION_T *conn);
// The FTP gateway, with the contract of protocol_http_hook. Null: "ftp" is a scheme the proxy
// does not handle ("badprotocol", before any server connection is opened).
extern int (*protocol_ftp_hook)(CONNECTION_T *conn);
// The request-body processors: false when they answered the request (the loop then writes
// the record). Null: the request goes on.
extern bool (*process_request_hook)(CONNECTION_T *conn, Filebuf *body);
// Sets keepalive_client from the request head. Null: keepalive_check_client_default.
extern void (*keepalive_check_client_hook)(CONNECTION_T *conn);
// Reads a whole body (side 0: the request's, from the client) into a new buffer; null when it
// did not arrive whole. Null hook: request bodies are never buffered, always streamed by the
// protocol handler (CONN_BIGUPLOAD).
extern std::unique_ptr<Filebuf> (*http_transfer_filebuf_hook)(CONNECTION_T *conn, int side);
// Whether the client accepts compressed content. Null: true, so the proxy never asks a server
// for an encoding it might not be able to undo.
extern bool (*accepts_encoded_content_hook)(CONNECTION_T *conn);
// The web interface: whether a request is for it (may turn an origin-form request into a
// proxy-form one), and the handler that answers it completely, record included. Null
// recognition: isthis_interface_request. Null handler: a 404 "nofile" page.
extern bool (*interface_request_hook)(CONNECTION_T *conn);
extern void (*interface_handle_request_hook)(CONNECTION_T *conn);
// Site-category lookup before the profiles are computed. Null: no categories.
extern void (*orvex_first_hook)(CONNECTION_T *conn);

// Pages of URL commands; each answers the request completely, record included. A null page
// leaves its command without effect.
struct UrlCommandPages {
  void (*limits)(CONNECTION_T *conn) = nullptr;
  void (*profiles)(CONNECTION_T *conn) = nullptr;
  void (*cache)(CONNECTION_T *conn) = nullptr;
  void (*filter)(CONNECTION_T *conn) = nullptr;
  void (*proxytest)(CONNECTION_T *conn) = nullptr;
};
extern UrlCommandPages url_command_pages;

// Performance-log counters; null entries are not counted.
struct RequestCounters {
  void (*connection_handled)(unsigned client_id) = nullptr;  // first request of a connection
  void (*request_completed)() = nullptr;
};
extern RequestCounters request_counters;

// keepalive_client from the request alone: 0 with CONN_FAILED or CONN_CLIENT_GONE (then
// keepalive_server too) or for a CONNECT, else 1 unless the request's keep_alive or
// proxy_keep_alive is 0.
void keepalive_check_client_default(CONNECTION_T *conn);

// ---- the loop ----------------------------------------------------------------------------

// Thread start routine of request threads (request_thread_start): serves the connection it is
// given, then waits THREAD_TIMEOUT seconds for another one handed over by the client pool;
// ends the thread when none comes. Owns the connection it serves until it parks it in the
// client pool or closes it.
void *process_entry(void *connection);

enum RequestOutcome : int {
  REQUEST_SERVED = 0,  // a request was read and ended (answered, refused or failed)
  REQUEST_NO_HEAD,     // nothing arrived on a new connection: park it without counting a request
  REQUEST_CLOSED,      // the client left before a head arrived; nothing is owed to it
};

// Runs one request of the connection to its end.
RequestOutcome handle_request(CONNECTION_T *conn);

// Everything a request left on the connection goes: URL commands, body, response head,
// variables, profiles, groups, permissions (access_flags), bypass bits, route, per-request
// limits and flags, categories, tunnel_owner. The server socket goes to the server pool when
// keepalive_server is 1 and it is still healthy, else it is closed. CONN_CLIENT_GONE is the
// only flag kept, for the caller to read. The request head is released last (the pool key is
// taken from it).
void request_reset(CONNECTION_T *conn);

// Whether the request is for the web interface's host "quillmoss.cfg": a proxy-form (or any
// non-origin-form) request whose host is that name; an origin-form request whose path begins
// with "/quillmoss.cfg", or whose Host line is that name (the request then becomes proxy-form).
// False without a connection or a head. Case is ignored throughout.
bool isthis_interface_request(CONNECTION_T *conn);

inline constexpr std::string_view INTERFACE_HOST = "quillmoss.cfg";

// ---- refusals ----------------------------------------------------------------------------

// Every answer of the pipeline made in place of the server, in the order in which they can
// happen. One row of REFUSALS each.
enum Refusal : int {
  REFUSE_MALFORMED_HEADER = 0,  // header_get or the parser refused the head (400, 414, 431, 408)
  REFUSE_KEEPALIVE_TIMEOUT,     // a kept-alive client sent no next request in time: no answer
  REFUSE_URLCOMMAND_REDIRECT,   // url_command_extract already answered with a redirection
  REFUSE_PROCESSOR_UNPARSABLE,  // request-head processors left an unparsable head
  REFUSE_PROCESSOR_EMPTY,       // request-head processors left no head
  REFUSE_BODY_INCOMPLETE,       // the announced request body did not arrive
  REFUSE_UPLOAD_LIMIT,
  REFUSE_CONNECT_METHOD,        // CONNECT without ACCESS_CONNECT
  REFUSE_CONNECT_PORT,          // CONNECT to a port outside the general section's range
  REFUSE_NOT_PERMITTED,         // origin form without ACCESS_TRANSPARENT, proxy form without ACCESS_PROXY
  REFUSE_NO_INTERFACE,          // web interface request while no interface handler is installed
  REFUSE_NO_HOST,               // origin form without a usable Host line
  REFUSE_OWN_PORT,              // origin form aimed at the proxy's own listener port
  REFUSE_CACHE_INVALID,         // the cache holds an object its rules cannot serve
  REFUSE_OFFLINE_MISS,          // "offline" URL command and nothing cached
  REFUSE_SCHEME,                // a scheme no handler serves
  REFUSE_CONNECTION_FAILED,     // no server connection and nothing cached
  REFUSE_BAD_RESPONSE,          // the server gave no usable response and nothing was sent yet
  REFUSAL_COUNT,
};

// What happens to the connection's keep-alive decision.
enum RefusalKeepAlive : int {
  KEEPALIVE_UNCHANGED = 0,
  KEEPALIVE_CLEAR_CLIENT,  // keepalive_client = 0: the client connection closes after this
  KEEPALIVE_CLEAR_BOTH,    // keepalive_client = keepalive_server = 0
};

// What happens to the template variables "FILTER" and "REASON".
enum RefusalVariables : int {
  VARIABLES_UNCHANGED = 0,
  VARIABLES_REMOVED,
  VARIABLES_SET,  // removed, then set to filter_var and reason_var
};

// Values of one refusal that the table cannot know.
struct RefusalDetail {
  std::string text;              // the reason text of rows whose reason is formatted
  int status = 0;                // page and logged status of rows that take it from here
  std::string template_name;     // the page of rows whose template is chosen by the caller
  uint64_t amount = 0;           // bytes: announced body size (upload limit)
  uint64_t limit = 0;            // bytes: the limit that refused it
  int port = 0;
};

struct RefusalRow {
  Refusal which;
  // Writes the diagnostic line(s); null: none.
  void (*log)(const CONNECTION_T &conn, const RefusalDetail &detail);
  const char *template_name;  // null: the detail's template_name, or no page when that is empty
  int page_status;            // 0: the detail's status
  RefusalVariables variables;
  const char *filter_var;     // "FILTER" value
  const char *reason_var;     // "REASON" value; null: the detail's text
  int logged_status;          // 0: the detail's status
  const char *section;        // record's filter name
  const char *reason;         // record's reason; null: the detail's text
  int cachecode;
  RefusalKeepAlive keepalive;
  bool logs_amount;           // the record's size is the detail's amount instead of 0
};

// The table, indexed by Refusal.
extern const RefusalRow REFUSALS[REFUSAL_COUNT];

// Refuses the request as the row says: logs its line, applies its keep-alive effect (a request
// whose announced body was not read also loses keep-alive: its bytes would be read as the next
// request), sets the variables, sends the page (for a CONNECT never with a 2xx status, which
// would tell the client that a tunnel is open), fills the access-log record (peer code DIRECT,
// peer host "quillmoss", size 0 unless the row says otherwise) and writes it in both formats.
void request_refuse(CONNECTION_T *conn, Refusal which, const RefusalDetail &detail = {});

// Writes the connection's access-log record in both formats.
void request_log_write(CONNECTION_T *conn);
