#include "request.h"

#include "proto_http.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "access.h"
#include "accesslog.h"
#include "cache.h"
#include "clientpool.h"
#include "filebuf.h"
#include "forward.h"
#include "general.h"
#include "header.h"
#include "headerfilter.h"
#include "limit.h"
#include "log.h"
#include "main.h"
#include "network.h"
#include "profiles.h"
#include "protocol.h"
#include "redirect.h"
#include "registry.h"
#include "serverpool.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "threads.h"
#include "urlcommand.h"

int (*protocol_http_hook)(CONNECTION_T *) = nullptr;
int (*protocol_ftp_hook)(CONNECTION_T *) = nullptr;
bool (*process_request_hook)(CONNECTION_T *, Filebuf *) = nullptr;
void (*keepalive_check_client_hook)(CONNECTION_T *) = nullptr;
std::unique_ptr<Filebuf> (*http_transfer_filebuf_hook)(CONNECTION_T *, int) = nullptr;
bool (*accepts_encoded_content_hook)(CONNECTION_T *) = nullptr;
bool (*interface_request_hook)(CONNECTION_T *) = nullptr;
void (*interface_handle_request_hook)(CONNECTION_T *) = nullptr;
void (*orvex_first_hook)(CONNECTION_T *) = nullptr;
UrlCommandPages url_command_pages;
RequestCounters request_counters;

namespace {

constexpr const char *MODULE = "src/request";

bool iequal(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool istarts(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ::strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

const char *ip_of(const CONNECTION_T &c) { return c.ip.c_str(); }

const char *host_of(const CONNECTION_T &c) { return c.header ? c.header->host.c_str() : ""; }
const char *file_of(const CONNECTION_T &c) { return c.header ? c.header->file.c_str() : ""; }

bool is_connect(const CONNECTION_T &c) { return c.header && c.header->type == HEADER_CONNECT; }

bool client_gone(const CONNECTION_T &c) {
  return (c.flags & CONN_CLIENT_GONE) || !c.client || c.client->error;
}

// The request announced a body that is still in the client socket: another request can no
// longer be read from the connection.
bool request_body_unread(const CONNECTION_T &c) {
  const HEADER *h = c.header.get();
  if (!h) return false;
  if (h->chunked) return true;
  if (!(h->flags & HDR_LENGTH) || h->content_length == 0) return false;
  return !c.postbody || c.postbody->length() < h->content_length;
}

// ---- refusal log lines -------------------------------------------------------------------

void log_malformed(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_WARNING | LOG_HEADER, "[IP:%s] request: invalid header recieved from client", ip_of(c));
}
void log_keepalive_timeout(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_WARNING | LOG_REQUEST, "[IP:%s] %s waiting for header", ip_of(c), "keepalive timeout");
}
void log_unparsable(const CONNECTION_T &, const RefusalDetail &) {
  putlog(LOG_WARNING | LOG_HEADER, "request processors returned invalid headers");
}
void log_emptied(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_WARNING | LOG_HEADER, "[IP:%s] request processors returned empty headers", ip_of(c));
}
void log_body_incomplete(const CONNECTION_T &c, const RefusalDetail &d) {
  putlog(LOG_WARNING | LOG_REQUEST, "[IP:%s] request body of %zu bytes did not arrive", ip_of(c),
         static_cast<std::size_t>(d.amount));
}
void log_upload_limit(const CONNECTION_T &, const RefusalDetail &d) {
  putlog(LOG_LIMITS, "blocked: upload: %zu bytes, upload limit :%zu bytes",
         static_cast<std::size_t>(d.amount), static_cast<std::size_t>(d.limit));
}
void log_connect_method(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request", ip_of(c));
}
void log_connect_port(const CONNECTION_T &c, const RefusalDetail &d) {
  putlog(LOG_SECURITY, "[IP:%s] Breach: general section: denied: method: CONNECT:%d", ip_of(c),
         d.port);
}
void log_not_permitted(const CONNECTION_T &c, const RefusalDetail &d) {
  putlog(LOG_SECURITY, "[IP:%s] Blocked: Security Breach: %s", ip_of(c), d.text.c_str());
}
void log_no_interface(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_WARNING | LOG_REQUEST, "[IP:%s] no web interface to answer the request", ip_of(c));
}
void log_no_host(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_SECURITY, "[IP:%s] Breach: malformatted request header", ip_of(c));
  putlog(LOG_URLFILTER, "[IP:%s] blocked: %s%s", ip_of(c), host_of(c), file_of(c));
}
void log_own_port(const CONNECTION_T &c, const RefusalDetail &d) {
  putlog(LOG_SECURITY, "[IP:%s] Breach: denied: transparent:%d", ip_of(c), d.port);
}
void log_cache_invalid(const CONNECTION_T &, const RefusalDetail &) {
  putlog(0, "Please re-check rules in the Caching Section");
}
void log_offline_miss(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_DEBUG | LOG_CACHE, "[IP:%s] offline: not in the cache: %s", ip_of(c),
         c.header ? c.header->url.c_str() : "");
}
void log_scheme(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_SECURITY, "[IP:%s] Breach: protocol: %s", ip_of(c),
         c.header ? c.header->proto.c_str() : "");
  putlog(LOG_URLFILTER, "[IP:%s] blocked: %s%s", ip_of(c), host_of(c), file_of(c));
}
void log_connection_failed(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] connection failed host: %s", ip_of(c), host_of(c));
}
void log_bad_response(const CONNECTION_T &c, const RefusalDetail &) {
  putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] no usable response from server: %s", ip_of(c),
         host_of(c));
}

}  // namespace

