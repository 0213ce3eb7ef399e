// HTTP message heads: the parsed record, reading heads from sockets, parsing requests and
// responses, and writing heads back in the proxy's own order.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>

class Filebuf;
struct CONNECTION_T;

// One header line. `pass` lines are copied by the writer; lines whose value lives in a slot
// of HEADER, and dropped lines, are kept with `pass` false.
struct HTTP_HEADER {
  bool pass = true;
  std::string name;
  std::string value;
};

enum HeaderType : int {
  HEADER_CONNECT = 0,
  HEADER_RESPONSE = 1,
  HEADER_PROXY = 2,
  HEADER_TRANSPARENT = 3,
  HEADER_ICAP_REQUEST = 4,
  HEADER_ICAP_RESPONSE = 5,
  HEADER_ICAP_RESPONSE2 = 6,
};

enum HeaderFlag : int {
  HDR_FILTERED = 0x1,
  HDR_LENGTH = 0x2,
  HDR_DEFAULTPORT = 0x4,
  HDR_PRIVATE = 0x8,
  HDR_COOKIE = 0x10,
  // A response framed by Transfer-Encoding that also carried Content-Length (or another
  // framing the proxy cannot trust): the length was dropped, keep_alive is 0, and the server
  // connection must not be reused.
  HDR_NOREUSE = 0x20,
};

// A parsed message head. Absent values are empty strings; `has_*`-style questions are
// answered by emptiness, except where a flag says so (HDR_LENGTH for content_length).
struct HEADER {
  std::string raw;
  std::string url;
  int type = 0;
  int version = 0;
  int port = 0;
  int code = -1;
  uint64_t content_length = 0;  // valid when HDR_LENGTH is set
  int chunked = 0;
  int keep_alive = -1;
  int proxy_keep_alive = -1;
  std::string username, password;
  std::string method, proto, host, file;
  std::string referer, user_agent, location, content_type, content_encoding, accept_encoding,
      www_authenticate, authorization, range, proxy_authenticate, proxy_authorization,
      host_header, mime, cache_control, expires, if_modified_since, last_modified, warning, age,
      x_cache, x_forwarded_for, via, encapsulated;
  std::list<HTTP_HEADER> headers;
  std::list<HTTP_HEADER> filtered;
  int flags = 0;
};

inline std::unique_ptr<HEADER> header_new() { return std::make_unique<HEADER>(); }

// ---- limits -------------------------------------------------------------------------------

constexpr std::size_t HEADER_MAX = 81917;       // characters of a head, empty line included
constexpr std::size_t HEADER_LINE_MAX = 16384;  // characters of one line, CR LF excluded
constexpr std::size_t HEADER_URL_MAX = 2047;    // request-target of the request line
constexpr std::size_t HEADER_METHOD_MAX = 23;
constexpr std::size_t HEADER_STATUS_LINE_MAX = 255;  // response status line, line feed included
constexpr std::size_t HEADER_CREDENTIAL_MAX = 128;   // user name or password in a request URL
constexpr std::size_t HEADER_VARIABLE_NAME_MAX = 1023;
constexpr std::size_t HEADER_DATE_MAX = 127;

// ---- results ------------------------------------------------------------------------------

// Outcome of reading or parsing a head. Requests: BAD_REQUEST, TOO_LARGE and URI_TOO_LONG
// are answered with 400 (template "badrequest"), 431 and 414 and the client connection is
// closed afterwards, since what follows the head can no longer be framed. From a server,
// every result but HEADER_OK is a bad gateway (502) and the server connection is dropped.
enum HeaderResult : int {
  HEADER_OK = 0,
  HEADER_BAD_REQUEST,   // malformed request line or header line, ambiguous framing, bad host
  HEADER_TOO_LARGE,     // head beyond HEADER_MAX or a line beyond HEADER_LINE_MAX (431)
  HEADER_URI_TOO_LONG,  // request-target beyond HEADER_URL_MAX, or an over-long request line
  HEADER_INCOMPLETE,    // the head began but the peer closed, failed or the deadline passed
  HEADER_TIMEOUT,       // the deadline passed before any byte of a head arrived
  HEADER_CLOSED,        // the peer closed or failed (or the wait was ended) before any byte
  HEADER_BAD_RESPONSE,  // malformed response head (502)
};

// The HTTP status with which a refused request is answered (400, 431, 414; 408 for a head
// cut short by the deadline; 502 for a bad response), 0 for HEADER_OK and HEADER_CLOSED.
int header_result_status(HeaderResult r);
// A short name of the result for log lines ("bad request", "header too large", ...).
const char *header_result_text(HeaderResult r);

// ---- hooks set once at start-up by the sections that own the decisions ---------------------

// Verdict of the cookie filter on one Cookie or Set-Cookie line written by the proxy.
struct CookieVerdict {
  bool allowed = true;
  std::string rebuilt;  // non-empty: the value to write instead of the received one
};
// The cookie filter (null: every cookie line is written as received). `incoming` is true for
// a response (Set-Cookie from a server), false for a request.
extern CookieVerdict (*header_cookie_hook)(CONNECTION_T *conn, const HTTP_HEADER &line,
                                           bool incoming);
// Forgets a host in the DNS cache after a failed send to its server (null: nothing to do).
extern void (*header_dns_purge_hook)(const std::string &host);

// ---- reading ------------------------------------------------------------------------------

