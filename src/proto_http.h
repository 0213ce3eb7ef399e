// HTTP protocol handler: carries one HTTP exchange out once the request has a server
// connection (or a cached copy), makes the keep-alive decisions for both sides, and provides
// the body readers and writers the rest of the proxy uses.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "header.h"
#include "transfer.h"

class Filebuf;
struct CONNECTION_T;
struct CACHEMAP;

// ---- limits -------------------------------------------------------------------------------

// Characters of a chunk-size line before its line end (extensions included).
constexpr std::size_t HTTP_CHUNK_LINE_MAX = 63;
// Bytes of trailer lines after the last chunk, final empty line included.
constexpr std::size_t HTTP_TRAILER_MAX = HEADER_MAX;
// Interim (1xx) heads skipped before a final response; a server sending more is broken.
constexpr int HTTP_INTERIM_MAX = 16;

// ---- framing ------------------------------------------------------------------------------

// How the body after a head is delimited. Decided from the parsed head by http_body_framing
// alone: the readers, the writers, the keep-alive checks and so the pools read this one
// decision.
enum class BodyFraming {
  NONE,     // no body: HEAD, 1xx, 204, 304, or a request without Content-Length
  LENGTH,   // Content-Length bytes (HEADER::content_length, 64-bit)
  CHUNKED,  // chunked transfer coding
  CLOSE,    // a response that ends when the server closes the connection
};

// Framing of the request body (side 0, h is the request) or of the response body (side 1,
// h is the response to conn's request).
BodyFraming http_body_framing(const CONNECTION_T *conn, const HEADER *h, int side);

// ---- hooks into modules that are built separately (null: the step does nothing) ----------

// Reads the response head, retrying once on a fresh connection when the server stays silent
// (header_get_reconnect of the protocol module). Null: one header_get without retry.
extern bool (*http_head_get_hook)(CONNECTION_T *conn, int timeout, std::string *head);
// Replaces conn->server by a fresh connection on the same route (protocol_reconnect);
// positive on success. Null: a stale pooled connection is not retried.
extern int (*http_reconnect_hook)(CONNECTION_T *conn);
// Answers a parent proxy's 407 challenge and sends the request head again
// (proxy_authenticate); true when it did. Null: the 407 goes to the client.
extern bool (*http_proxy_authenticate_hook)(CONNECTION_T *conn);


// Counters of the statistics module.
enum HttpStat : int {
  HTTP_STAT_HTTPREQUEST, HTTP_STAT_USER, HTTP_STAT_CACHEHIT, HTTP_STAT_CACHEHIT_UNDO,
  HTTP_STAT_CACHEMISS,
};
// Response header filter (HeaderSection::filter(conn, 2)).
extern void (*http_header_filter_hook)(CONNECTION_T *conn, int direction);
// MIME filter on the response: true when allowed; when it refuses it has answered the client.
extern bool (*http_mime_filter_hook)(CONNECTION_T *conn);
// Redirect section on a 301 or 302 response with a Location.
extern void (*http_redirect_hook)(CONNECTION_T *conn);
// Diagnostic pages of URL commands ("cookies", "mimeprofiles", "variables", "mime",
// "headers", "raw", "htmltree"); body is the decoded response body for the last two, else
// null. True when the page was sent (the exchange then ends); null or false: the command is
// ignored.
extern bool (*http_page_hook)(CONNECTION_T *conn, std::string_view command, const Filebuf *body);

// Cache flags the handler reads or sets.
constexpr int HTTP_CACHE_WRITING = 0x1;
constexpr int HTTP_CACHE_EXPIRED = 0x4;
constexpr int HTTP_CACHE_BUFFERWAIT = 0x800;
// cache_open flags: create for writing; a temporary object holding a buffered body.
constexpr int HTTP_CACHE_OPEN_WRITE = 0x1;
constexpr int HTTP_CACHE_OPEN_TEMPORARY = 0x3001;