// clang-format off
constexpr RefusalRow REFUSALS[REFUSAL_COUNT] = {
  // which, log, template, page status, variables, FILTER, REASON,
  //   logged status, section, reason, cache code, keep-alive, size is the amount
  {REFUSE_MALFORMED_HEADER, log_malformed, "badrequest", 0, VARIABLES_UNCHANGED, nullptr, nullptr,
   0, "security-restrictions", "invalid headers", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_KEEPALIVE_TIMEOUT, log_keepalive_timeout, nullptr, 0, VARIABLES_UNCHANGED, nullptr, nullptr,
   408, "security-restrictions", "keepalive timeout", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_URLCOMMAND_REDIRECT, nullptr, nullptr, 0, VARIABLES_UNCHANGED, nullptr, nullptr,
   400, "security-restrictions", "invalid url command", CACHECODE_TCP_DENIED, KEEPALIVE_UNCHANGED, false},
  {REFUSE_PROCESSOR_UNPARSABLE, log_unparsable, "badrequest", 400, VARIABLES_UNCHANGED, nullptr, nullptr,
   400, "security-restrictions", "invalid headers", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_PROCESSOR_EMPTY, log_emptied, "badrequest", 400, VARIABLES_UNCHANGED, nullptr, nullptr,
   400, "security-restrictions", "invalid headers", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_BODY_INCOMPLETE, log_body_incomplete, "badrequest", 400, VARIABLES_UNCHANGED, nullptr, nullptr,
   400, "security-restrictions", "incomplete request body", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_UPLOAD_LIMIT, log_upload_limit, "uploadlimit", 200, VARIABLES_SET, "Upload Limits", nullptr,
   403, "limit_section", nullptr, CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, true},
  {REFUSE_CONNECT_METHOD, log_connect_method, "noaccess", 200, VARIABLES_SET, "Security", "CONNECT Method",
   403, "security", "CONNECT Method", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_CONNECT_PORT, log_connect_port, "noaccess", 404, VARIABLES_SET, "security-restrictions", nullptr,
   403, "security-restrictions", nullptr, CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_NOT_PERMITTED, log_not_permitted, "noaccess", 200, VARIABLES_SET, "security-restrictions", nullptr,
   403, "security", nullptr, CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_NO_INTERFACE, log_no_interface, "nofile", 404, VARIABLES_SET, "interface", "web interface not available",
   404, "interface", "web interface not available", CACHECODE_TCP_DENIED, KEEPALIVE_UNCHANGED, false},
  {REFUSE_NO_HOST, log_no_host, "nofile", 404, VARIABLES_SET, "Security", "malformatted request",
   403, "security", "malformatted request", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_OWN_PORT, log_own_port, "nofile", 200, VARIABLES_SET, "security-restrictions", nullptr,
   405, "security-restrictions", nullptr, CACHECODE_TCP_DENIED, KEEPALIVE_UNCHANGED, false},
  {REFUSE_CACHE_INVALID, log_cache_invalid, "error", 404, VARIABLES_UNCHANGED, nullptr, nullptr,
   404, nullptr, nullptr, CACHECODE_TCP_REF_FAIL_HIT, KEEPALIVE_UNCHANGED, false},
  {REFUSE_OFFLINE_MISS, log_offline_miss, "nocache", 404, VARIABLES_UNCHANGED, nullptr, nullptr,
   404, "cache", "offline", CACHECODE_TCP_MISS, KEEPALIVE_UNCHANGED, false},
  {REFUSE_SCHEME, log_scheme, "badprotocol", 200, VARIABLES_SET, "Security", "URL Filtering Policy",
   403, "security", "bad protocol", CACHECODE_TCP_DENIED, KEEPALIVE_CLEAR_CLIENT, false},
  {REFUSE_CONNECTION_FAILED, log_connection_failed, nullptr, 503, VARIABLES_REMOVED, nullptr, nullptr,
   503, nullptr, nullptr, CACHECODE_TCP_CONNECTION_FAILED, KEEPALIVE_CLEAR_BOTH, false},
  {REFUSE_BAD_RESPONSE, log_bad_response, "badresponse", 502, VARIABLES_REMOVED, nullptr, nullptr,
   502, nullptr, nullptr, CACHECODE_TCP_CONNECTION_FAILED, KEEPALIVE_CLEAR_BOTH, false},
};
// clang-format on

namespace {
constexpr bool refusals_in_order() {
  for (int i = 0; i < REFUSAL_COUNT; ++i)
    if (REFUSALS[i].which != i) return false;
  return true;
}
static_assert(refusals_in_order(), "REFUSALS is indexed by Refusal");
}  // namespace

void request_log_write(CONNECTION_T *conn) {
  conn->log_entry.Write();
  conn->log_entry.apache_Write();
}

void request_refuse(CONNECTION_T *conn, Refusal which, const RefusalDetail &detail) {
  QM_ASSERT(which >= 0 && which < REFUSAL_COUNT, MODULE);
  const RefusalRow &row = REFUSALS[which];
  if (row.log) row.log(*conn, detail);

  if (row.keepalive != KEEPALIVE_UNCHANGED) conn->keepalive_client = 0;
  if (row.keepalive == KEEPALIVE_CLEAR_BOTH) conn->keepalive_server = 0;
  if (request_body_unread(*conn)) conn->keepalive_client = 0;

  if (row.variables != VARIABLES_UNCHANGED) {
    conn->variables.erase("FILTER");
    conn->variables.erase("REASON");
  }
  if (row.variables == VARIABLES_SET) {
    conn->variables["FILTER"] = row.filter_var ? row.filter_var : "";
    conn->variables["REASON"] = row.reason_var ? row.reason_var : detail.text;
  }

  const int logged = row.logged_status ? row.logged_status : detail.status;
  const char *page = row.template_name;
  if (!page && !detail.template_name.empty()) page = detail.template_name.c_str();
  if (page && template_section) {
    int status = row.page_status ? row.page_status : detail.status;
    // A 2xx answer to a CONNECT tells the client that its tunnel is open.
    if (is_connect(*conn) && status >= 200 && status < 300) status = logged >= 300 ? logged : 403;
    template_section->send(page, conn, status);
  }

  LogEntry &e = conn->log_entry;
  e.set_cachecode(row.cachecode);
  e.set_peercode(PEERCODE_DIRECT);
  e.peerhost = LOG_PEER_SELF;
  e.size = row.logs_amount ? detail.amount : 0;
  e.status = logged;
  if (row.section) e.filter = row.section;
  if (row.reason) e.reason = row.reason;
  else if (!detail.text.empty()) e.reason = detail.text;
  request_log_write(conn);
}