// Reads one message head from conn's server (side 1) or client (side 0) socket while watching
// the other socket for a close. The whole head must arrive within `timeout` seconds of the
// call (negative: no limit); the deadline is only extended while the proxy's own request to a
// server is still leaving the kernel and makes progress. Empty lines before the head are
// skipped. On HEADER_OK *head holds the lines as received followed by "\r\n"; the bytes after
// the head stay unread in the socket. On failure *head is emptied, nothing is cut and the
// head read so far is dropped.
HeaderResult header_get(CONNECTION_T *conn, int side, int timeout, std::string *head);

// Number of characters up to and including the first empty line, at most max.
std::size_t header_length(std::string_view text, std::size_t max);
// HEADER_RESPONSE (1) when the text starts with "HTTP/", else HEADER_TRANSPARENT (3).
int header_type(std::string_view text, std::size_t n);

// ---- parsing ------------------------------------------------------------------------------

// A new request record, or null (reason in *result when given): malformed request line or
// header lines, a Content-Length and a Transfer-Encoding together, a Transfer-Encoding other
// than "chunked", unequal or non-numeric Content-Length values, more than one Host line, a
// host with characters other than letters, digits, "-", "." and "_" (URL-command labels in
// front of it excepted), a port outside 1..65535, a proxy-form URL without "://".
std::unique_ptr<HEADER> http_header_parse_request(std::string_view text,
                                                  HeaderResult *result = nullptr);
// A new response record, or null (HEADER_BAD_RESPONSE). Text that does not begin with
// "word/d.d" is an HTTP/0.9 answer: version 0, code 200, raw "HTTP/1.1 200 OK\r\n\r\n", and
// the caller pushes the text back to be read as body. Transfer-Encoding wins over
// Content-Length (which is dropped, with HDR_NOREUSE); transfer codings other than "chunked"
// are refused, since the proxy can neither decode nor pass them on.
std::unique_ptr<HEADER> http_header_parse_response(std::string_view text,
                                                   HeaderResult *result = nullptr);
// Parses the lines after the first line of text into h; h->type must already say whether
// this is a request or a response (framing rules differ). HEADER_OK or the reason of a
// refusal (h is then partly filled and must be dropped).
HeaderResult http_header_list_parse(HEADER *h, std::string_view text);
// Rebuilds url as "proto://host:port/file".
void header_complete(HEADER *h);

// Decodes "%XX" escapes of a URL part ("%00" stays as written, "+" is not a space: that is
// form encoding, not URL syntax).
std::string header_percent_decode(std::string_view s);

// Size of a chunk-size line ("1a2b", optional ";extensions", CR LF): false for anything
// that is not a hexadecimal number of at most 64 bits.
bool header_chunk_size(std::string_view line, uint64_t *size);

// ---- writing ------------------------------------------------------------------------------

enum HeaderSendKind : int {
  HEADER_SEND_SERVER = 0,  // request to an origin server: path in the request line
  HEADER_SEND_PARENT = 1,  // request to a parent proxy: absolute URL in the request line
  HEADER_SEND_CLIENT = 2,  // response to the client
  HEADER_SEND_CLIENT2 = 5, // as HEADER_SEND_CLIENT
  // any other value: first line and header list only, no final empty line
};

// Appends the head of h to out in the proxy's own line order (see header.cpp). Values that
// hold CR, LF or NUL are written with those bytes replaced by spaces, so that no value can
// start a line of its own. A chunked message never also gets a Content-Length line.
void header_send_filebuf(Filebuf *out, const HEADER *h, CONNECTION_T *conn, int kind);
// Writes the head to the server (dest 1) or the client (dest 0: nothing is sent when the
// client has gone; any other dest: the client, without that test). Returns the bytes sent,
// or -1 after a failure (the socket's error and CONN_FAILED are set). A null h is fatal.
// body_follows: the head is only queued, to leave in one segment with the body's first bytes;
// the caller's body writes (or a Flush) send it.
ssize_t header_send(const HEADER *h, CONNECTION_T *conn, int dest, int kind,
                    bool body_follows = false);

// Reason phrase of a status code for the status lines the proxy writes.
const char *code_to_error(int code);

// ---- values built by the proxy --------------------------------------------------------------

// Settings of the general section that shape the forwarded request (filled by the caller).
struct HeaderProxyOptions {
  bool via = false;            // add this proxy to Via
  bool xforwardedfor = false;  // X-Forwarded-For becomes the client address alone
};
// Applies the options to conn->header (X-Forwarded-For first, then Via).
void header_proxy_update(CONNECTION_T *conn, const HeaderProxyOptions &options);
// The request's Via gains "interface:port (Quillmoss version)".
void via_header_update(CONNECTION_T *conn);
// The response's X-Cache gains "MISS from ..." (miss 1) or "HIT from ..." (miss 0).
void xcache_header_update(CONNECTION_T *conn, int miss);
// If-Modified-Since of the request from the cached copy's modification time.
void conditional_header(HEADER *request, time_t mtime);
// A 401 (www) or 407 challenge with an empty body; with negotiate the Negotiate and NTLM
// offers come before Basic.
std::unique_ptr<HEADER> auth_header(bool www, bool negotiate, const char *realm);
// Sets prefix "[" lower-case name "]" to the value of every line of list, replacing earlier
// values. The conn form writes into conn->variables.
void header_variables(std::map<std::string, std::string> &variables, std::string_view prefix,
                      const std::list<HTTP_HEADER> &list);
void header_variables(CONNECTION_T *conn, std::string_view prefix,
                      const std::list<HTTP_HEADER> &list);

// A deep copy (null for null).
std::unique_ptr<HEADER> http_header_dup(const HEADER *h);
inline void http_header_free(std::unique_ptr<HEADER> &h) { h.reset(); }