// The cache store and policy. Any member may be null; a null member makes its step a no-op
// (a served copy without cachemap_headers cannot be used: protocol_http returns -1).
struct HttpCacheHooks {
  bool (*cacheable)(const HEADER *h) = nullptr;
  CACHEMAP *(*cache_open)(CONNECTION_T *conn, const char *key, const char *header_text,
                          int flags) = nullptr;
  std::string (*cachemap_headers)(CACHEMAP *entry) = nullptr;  // empty: none
  int (*add)(CACHEMAP *entry, const char *data, std::size_t length) = nullptr;
  void (*invalidate)(CACHEMAP *entry) = nullptr;
  int (*flag_get)(CACHEMAP *entry) = nullptr;
  void (*flag_set)(CACHEMAP *entry, int bits) = nullptr;
  void (*validated)(CACHEMAP *entry) = nullptr;
  time_t (*get_mtime)(CACHEMAP *entry) = nullptr;
  time_t (*get_lastmodified)(CACHEMAP *entry) = nullptr;
  std::size_t (*get_cachemap_size)(CACHEMAP *entry) = nullptr;
  // Sends the stored body to the client; the bytes sent.
  int64_t (*send)(CACHEMAP *entry, CONNECTION_T *conn, int side) = nullptr;
  std::unique_ptr<Filebuf> (*read_filebuf)(CACHEMAP *entry) = nullptr;
  // The download-progress page (CacheSection::send_status).
  void (*send_status)(CONNECTION_T *conn, CACHEMAP *entry) = nullptr;
};
extern HttpCacheHooks http_cache_hooks;

// ---- the exchange -------------------------------------------------------------------------

// Carries the HTTP exchange of conn's request out over conn->server (or from conn->cache).
// 1: the request was answered, whatever the answer (a broken response head gets 502 from
// here). -1: the server could not be used before any answer (no head, or the request could
// not be sent); nothing was sent to the client and the request loop answers.
int protocol_http(CONNECTION_T *conn);

// ---- bodies -------------------------------------------------------------------------------

// Streams the body of the request (side 0, client to server) or of the response (side 1,
// server to client) with its framing: a chunked body is re-chunked towards the destination,
// except towards an HTTP/1.0 client, which gets it de-chunked (its head then went out without
// Transfer-Encoding and with keepalive_client 0, as protocol_http sends it).
// True when the whole body moved; a broken one sets CONN_FAILED, ends the destination's
// chunked stream without its final chunk and forbids keep-alive on both sides.
bool http_transfer(CONNECTION_T *conn, int side);
// Reads the whole body of side into a new buffer (never null); CONN_FAILED when it broke.
std::unique_ptr<Filebuf> http_transfer_filebuf(CONNECTION_T *conn, int side);
// Reads and drops the body of side; true when it was read to its end.
bool http_transfer_discard(CONNECTION_T *conn, int side);
// Reads one chunk-size line from side: the size, or -1 when the line cannot be read or is
// not a valid size.
int64_t next_chunksize(CONNECTION_T *conn, int side);
// Sends body to the client unless the request is HEAD; the bytes sent (0 for HEAD), -1 when
// the write failed.
ssize_t http_send_body(CONNECTION_T *conn, const Filebuf *body);

// Results of http_request_body_read.
enum HttpRequestBody : int {
  HTTP_BODY_FAILED = 0,    // broken or cut short: CONN_FAILED, the client connection closes
  HTTP_BODY_BUFFERED = 1,  // the whole body is in conn->postbody; the request now has a length
  HTTP_BODY_STREAM = 2,    // larger than the buffer: CONN_BIGUPLOAD, protocol_http streams it
};
// Reads the request body (counted or chunked) into conn->postbody (created when missing)
// when it fits in `buffer_limit` bytes. A counted body that does not fit is left unread; of a
// chunked one the first `buffer_limit` bytes stay in postbody and the rest is streamed.
HttpRequestBody http_request_body_read(CONNECTION_T *conn, uint64_t buffer_limit);

// The read callback on the server socket during response bodies (arg: the connection):
// download accounting, cache append, download limit (-1 stops the transfer once a block
// passes what is left) and the buffer timeout.
int http_read_callback(void *arg, ssize_t len, const char *buf);

// ---- decisions ----------------------------------------------------------------------------

void keepalive_check_client(CONNECTION_T *conn);
void keepalive_check_server(CONNECTION_T *conn);
// Whether the response body must be read whole before it is sent.
bool buffer_check(CONNECTION_T *conn);
void buffertimeout_set(CONNECTION_T *conn);
void buffertimeout_check(CONNECTION_T *conn);
// Unless CONN_DECODE is set: whether the client's Accept-Encoding names gzip or deflate.
bool accepts_encoded_content(const CONNECTION_T *conn);

// Request processors on the body; 1 to go on to the server, 0 when a processor answered.
int process_request(CONNECTION_T *conn, Filebuf *body);
// Response processors on the buffered body; 0 when the body was refused.
int process_response(CONNECTION_T *conn, Filebuf *body);
// 1 = go on, 0 = answered with the download-limit page.
int transfer_limit_check(CONNECTION_T *conn);