void keepalive_check_client_default(CONNECTION_T *conn) {
  if (conn->flags & (CONN_FAILED | CONN_CLIENT_GONE)) {
    conn->keepalive_client = 0;
    conn->keepalive_server = 0;
    return;
  }
  const HEADER *h = conn->header.get();
  conn->keepalive_client =
      h && h->type != HEADER_CONNECT && h->keep_alive != 0 && h->proxy_keep_alive != 0 ? 1 : 0;
}

bool isthis_interface_request(CONNECTION_T *conn) {
  if (!conn || !conn->header) return false;
  HEADER &h = *conn->header;
  if (h.type == HEADER_TRANSPARENT) {
    std::string_view path = h.file;
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (istarts(path, INTERFACE_HOST)) return true;
    if (iequal(h.host_header, INTERFACE_HOST)) {
      h.type = HEADER_PROXY;
      return true;
    }
    return false;
  }
  return iequal(h.host, INTERFACE_HOST);
}

namespace {

// ---- small steps shared by several places -------------------------------------------------

template <typename F>
void slot_update(const CONNECTION_T *conn, F change) {
  if (!threads || conn->thread_index < 0 || conn->thread_index >= thread_slots) return;
  std::lock_guard g(threadlistlock);
  change(threads[static_cast<std::size_t>(conn->thread_index)]);
}

void make_private(CONNECTION_T *conn, int line) {
  conn->tunnel_owner = static_cast<int>(conn->client_id);
  putlog(LOG_DEBUG | LOG_HEADER, "%s:%d connection set to private", "handle_request", line);
}

void keepalive_check(CONNECTION_T *conn) {
  if (keepalive_check_client_hook) keepalive_check_client_hook(conn);
  else keepalive_check_client_default(conn);
}

bool is_interface_request(CONNECTION_T *conn) {
  return interface_request_hook ? interface_request_hook(conn) : isthis_interface_request(conn);
}

void profiles_update(CONNECTION_T *conn) {
  if (profile_section) profile_section->profiles_update(conn);
}

bool limits_refused(CONNECTION_T *conn) {
  return limit_section && limit_section->check_and_block(conn) == 1;
}

// The answer is a page of the proxy's own (redirection, progress page, template command).
void record_own_answer(CONNECTION_T *conn, int status) {
  LogEntry &e = conn->log_entry;
  e.set_peercode(PEERCODE_DIRECT);
  e.peerhost = LOG_PEER_SELF;
  e.status = status;
  e.size = 0;
  if (request_body_unread(*conn)) conn->keepalive_client = 0;
  request_log_write(conn);
}

bool redirected(CONNECTION_T *conn) {
  if (!redirect_section || redirect_section->redirect_do(conn, 0) != 1) return false;
  record_own_answer(conn, 302);
  return true;
}

bool show_page(CONNECTION_T *conn, const char *command, void (*page)(CONNECTION_T *)) {
  if (!page || !url_command_find(conn->url_commands, command)) return false;
  page(conn);
  return true;
}

void record_client_address(CONNECTION_T *conn) {
  const std::string &xff = conn->header->x_forwarded_for;
  conn->log_entry.client = xff.empty() ? conn->ip : xff;
}

void record_request(CONNECTION_T *conn) {
  const HEADER &h = *conn->header;
  LogEntry &e = conn->log_entry;
  e.method = h.method;
  e.url = h.type == HEADER_CONNECT ? h.host + ":" + std::to_string(h.port) : h.url;
  e.useragent = h.user_agent;
  e.referer = h.referer;
}

void set_http_variables(CONNECTION_T *conn) {
  const HEADER &h = *conn->header;
  if (!h.host.empty()) conn->variables["HTTP_HOST"] = h.host;
  conn->variables["HTTP_FILE"] = h.file;
  conn->variables["HTTP_METHOD"] = h.method;
  conn->variables["HTTP_PROTO"] = h.proto;
  conn->variables["HTTP_PORT"] = std::to_string(h.port);
}

bool via_http_parent(const CONNECTION_T &c) {
  return c.proxy_type == PROXY_HTTP && !c.proxy_host.empty();
}

bool cached_copy_suffices(const CONNECTION_T &c) {
  return c.cache && !(c.flags & CONN_VALIDATE);
}

// ---- the steps of handle_request, in order ---------------------------------------------

void request_begin(CONNECTION_T *conn) {
  slot_update(conn, [&](ThreadSlot &s) {
    s.state = THREAD_SERVING;
    s.requests = conn->requests;
    s.ip = conn->ip;
    s.time = ::time(nullptr);
  });
  if (conn->requests == 0)
    putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ", conn->client->fd(),
           ip_of(*conn), conn->port);
  auto &v = conn->variables;
  v["IP"] = conn->ip;
  v["PORT"] = std::to_string(conn->port);
  v["TIME"] = format("%u", static_cast<unsigned>(::time(nullptr)));
  v["INTERFACE"] = conn->interface;
  v["VERSION"] = VERSION_STRING;
  v["CLIENTID"] = format("%u", conn->client_id);
  conn->log_entry.interface = conn->interface;
  conn->log_entry.port = std::to_string(conn->port);
  conn->log_entry.client_id = conn->client_id;
}

enum class FirstBytes { ARRIVED, NONE, GONE };

// A new connection keeps its thread only CLIENT_POOL_TIMEOUT seconds while it sends nothing.
FirstBytes wait_first_bytes(CONNECTION_T *conn) {
  Socket &client = *conn->client;
  if (client.InputPending() > 0) return FirstBytes::ARRIVED;
  if (client.error) return FirstBytes::GONE;
  ssize_t n = client.Read(nullptr, SOCK_FILL, std::max(CLIENT_POOL_TIMEOUT, 0));
  if (n > 0) return FirstBytes::ARRIVED;
  if (n == 0 || (n == SOCK_ERROR && errno != ETIMEDOUT)) {
    client.error = true;
    return FirstBytes::GONE;
  }
  return FirstBytes::NONE;
}

RequestOutcome park_new_connection(CONNECTION_T *conn) {
  putlog(LOG_WARNING | LOG_REQUEST, "[IP:%s] %s waiting for header", ip_of(*conn), "header timeout");
  conn->keepalive_client = 1;
  return REQUEST_NO_HEAD;
}

// Steps 4 to 6: the head read and parsed into conn->header (its text in *raw), or the outcome
// of a request that ended there.
std::optional<RequestOutcome> read_request_head(CONNECTION_T *conn, std::string *raw) {
  Socket &client = *conn->client;
  client.Set_timeout(CLIENT_POOL_TIMEOUT);
  const bool kept_alive = conn->requests > 0;
  if (!kept_alive) {
    switch (wait_first_bytes(conn)) {
      case FirstBytes::GONE: return REQUEST_CLOSED;
      case FirstBytes::NONE: return park_new_connection(conn);
      case FirstBytes::ARRIVED: break;
    }
  }
  HeaderResult r = header_get(conn, 0, kept_alive ? conn->keeptimeout : conn->timeout, raw);
  conn->log_entry.Reset();
  conn->log_entry.client = conn->ip;

  if (r == HEADER_TIMEOUT || r == HEADER_CLOSED) {
    if (client_gone(*conn)) return REQUEST_CLOSED;
    if (client.InputPending() > 0) r = HEADER_INCOMPLETE;  // a head began and never ended
    else if (!kept_alive) return park_new_connection(conn);
    else if (r == HEADER_CLOSED) return REQUEST_CLOSED;
    else {
      request_refuse(conn, REFUSE_KEEPALIVE_TIMEOUT);
      return REQUEST_SERVED;
    }
  }
  if (r != HEADER_OK) {
    RefusalDetail d;
    d.status = header_result_status(r);
    request_refuse(conn, REFUSE_MALFORMED_HEADER, d);
    return REQUEST_SERVED;
  }

  putlog(LOG_DEBUG | LOG_HEADER, "[IP:%s] client [request:%d] headers:\n%s", ip_of(*conn),
         conn->requests, raw->c_str());
  HeaderResult parsed = HEADER_OK;
  conn->header = http_header_parse_request(*raw, &parsed);
  if (!conn->header) {
    RefusalDetail d;
    d.status = header_result_status(parsed);
    request_refuse(conn, REFUSE_MALFORMED_HEADER, d);
    return REQUEST_SERVED;
  }
  const HEADER &h = *conn->header;
  if (h.type == HEADER_TRANSPARENT) conn->flags |= CONN_TRANSPARENT;
  putlog(LOG_DEBUG | LOG_HEADER, "[IP:%s] %s for %s", ip_of(*conn),
         h.type == HEADER_TRANSPARENT ? "Transparent request" : "Proxy Request", h.url.c_str());
  record_client_address(conn);
  record_request(conn);
  if (h.flags & HDR_PRIVATE) make_private(conn, __LINE__);
  return std::nullopt;
}

// Steps 7 and 10: false when url_command_extract answered the request with a redirection.
bool extract_url_commands(CONNECTION_T *conn) {
  if (!url_command_extract(conn)) {
    request_refuse(conn, REFUSE_URLCOMMAND_REDIRECT);
    return false;
  }
  if (!conn->url_commands.empty()) url_command_log(conn->url_commands);
  return true;
}

void assign_profiles(CONNECTION_T *conn) {
  if (orvex_first_hook) orvex_first_hook(conn);
  profiles_update(conn);
}

// Step 9: the request-head processors may rewrite the raw head, which is parsed again.
bool run_header_processors(CONNECTION_T *conn, const std::string &raw) {
  conn->header.reset();
  Filebuf text;
  const bool processed = processors.Has(PROC_REQUEST_HEADER);
  if (processed) {
    text.Add(raw);
    processors.Execute(PROC_REQUEST_HEADER, conn, &text);
    if (text.empty()) {
      request_refuse(conn, REFUSE_PROCESSOR_EMPTY);
      return false;
    }
  }
  conn->header = http_header_parse_request(processed ? text.view() : std::string_view(raw));
  if (!conn->header) {
    request_refuse(conn, REFUSE_PROCESSOR_UNPARSABLE);
    return false;
  }
  record_client_address(conn);
  if (!conn->header->username.empty()) make_private(conn, __LINE__);
  record_request(conn);
  return true;
}

void set_request_variables(CONNECTION_T *conn) {
  header_variables(conn, "CLIENT", conn->header->headers);
  if (iequal(conn->header->method, "HEAD")) conn->flags |= CONN_HEAD;
  set_http_variables(conn);
}

// Step 12.
bool authenticate(CONNECTION_T *conn) {
  Filebuf body;
  if (process_auth(conn, &body) != 0) return true;
  request_log_write(conn);
  return false;
}

// Right after authentication, before the profiles are computed again: commands the client may
// not use must not win it any profile.
void drop_forbidden_url_commands(CONNECTION_T *conn) {
  if (conn->url_commands.empty() || (conn->access_flags & ACCESS_URLCOMMANDS)) return;
  putlog(LOG_ERROR | LOG_SECURITY, "[IP:%s] URL Command not permitted", ip_of(*conn));
  url_command_free(conn->url_commands);
}

// The upload-limit answer; amount is the body size announced or, for a chunked body, read.
void refuse_upload(CONNECTION_T *conn, uint64_t amount) {
  conn->variables["LIMIT_TYPE"] = "Upload Limit";
  conn->variables["UPLOADLIMIT"] = format("%zu", static_cast<std::size_t>(conn->upload_limit));
  RefusalDetail d;
  d.amount = amount;
  d.limit = conn->upload_limit;
  d.text = std::to_string(conn->upload_limit);
  request_refuse(conn, REFUSE_UPLOAD_LIMIT, d);
}

// Step 13: the body buffered in postbody, or left for the protocol handler to stream.
bool read_request_body(CONNECTION_T *conn) {
  HEADER &h = *conn->header;
  if (h.chunked) {
    // Decoded here (buffered up to the upload buffer, the rest streamed), so no chunk is
    // ever read as the next request.
    const uint64_t room = general_section ? general_section->maxubuffer_get(conn) : 0;
    const HttpRequestBody read = http_request_body_read(conn, room);
    if (read != HTTP_BODY_FAILED && conn->over_upload_limit(conn->uploaded) &&
        !isthis_interface_request(conn)) {
      // Its size shows only as it arrives: what was read already is over the limit.
      if (read == HTTP_BODY_STREAM) conn->keepalive_client = 0;  // the rest stays unread
      refuse_upload(conn, conn->uploaded);
      return false;
    }
    if (read != HTTP_BODY_FAILED) return true;
    RefusalDetail d;
    d.amount = conn->uploaded;
    request_refuse(conn, REFUSE_BODY_INCOMPLETE, d);
    return false;
  }
  if (!(h.flags & HDR_LENGTH) || h.content_length == 0) {
    conn->postbody = std::make_unique<Filebuf>();
    return true;
  }
  const uint64_t length = h.content_length;
  putlog(LOG_DEBUG | LOG_REQUEST, "%s:%d  must get %zu bytes of POSTDATA", "handle_request",
         __LINE__, static_cast<std::size_t>(length));
  if (isthis_interface_request(conn)) {
    conn->postbody = std::make_unique<Filebuf>();
    return true;
  }
  if (conn->over_upload_limit(length)) {
    refuse_upload(conn, length);
    return false;
  }
  conn->uploaded = length;
  const uint64_t room = general_section ? general_section->maxubuffer_get(conn) : 0;
  if (room >= length && http_transfer_filebuf_hook) {
    std::unique_ptr<Filebuf> body = http_transfer_filebuf_hook(conn, 0);
    if (!body || body->length() != length) {
      RefusalDetail d;
      d.amount = length;
      request_refuse(conn, REFUSE_BODY_INCOMPLETE, d);
      return false;
    }
    conn->postbody = std::move(body);
    putlog(LOG_DEBUG | LOG_REQUEST, "%s:%d  buffered %zu bytes of POSTDATA", "handle_request",
           __LINE__, static_cast<std::size_t>(length));
    return true;
  }
  // Too large to hold: the protocol handler streams it to the server.
  conn->postbody = std::make_unique<Filebuf>();
  conn->flags |= CONN_BIGUPLOAD;
  putlog(LOG_DEBUG | LOG_REQUEST, "[IP: %s] content (%zu) exceeds maximum upload buffer size (%zu)",
         ip_of(*conn), static_cast<std::size_t>(length), static_cast<std::size_t>(room));
  return true;
}

// Step 14.
bool process_request_body(CONNECTION_T *conn) {
  if (!process_request_hook || process_request_hook(conn, conn->postbody.get())) return true;
  request_log_write(conn);
  return false;
}

// Step 19.
void apply_https_command(CONNECTION_T *conn) {
  if (!url_command_find(conn->url_commands, "https")) return;
  HEADER &h = *conn->header;
  if (h.flags & HDR_DEFAULTPORT) {
    h.port = 443;
    header_complete(&h);
  }
  conn->flags |= CONN_HTTPS | CONN_SSL;
}

void record_thread_request(CONNECTION_T *conn) {
  slot_update(conn, [&](ThreadSlot &s) {
    s.ip = conn->ip;
    s.url = conn->header->url;
    s.method = conn->header->method;
  });
}

void filter_request_header(CONNECTION_T *conn) {
  if (header_section) header_section->filter(conn, 1);
}

// Step 24: an origin-form request without host is routed by its Host line.
bool route_by_host_line(CONNECTION_T *conn) {
  HEADER &h = *conn->header;
  if (!h.host.empty()) return true;
  if (!(conn->access_flags & ACCESS_HOSTHEADER) || h.host_header.empty()) {
    request_refuse(conn, REFUSE_NO_HOST);
    return false;
  }
  const std::size_t colon = h.host_header.find(':');
  h.host = h.host_header.substr(0, colon);
  if (colon != std::string::npos) {
    const int port = std::atoi(h.host_header.c_str() + colon + 1);
    if (port < 1 || port > 65535 || h.host.empty()) {
      request_refuse(conn, REFUSE_NO_HOST);
      return false;
    }
    h.port = port;
  }
  if (h.host.empty()) {
    request_refuse(conn, REFUSE_NO_HOST);
    return false;
  }
  profiles_update(conn);
  if (redirected(conn)) return false;
  if (h.port == conn->port) {
    RefusalDetail d;
    d.port = h.port;
    d.text = format("request to %d", h.port);
    request_refuse(conn, REFUSE_OWN_PORT, d);
    return false;
  }
  header_complete(&h);
  slot_update(conn, [&](ThreadSlot &s) { s.url = h.url; });
  h.type = HEADER_PROXY;
  return true;
}

// Steps 22 to 24: whether the access rule lets this kind of request through; web interface
// requests are answered here.
bool admit_request_form(CONNECTION_T *conn) {
  const HEADER &h = *conn->header;
  if (h.type == HEADER_CONNECT) {
    if (!(conn->access_flags & ACCESS_CONNECT)) {
      request_refuse(conn, REFUSE_CONNECT_METHOD);
      return false;
    }
    if (general_section && !general_section->cportrange_check(conn, h.port)) {
      RefusalDetail d;
      d.port = h.port;
      d.text = format("CONNECT:%d", h.port);
      request_refuse(conn, REFUSE_CONNECT_PORT, d);
      return false;
    }
    return true;
  }
  if (is_interface_request(conn)) {
    putlog(LOG_REQUEST, "request for web interface from %s", ip_of(*conn));
    if (interface_handle_request_hook) interface_handle_request_hook(conn);
    else request_refuse(conn, REFUSE_NO_INTERFACE);
    return false;
  }
  const bool transparent = h.type == HEADER_TRANSPARENT;
  if ((transparent && !(conn->access_flags & ACCESS_TRANSPARENT)) ||
      (h.type == HEADER_PROXY && !(conn->access_flags & ACCESS_PROXY))) {
    RefusalDetail d;
    d.text = format("%s access not allowed", transparent ? "Transparent" : "Proxy");
    request_refuse(conn, REFUSE_NOT_PERMITTED, d);
    return false;
  }
  return transparent ? route_by_host_line(conn) : true;
}

// Step 25.
void record_accepted_request(CONNECTION_T *conn) {
  set_http_variables(conn);
  conn->variables["URL"] = conn->header->url;
  record_request(conn);
  statincr_hosts(conn->user_stats.get(), conn->header->host);
}

void answer_template_command(CONNECTION_T *conn, const url_command_t &command) {
  const std::string name = command.has_options && !command.options.empty() ? command.options
                                                                           : "unknown";
  int status = 200;
  if (is_connect(*conn)) status = 403;  // a 2xx would open the client's tunnel
  if (template_section) template_section->send(name, conn, status);
  record_own_answer(conn, status);
}

// Step 26, first match wins: true when a command answered the request.
bool answer_url_commands(CONNECTION_T *conn) {
  struct Command {
    const char *name;
    void (*page)(CONNECTION_T *);
  };
  const Command commands[] = {{"template", nullptr},
                              {"profiles", url_command_pages.profiles},
                              {"offline", nullptr},
                              {"cache", url_command_pages.cache},
                              {"filter", url_command_pages.filter}};
  for (const Command &c : commands) {
    const url_command_t *found = url_command_find(conn->url_commands, c.name);
    if (!found) continue;
    if (iequal(c.name, "template")) {
      answer_template_command(conn, *found);
      return true;
    }
    if (iequal(c.name, "offline")) {
      conn->flags |= CONN_OFFLINE;
      return false;
    }
    if (!c.page) return false;
    c.page(conn);
    return true;
  }
  return false;
}

// Step 27.
bool request_checks_refused(CONNECTION_T *conn) {
  if (processors.Execute(PROC_REQUEST_CHECK, conn, nullptr) != 1) return false;
  conn->log_entry.set_cachecode(CACHECODE_TCP_DENIED);
  request_log_write(conn);
  return true;
}

// Steps 28 and 29: false when the request was answered here.
bool look_up_cache(CONNECTION_T *conn) {
  HEADER &h = *conn->header;
  LogEntry &e = conn->log_entry;
  if (!cache_section || url_command_find(conn->url_commands, "fresh") ||
      !CacheSection::cacheable(&h)) {
    e.set_cachecode(CACHECODE_TCP_MISS);
  } else {
    conn->cache = cache_section->cache_open(conn, h.url.c_str(), nullptr,
                                            (conn->flags & CONN_OFFLINE) ? CACHE_OFFLINE : 0);
    if (!conn->cache) {
      e.set_cachecode(CACHECODE_TCP_MISS);
      statincr_cachemiss(conn->user_stats.get());
      putlog(LOG_DEBUG | LOG_CACHE, "[IP:%s] miss: %s", ip_of(*conn), h.url.c_str());
    } else if (cache_section->flag_get(conn->cache) & CACHE_INVALID) {
      request_refuse(conn, REFUSE_CACHE_INVALID);
      return false;
    } else if (cache_section->flag_get(conn->cache) & CACHE_BUFFERWAIT) {
      cache_section->send_status(conn, conn->cache);
      record_own_answer(conn, 200);
      return false;
    } else {
      if (!(conn->flags & CONN_OFFLINE)) {
        cache_section->check(&h);
        if (cache_section->flag_get(conn->cache) & CACHE_VALIDATE) {
          conn->flags |= CONN_VALIDATE;
          conditional_header(&h, cache_section->get_mtime(conn->cache));
        }
      }
      e.set_cachecode(CACHECODE_TCP_HIT);
      statincr_cachehit(conn->user_stats.get());
      putlog(LOG_DEBUG | LOG_CACHE, "hit: %s validation %s required", h.url.c_str(),
             (conn->flags & CONN_VALIDATE) ? "" : "not");
    }
  }
  if ((conn->flags & CONN_OFFLINE) && !conn->cache) {
    request_refuse(conn, REFUSE_OFFLINE_MISS);
    return false;
  }
  return true;
}

// Step 30.
void negotiate_encoding(CONNECTION_T *conn) {
  HEADER &h = *conn->header;
  if (!general_section || !general_section->compressin_get(conn)) {
    h.accept_encoding.clear();
    return;
  }
  const bool accepts = accepts_encoded_content_hook ? accepts_encoded_content_hook(conn) : true;
  if (accepts) return;
  conn->flags |= CONN_DECODE;
  h.accept_encoding = "gzip, deflate";
  putlog(LOG_DEBUG | LOG_REQUEST, "asking server for encoded content");
}

// Whether some handler serves the request's scheme along the chosen route.
bool scheme_served(const CONNECTION_T &c) {
  const HEADER &h = *c.header;
  if (h.type == HEADER_CONNECT || via_http_parent(c)) return true;
  for (const Protocol &p : protocols.entries())
    if (p.name == h.proto) return true;
  if (iequal(h.proto, "http")) return true;
  return iequal(h.proto, "ftp") && protocol_ftp_hook;
}

// Step 32: the route chosen and the server connection made. The scheme is checked once the
// route is known and before any connection is attempted.
bool connect_server(CONNECTION_T *conn) {
  const bool need_server = !conn->server && !cached_copy_suffices(*conn);
  if (need_server) {
    conn->flags &= ~static_cast<uint32_t>(CONN_POOLED);
    conn->proxy_type = PROXY_DIRECT;
    if (forward_section) forward_section->forward_do(conn);
  }
  if (!scheme_served(*conn)) {
    request_refuse(conn, REFUSE_SCHEME);
    return false;
  }
  if (!need_server) return true;
  const int r = protocol_start(conn);
  if (r >= 0) return true;
  if (conn->cache) {
    conn->flags &= ~static_cast<uint32_t>(CONN_VALIDATE);
    putlog(LOG_WARNING | LOG_CACHE, "using unvalidated cache for failed connection");
    return true;
  }
  RefusalDetail d;
  d.template_name = error_to_template(r);
  request_refuse(conn, REFUSE_CONNECTION_FAILED, d);
  return false;
}

int run_http(CONNECTION_T *conn) {
  if (!protocol_http_hook) {
    request_refuse(conn, REFUSE_BAD_RESPONSE);
    return 1;
  }
  return protocol_http_hook(conn);
}

// A handler returned -1: the client gets an answer unless it already has one, and the request
// gets its record.
void handler_failed(CONNECTION_T *conn, uint64_t written_before) {
  const bool answered = conn->client && conn->client->bytes_written() > written_before;
  if (!answered && conn->over_upload_limit(conn->uploaded)) {
    refuse_upload(conn, conn->uploaded);  // a streamed chunked body went over the limit
    return;
  }
  if (!answered) {
    request_refuse(conn, REFUSE_BAD_RESPONSE);
    return;
  }
  conn->keepalive_client = 0;
  conn->keepalive_server = 0;
  request_log_write(conn);
}

// Step 35.
void run_protocol_handler(CONNECTION_T *conn) {
  conn->flags |= CONN_PROCESS;
  const uint64_t written_before = conn->client ? conn->client->bytes_written() : 0;
  const std::string &proto = conn->header->proto;
  int r;
  if (via_http_parent(*conn) || cached_copy_suffices(*conn)) {
    r = run_http(conn);
  } else if ((r = protocols.Execute(proto, conn)) != -1) {
    return;
  } else if (iequal(proto, "http")) {
    r = run_http(conn);
  } else if (iequal(proto, "ftp") && protocol_ftp_hook) {
    r = protocol_ftp_hook(conn);
  } else {
    request_refuse(conn, REFUSE_SCHEME);
    return;
  }
  if (r == -1) handler_failed(conn, written_before);
}

}  // namespace

RequestOutcome handle_request(CONNECTION_T *conn) {
  QM_ASSERT(conn && conn->client, MODULE);
  request_begin(conn);
  std::string raw;
  if (auto ended = read_request_head(conn, &raw)) return *ended;
  keepalive_check(conn);
  if (!extract_url_commands(conn)) return REQUEST_SERVED;
  assign_profiles(conn);
  if (!run_header_processors(conn, raw)) return REQUEST_SERVED;
  if (!extract_url_commands(conn)) return REQUEST_SERVED;
  set_request_variables(conn);
  if (limits_refused(conn)) return REQUEST_SERVED;
  if (!authenticate(conn)) return REQUEST_SERVED;
  drop_forbidden_url_commands(conn);
  if (!read_request_body(conn)) return REQUEST_SERVED;
  if (!process_request_body(conn)) return REQUEST_SERVED;
  profiles_update(conn);
  if (limits_refused(conn)) return REQUEST_SERVED;
  bypass_check(conn);
  if (show_page(conn, "limits", url_command_pages.limits)) return REQUEST_SERVED;
  if (redirected(conn)) return REQUEST_SERVED;
  apply_https_command(conn);
  record_thread_request(conn);
  filter_request_header(conn);
  if (!admit_request_form(conn)) return REQUEST_SERVED;
  record_accepted_request(conn);
  if (answer_url_commands(conn)) return REQUEST_SERVED;
  if (request_checks_refused(conn)) return REQUEST_SERVED;
  if (!look_up_cache(conn)) return REQUEST_SERVED;
  negotiate_encoding(conn);
  if (is_connect(*conn)) make_private(conn, __LINE__);
  if (!connect_server(conn)) return REQUEST_SERVED;
  if (is_connect(*conn)) {
    protocol_connect(conn);
    return REQUEST_SERVED;
  }
  if (show_page(conn, "proxytest", url_command_pages.proxytest)) return REQUEST_SERVED;
  run_protocol_handler(conn);
  return REQUEST_SERVED;
}

// ---- after a request -------------------------------------------------------------------

namespace {

void release_server(CONNECTION_T *conn) {
  if (!conn->server) return;
  if (conn->keepalive_server == 1 && !conn->server->error && conn->header && server_pool) {
    ServerPoolKey key = serverpool_key(*conn);
    if (!key.proto.empty() && !key.host.empty()) {
      server_pool->Add(std::move(conn->server), key);
      return;
    }
  }
  conn->server.reset();
}

}  // namespace

void request_reset(CONNECTION_T *conn) {
  url_command_free(conn->url_commands);
  conn->postbody.reset();
  conn->html_stream.reset();
  conn->rheader.reset();
  release_server(conn);
  if (conn->cache && cache_section) cache_section->cache_close(conn->cache, false);
  conn->cache = nullptr;
  conn->variables.clear();
  conn->profiles.clear();
  conn->groups.clear();
  conn->categories.fill(-1);
  conn->tunnel_owner = -1;
  conn->access_flags = 0;
  conn->bypass = 0;
  conn->keepalive_server = -1;
  conn->proxy_type = PROXY_DIRECT;
  conn->proxy_host.clear();
  conn->proxy_port = 0;
  conn->proxy_user.clear();
  conn->proxy_password.clear();
  conn->proxy_domain.clear();
  conn->proxy_authorization.clear();
  conn->downloaded = 0;
  conn->uploaded = 0;
  conn->download_limit = NO_LIMIT;
  conn->upload_limit = NO_LIMIT;
  conn->buffer_timeout = 0;
  conn->flags &= CONN_CLIENT_GONE;
  conn->header.reset();
}

namespace {

// Steps 5 and 6 of process_entry.
void finish_request(CONNECTION_T *conn) {
  if (!(conn->flags & CONN_CLIENT_GONE)) {
    if (general_section) {
      general_section->ctimeout_get(conn);
      general_section->timeout_get(conn);
      general_section->keeptimeout_get(conn);
    }
    if (conn->client)
      putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d  request: %d read: %zu  written: %zu in %d msecs",
             "process_entry", __LINE__, conn->requests,
             static_cast<std::size_t>(conn->client->bytes_read()),
             static_cast<std::size_t>(conn->client->bytes_written()),
             static_cast<int>(conn->client->Get_delay()));
    if (request_counters.request_completed) request_counters.request_completed();
    if ((conn->flags & CONN_FAILED) && conn->download_limit == 0)
      putlog(LOG_LIMITS,
             "[IP:%s] process: transfer prematurely terminated due to transfer limit restrictions",
             ip_of(*conn));
    if (limit_section) limit_section->update(conn);
  }
  if (conn->flags & CONN_FAILED) {
    putlog(LOG_WARNING, "[IP:%s] process: transfer failed", ip_of(*conn));
    conn->keepalive_client = 0;
    conn->keepalive_server = 0;
    if (conn->cache && cache_section) cache_section->invalidate(conn->cache);
    conn->cache = nullptr;
  } else if (conn->cache && cache_section) {
    const bool complete = conn->flags & CONN_CACHING;
    if (complete) cache_section->flag_unset(conn->cache, CACHE_BUFFERWAIT);
    cache_section->cache_close(conn->cache, complete);
    conn->cache = nullptr;
  }
}

// The silent peer of a socket the client pool gave back marked closed is still there: the
// pool gave up waiting for it.
bool idle_expired(const Socket &s) { return net_poll(s.fd(), POLLIN | POLLRDHUP, 0) == 0; }

// Step 2: a connection handed back with nothing to read is finished (closed here). A
// kept-alive one that the pool gave up on gets its "keepalive timeout" record.
bool finished_while_idle(ConnectionPtr &conn) {
  Socket &client = *conn->client;
  if (client.InputPending() > 0) return false;
  if (conn->requests == 0) {
    if (!client.error) return false;
    if (idle_expired(client))
      putlog(LOG_WARNING | LOG_REQUEST, "[IP:%s] %s waiting for header", ip_of(*conn),
             "header timeout");
    net_close(std::move(conn));
    return true;
  }
  std::size_t unread = 0;
  if (!client.error && net_get_unread(client.fd(), &unread) > 0 && unread > 0) return false;
  if (client.error && idle_expired(client)) {
    conn->log_entry.Reset();
    conn->log_entry.client = conn->ip;
    request_refuse(conn.get(), REFUSE_KEEPALIVE_TIMEOUT);
  }
  client.error = true;
  net_close(std::move(conn));
  return true;
}

// Seconds a request thread in slot i waits for the next request before parking the client:
// (MAXTHREADS - i) / (MAXTHREADS + i * overload_factor), so 0 for every request thread.
int idle_wait_seconds(int slot) {
  const long factor = std::max(overload_factor, 1);
  const long denominator = static_cast<long>(MAXTHREADS) + static_cast<long>(slot) * factor;
  if (denominator <= 0 || slot >= MAXTHREADS) return 0;
  return static_cast<int>((static_cast<long>(MAXTHREADS) - slot) / denominator);
}

constexpr int NEXT_REQUEST_GRACE_MS = 2;

// Step 8: true when the next request is already there and is served by this thread; otherwise
// the connection is parked in the client pool or closed (conn is then empty).
bool next_request_here(ConnectionPtr &conn) {
  Socket &client = *conn->client;
  client.Flush();
  // A reset from the client shows in the read below: no probe of its own.
  if (conn->keepalive_client == 0 || client.error) {
    net_close(std::move(conn));
    return false;
  }
  conn->keepalive_client = 0;
  const int wait = idle_wait_seconds(conn->thread_index);
  if (client.InputPending() > 0) {
    putlog(LOG_NETWORK, "[IP:%s] pipelining demanded", ip_of(*conn));
    return true;
  }
  if (wait == 0) {
    // A client that keeps its connection busy sends the next request within moments of the
    // answer: waiting that long here saves two thread hand-offs through the client pool.
    net_poll(client.fd(), POLLIN, NEXT_REQUEST_GRACE_MS);
  }
  const ssize_t n = client.Read(nullptr, SOCK_FILL, wait);
  if (n > 0) {
    putlog(LOG_NETWORK, "[IP:%s] quick response demanded", ip_of(*conn));
    return true;
  }
  if (n == 0 || (n == SOCK_ERROR && errno != ETIMEDOUT)) client.error = true;
  conn->keeptimeout -= wait;
  if (client.error || conn->keeptimeout < 1 || !client_pool) {
    client.error = true;
    net_close(std::move(conn));
    return false;
  }
  putlog(LOG_DEBUG | LOG_NETWORK, "[IP:%s] connection added to client pool", ip_of(*conn));
  client_pool->Add(conn.release());
  return false;
}

// Steps 2 to 8 for every request of the connection, until it is parked or closed.
void serve_connection(ConnectionPtr conn) {
  for (;;) {
    thread_set_clientid(conn->client_id);
    slot_update(conn.get(), [&](ThreadSlot &s) {
      s.state = THREAD_SERVING;
      s.requests = conn->requests;
      s.ip = conn->ip;
    });
    if (!conn->client) {
      net_close(std::move(conn));
      return;
    }
    if (finished_while_idle(conn)) return;
    conn->client->Set_start();
    const RequestOutcome outcome = handle_request(conn.get());
    if (outcome == REQUEST_SERVED) {
      if (conn->requests == 0 && request_counters.connection_handled)
        request_counters.connection_handled(conn->client_id);
      finish_request(conn.get());
    }
    const bool gone = conn->flags & CONN_CLIENT_GONE;
    request_reset(conn.get());
    if (gone || outcome == REQUEST_CLOSED || !conn->client) {
      net_close(std::move(conn));
      return;
    }
    if (outcome == REQUEST_SERVED) conn->requests++;
    if (!next_request_here(conn)) return;
  }
}

// Step 9: the next connection the client pool hands to this thread, or null when none came
// within THREAD_TIMEOUT seconds (the thread's slot is then free).
ConnectionPtr next_connection(int slot) {
  if (threads && slot >= 0 && slot < thread_slots) {
    std::lock_guard g(threadlistlock);
    ThreadSlot &s = threads[static_cast<std::size_t>(slot)];
    s.ip.clear();
    s.url.clear();
    s.method.clear();
    s.requests = 0;
  }
  void *next = thread_wait_for_connection(THREAD_TIMEOUT);
  if (!next) {
    rusage_update();
    return nullptr;
  }
  return ConnectionPtr(static_cast<CONNECTION_T *>(next));
}

}  // namespace

void *process_entry(void *connection) {
  ConnectionPtr conn(static_cast<CONNECTION_T *>(connection));
  while (conn) {
    const int slot = thread_find();
    conn->thread_index = slot;
    serve_connection(std::move(conn));
    conn = next_connection(slot);
  }
  return nullptr;
}
