#include "header.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "filebuf.h"
#include "log.h"
#include "main.h"
#include "misc.h"
#include "network.h"
#include "socket.h"
#include "urlcommand.h"

CookieVerdict (*header_cookie_hook)(CONNECTION_T *conn, const HTTP_HEADER &line,
                                    bool incoming) = nullptr;
void (*header_dns_purge_hook)(const std::string &host) = nullptr;

namespace {

constexpr const char *MODULE = "src/header";
using Clock = std::chrono::steady_clock;

// While waiting for a head, input of the other socket is buffered only up to this size:
// the wait watches it for a close, it does not read a whole upload.
constexpr std::size_t OTHER_INPUT_MAX = 1u << 20;

constexpr char WWW_AUTH_JOIN[] = "\r\nWWW-Authenticate: ";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool is_tchar(char c) {
  return is_alpha(c) || is_digit(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c));
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i++)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool istarts(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  string_tolower(out);
  return out;
}

// A non-empty run of decimal digits that fits in 64 bits.
std::optional<uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    auto d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<int> parse_port(std::string_view s) {
  if (s.empty() || s.size() > 5) return std::nullopt;
  std::optional<uint64_t> v = parse_u64(s);
  if (!v || *v < 1 || *v > uint64_t(URL_PORT_MAX)) return std::nullopt;
  return int(*v);
}

// One line of a head: its text without the line ending, and where the next line begins.
struct Line {
  std::string_view text;
  std::size_t next;
};

Line line_at(std::string_view s, std::size_t pos) {
  std::size_t nl = s.find('\n', pos);
  std::size_t end = nl == std::string_view::npos ? s.size() : nl;
  std::string_view t = s.substr(pos, end - pos);
  if (!t.empty() && t.back() == '\r') t.remove_suffix(1);
  return {t, nl == std::string_view::npos ? s.size() : nl + 1};
}

// A carriage return that does not end its line, or a NUL, makes a line unparsable.
bool has_stray_bytes(std::string_view line) {
  return line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos;
}

// A host after URL-decoding: command labels may come first (their own checks follow in the
// URL command module), then letters, digits, "-", "." and "_" only.
bool host_valid(std::string_view host) {
  std::size_t p = url_command_prefix_length(host);
  for (char c : host.substr(0, p))
    if (!is_alpha(c) && !is_digit(c) && !std::strchr("-._[]+,", c)) return false;
  std::string_view rest = host.substr(p);
  if (rest.empty()) return false;
  for (char c : rest)
    if (!is_alpha(c) && !is_digit(c) && c != '-' && c != '.' && c != '_') return false;
  return true;
}

// A Host line: host, optionally ":" and a port.
bool host_header_valid(std::string_view value) {
  std::size_t colon = value.find(':');
  if (colon != std::string_view::npos && !parse_port(value.substr(colon + 1))) return false;
  return host_valid(value.substr(0, colon));
}

bool is_cookie_name(std::string_view name) {
  return istarts(name, "Set-Cookie") || istarts(name, "Cookie");
}

// What the lines of a head said about its body, checked once all are read.
struct Framing {
  bool length_seen = false;
  bool length_bad = false;  // non-numeric, overflowing or unequal values
  uint64_t length = 0;
  bool te_seen = false;
  std::vector<std::string> codings;  // transfer codings in order, lower case
  int host_lines = 0;
  bool host_bad = false;
  std::vector<std::string> nominated;  // header names listed in Connection
};

enum class LineKind {
  Replace, Combine, ContentLength, TransferEncoding, ContentType, WwwAuthenticate,
  Authorization, Host, XCache, Drop, KeepAlive, Connection, ProxyConnection,
};

struct KnownLine {
  const char *name;
  LineKind kind;
  std::string HEADER::*slot;
};

// Lines with a slot of their own or a meaning for the proxy; list values of the same name
// are joined with ", " where the field is a list, so that no element is lost.
const KnownLine KNOWN_LINES[] = {
    {"Content-Length", LineKind::ContentLength, nullptr},
    {"Transfer-Encoding", LineKind::TransferEncoding, nullptr},
    {"Content-Type", LineKind::ContentType, &HEADER::content_type},
    {"Content-Encoding", LineKind::Replace, &HEADER::content_encoding},
    {"Accept-Encoding", LineKind::Combine, &HEADER::accept_encoding},
    {"Location", LineKind::Replace, &HEADER::location},
    {"Host", LineKind::Host, &HEADER::host_header},
    {"WWW-Authenticate", LineKind::WwwAuthenticate, &HEADER::www_authenticate},
    {"Authorization", LineKind::Authorization, &HEADER::authorization},
    {"Proxy-Authenticate", LineKind::Replace, &HEADER::proxy_authenticate},
    {"Proxy-Authorization", LineKind::Replace, &HEADER::proxy_authorization},
    {"Referer", LineKind::Replace, &HEADER::referer},
    {"User-Agent", LineKind::Replace, &HEADER::user_agent},
    {"Cache-Control", LineKind::Combine, &HEADER::cache_control},
    {"Expires", LineKind::Replace, &HEADER::expires},
    {"If-Modified-Since", LineKind::Replace, &HEADER::if_modified_since},
    {"Last-Modified", LineKind::Replace, &HEADER::last_modified},
    {"Range", LineKind::Replace, &HEADER::range},
    {"Via", LineKind::Combine, &HEADER::via},
    {"Encapsulated", LineKind::Replace, &HEADER::encapsulated},
    {"X-Forwarded-For", LineKind::Combine, &HEADER::x_forwarded_for},
    {"X-Cache", LineKind::XCache, &HEADER::x_cache},
    {"TE", LineKind::Drop, nullptr},
    {"Trailers", LineKind::Drop, nullptr},
    {"Upgrade", LineKind::Drop, nullptr},
    {"Keep-Alive", LineKind::KeepAlive, nullptr},
    {"Connection", LineKind::Connection, nullptr},
    {"Proxy-Connection", LineKind::ProxyConnection, nullptr},
};

// Splits a list value at commas; elements are trimmed, empty ones dropped.
std::vector<std::string_view> list_elements(std::string_view value) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  for (;;) {
    std::size_t comma = value.find(',', pos);
    std::string_view e = trim_ows(value.substr(pos, comma == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : comma - pos));
    if (!e.empty()) out.push_back(e);
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return out;
}

// Connection and Proxy-Connection: "close" wins over "keep-alive" wherever it appears;
// other options name hop-by-hop lines that must not be forwarded.
void connection_options(std::string_view value, int *keep_alive, Framing *fr) {
  for (std::string_view opt : list_elements(value)) {
    if (iequals(opt, "close")) *keep_alive = 0;
    else if (iequals(opt, "keep-alive")) { if (*keep_alive != 0) *keep_alive = 1; }
    else fr->nominated.emplace_back(opt);
  }
}

bool content_length_values(std::string_view value, Framing *fr) {
  std::vector<std::string_view> elems = list_elements(value);
  if (elems.empty()) return false;
  for (std::string_view e : elems) {
    std::optional<uint64_t> v = parse_u64(e);
    if (!v) return false;
    if (fr->length_seen && *v != fr->length) return false;
    fr->length_seen = true;
    fr->length = *v;
  }
  return true;
}

void apply_line(HEADER *h, std::string_view name, std::string_view value, Framing *fr) {
  HTTP_HEADER line{false, std::string(name), std::string(value)};
  if (is_cookie_name(name)) {
    h->flags |= HDR_COOKIE;
    line.pass = true;
    h->headers.push_back(std::move(line));
    return;
  }
  const KnownLine *known = nullptr;
  for (const KnownLine &k : KNOWN_LINES)
    if (iequals(name, k.name)) {
      known = &k;
      break;
    }
  if (!known) {
    line.pass = true;
    h->headers.push_back(std::move(line));
    return;
  }
  std::string *slot = known->slot ? &(h->*(known->slot)) : nullptr;
  switch (known->kind) {
    case LineKind::Replace: *slot = value; break;
    case LineKind::Combine:
      if (!slot->empty()) *slot += ", ";
      *slot += value;
      break;
    case LineKind::ContentLength:
      fr->length_bad |= !content_length_values(value, fr);
      fr->length_seen = true;
      break;
    case LineKind::TransferEncoding:
      fr->te_seen = true;
      for (std::string_view c : list_elements(value)) fr->codings.push_back(lowered(c));
      break;
    case LineKind::ContentType:
      *slot = value;
      h->mime = trim_ows(value.substr(0, value.find(';')));
      break;
    case LineKind::WwwAuthenticate:
      if (!slot->empty()) *slot += WWW_AUTH_JOIN;
      *slot += value;
      h->flags |= HDR_PRIVATE;
      break;
    case LineKind::Authorization:
      *slot = value;
      h->flags |= HDR_PRIVATE;
      break;
    case LineKind::Host:
      *slot = value;
      fr->host_lines++;
      fr->host_bad |= !host_header_valid(value);
      break;
    case LineKind::XCache:
      if (slot->empty()) *slot = value;
      else line.pass = true;
      break;
    case LineKind::Drop: break;
    case LineKind::KeepAlive:
      if (h->keep_alive != 0) h->keep_alive = 1;
      break;
    case LineKind::Connection: connection_options(value, &h->keep_alive, fr); break;
    case LineKind::ProxyConnection: connection_options(value, &h->proxy_keep_alive, fr); break;
  }
  h->headers.push_back(std::move(line));
}

bool is_response_type(int type) {
  return type == HEADER_RESPONSE || type == HEADER_ICAP_RESPONSE || type == HEADER_ICAP_RESPONSE2;
}

// The body framing of the head, decided once: requests with ambiguous framing are refused;
// in a response Transfer-Encoding wins and the connection is not reused afterwards.
HeaderResult apply_framing(HEADER *h, const Framing &fr, bool response) {
  const HeaderResult bad = response ? HEADER_BAD_RESPONSE : HEADER_BAD_REQUEST;
  if (fr.te_seen) {
    // Only "chunked" can be undone and redone here; any other coding would reach the next
    // hop without the line that announces it.
    if (fr.codings.size() != 1 || fr.codings[0] != "chunked") return bad;
    if (!response && fr.length_seen) return bad;
    h->chunked = 1;
    h->content_length = 0;
    h->flags &= ~HDR_LENGTH;
    if (response && (fr.length_seen || h->version < 2)) {
      h->flags |= HDR_NOREUSE;
      h->keep_alive = 0;
    }
    return HEADER_OK;
  }
  if (fr.length_seen) {
    if (fr.length_bad) return bad;
    h->content_length = fr.length;
    h->flags |= HDR_LENGTH;
  }
  return HEADER_OK;
}

std::string format_log_text(std::string_view s) { return std::string(s.substr(0, LOG_LINE_MAX)); }

}  // namespace

// ---- results ------------------------------------------------------------------------------

int header_result_status(HeaderResult r) {
  switch (r) {
    case HEADER_OK: case HEADER_CLOSED: return 0;
    case HEADER_BAD_REQUEST: return 400;
    case HEADER_TOO_LARGE: return 431;
    case HEADER_URI_TOO_LONG: return 414;
    case HEADER_INCOMPLETE: case HEADER_TIMEOUT: return 408;
    case HEADER_BAD_RESPONSE: return 502;
  }
  return 400;
}

const char *header_result_text(HeaderResult r) {
  switch (r) {
    case HEADER_OK: return "ok";
    case HEADER_BAD_REQUEST: return "bad request";
    case HEADER_TOO_LARGE: return "header too large";
    case HEADER_URI_TOO_LONG: return "request URL too long";
    case HEADER_INCOMPLETE: return "incomplete header";
    case HEADER_TIMEOUT: return "header timeout";
    case HEADER_CLOSED: return "connection closed";
    case HEADER_BAD_RESPONSE: return "bad response";
  }
  return "unknown";
}

const char *code_to_error(int code) {
  switch (code) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Document Moved";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Error";
    case 501: return "Not Implemented";
    case 502: return "Service Temporarily Unavailable";
    case 503: return "Connection Failed";
    case 530: return "Login incorrect";
    default: return "Unknown";
  }
}

std::string header_percent_decode(std::string_view s) {
  auto hex = [](char c) {
    return is_digit(c) ? c - '0' : (lower(c) >= 'a' && lower(c) <= 'f') ? lower(c) - 'a' + 10 : -1;
  };
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); i++) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hex(s[i + 1]), lo = hex(s[i + 2]);
      if (hi >= 0 && lo >= 0 && (hi | lo) != 0) {
        out += char(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// ---- reading ------------------------------------------------------------------------------

namespace {

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace

HeaderResult header_get(CONNECTION_T *conn, int side, int timeout, std::string *head) {
  QM_ASSERT(conn && head, MODULE);
  head->clear();
  Socket *rd = side == 1 ? conn->server.get() : conn->client.get();
  if (!rd) return HEADER_CLOSED;
  // Named only in log lines: not built for every head.
  auto peer = [conn, side]() -> const char * {
    if (side != 1) return conn->ip.c_str();
    return conn->header && !conn->header->host_header.empty()
               ? conn->header->host_header.c_str()
               : "server";
  };
  auto other_socket = [&]() { return side == 1 ? conn->client.get() : conn->server.get(); };

  const Clock::time_point start = Clock::now();
  const bool limited = timeout >= 0;
  const auto span = std::chrono::seconds(std::max(timeout, 0));
  Clock::time_point deadline = start + span;
  std::string text, line;  // line: one buffer for every line of the head
  text.reserve(1024);
  std::size_t skipped = 0;  // empty lines before the head
  int lines = 0, retries = 0;
  std::size_t last_unsent = SIZE_MAX;
  bool stop_waiting = false, timed_out = false;

  rd->Blocking(true);
  if (Socket *o = other_socket()) o->Blocking(true);

  // A head that cannot be read to its end leaves the stream unframed: neither side of it
  // may be used for another message.
  auto refuse = [&](HeaderResult r) {
    putlog(LOG_WARNING | LOG_HEADER, "%s:%d %s from %s after %d lines", "header_get", __LINE__,
           header_result_text(r), peer(), lines);
    if (side == 0) {
      conn->keepalive_client = 0;
    } else {
      rd->error = true;
      conn->keepalive_server = 0;
    }
    return r;
  };

  // A server has nothing to say before the request it was just sent reaches it: the first
  // read would only find nothing.
  bool poll_first = side == 1 && rd->InputPending() == 0;
  // A reset either side shows in the reads and the poll below: no probe per round.
  for (;;) {
    Socket *other = other_socket();
    if (rd->InputPending() == 0 && (rd->error || (other && other->error))) break;

    // Every line already in the input buffer, or readable without waiting.
    bool ended = false;
    while (!poll_first) {
      const std::size_t used = text.size() + skipped + 2;  // 2: the final empty line
      const std::size_t room = used >= HEADER_MAX ? 0 : HEADER_MAX - used;
      const std::size_t maxline = std::max<std::size_t>(std::min(HEADER_LINE_MAX + 2, room), 2);
      ssize_t r = rd->GetLine(&line, 0, maxline);
      if (r == SOCK_TOOLONG)
        return refuse(side == 0 && lines == 0 && room > HEADER_LINE_MAX ? HEADER_URI_TOO_LONG
                                                                        : HEADER_TOO_LARGE);
      if (r == 0 || (r == SOCK_ERROR && errno != ETIMEDOUT)) {
        rd->error = true;
        if (side == 0) conn->keepalive_client = 0;
        ended = true;
        break;
      }
      if (r < 0) break;  // no whole line yet
      std::string_view body = line;
      body.remove_suffix(1);
      if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
      if (body.empty()) {
        if (lines == 0) {
          skipped += line.size();
          continue;
        }
        text += "\r\n";
        putlog(LOG_DEBUG | LOG_HEADER, "%s:%d got %d byte %d line headers from %s in %d msec after %d retries",
               "header_get", __LINE__, int(text.size()), lines, peer(),
               int(elapsed_ms(start)), retries);
        *head = std::move(text);
        return HEADER_OK;
      }
      if (body.size() > HEADER_LINE_MAX)
        return refuse(side == 0 && lines == 0 ? HEADER_URI_TOO_LONG : HEADER_TOO_LARGE);
      if (text.size() + skipped + line.size() + 2 > HEADER_MAX) return refuse(HEADER_TOO_LARGE);
      text += line;
      lines++;
    }
    poll_first = false;
    if (ended || stop_waiting) break;

    int wait_ms = -1;
    if (limited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait_ms = left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
    }
    other = other_socket();
    pollfd fds[2] = {{rd->fd(), POLLIN, 0}, {-1, 0, 0}};
    if (other && other->fd() >= 0)
      fds[1] = {other->fd(), short(other->InputPending() < OTHER_INPUT_MAX ? POLLIN : 0), 0};
    int pr = ::poll(fds, 2, wait_ms);
    if (pr < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      putlog(LOG_ERROR | LOG_HEADER, "[system: poll:%d:%s], in %s failed waiting for headers",
             err, std::strerror(err), "header_get");
      break;
    }
    retries++;
    if (pr == 0) {
      std::size_t unsent = 0;
      // The server cannot answer a request that has not reached it yet; wait on while the
      // kernel still moves it, but not for a server that stopped reading.
      if (side == 1 && net_get_unsent(rd->fd(), &unsent) > 0 && unsent < last_unsent) {
        putlog(LOG_WARNING | LOG_NETWORK, "%s:%d unsent: %lu", "header_get", __LINE__,
               static_cast<unsigned long>(unsent));
        last_unsent = unsent;
        deadline = Clock::now() + span;
        continue;
      }
      timed_out = true;
      break;
    }
    if (other && fds[1].revents) {
      if (fds[1].revents & POLLIN) {
        ssize_t n = other->Read(nullptr, SOCK_FILL, 0);
        if (n == 0 || (n == SOCK_ERROR && errno != ETIMEDOUT)) {
          if (n < 0) {
            int err = errno;
            putlog(LOG_ERROR | LOG_HEADER, "%s:%d %s %s", "header_get", __LINE__,
                   side == 1 ? conn->ip.c_str() : "server", std::strerror(err));
          }
          if (side == 1) {
            other->error = true;
            conn->keepalive_client = 0;
            conn->keepalive_server = 0;
          } else {
            conn->server.reset();
          }
          stop_waiting = true;
        }
      } else if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        other->error = true;
        stop_waiting = true;
      }
    }
    if (fds[0].revents & (POLLERR | POLLNVAL) ||
        (fds[0].revents & POLLHUP && !(fds[0].revents & POLLIN))) {
      // Whatever is still buffered is read on the next round; then the wait ends.
      if (rd->InputPending() == 0) {
        rd->error = true;
        if (side == 0) conn->keepalive_client = 0;
      }
    }
  }

  if (lines == 0) {
    if (conn->server) {
      net_linger_off(conn->server->fd());
      conn->server->error = true;
    }
    if ((side == 0 && conn->requests > 0) ||
        (side == 1 && conn->client && !conn->client->error))
      putlog(LOG_ERROR | LOG_HEADER, "%s:%d got NULL headers from %s in %d msec after %d retries",
             "header_get", __LINE__, peer(), int(elapsed_ms(start)), retries);
    return timed_out ? HEADER_TIMEOUT : HEADER_CLOSED;
  }
  putlog(LOG_WARNING | LOG_HEADER, "%s:%d got %d byte %d line headers from %s in %d msec after %d retries:",
         "header_get", __LINE__, int(text.size()), lines, peer(), int(elapsed_ms(start)),
         retries);
  return refuse(HEADER_INCOMPLETE);
}

std::size_t header_length(std::string_view text, std::size_t max) {
  for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    std::size_t j = i + 1;
    while (j < text.size() && text[j] == '\r') j++;
    if (j < text.size() && text[j] == '\n') return std::min(j + 1, max);
  }
  return std::min(text.size(), max);
}

int header_type(std::string_view text, std::size_t n) {
  return text.substr(0, n).starts_with("HTTP/") ? HEADER_RESPONSE : HEADER_TRANSPARENT;
}

// ---- parsing ------------------------------------------------------------------------------

HeaderResult http_header_list_parse(HEADER *h, std::string_view text) {
  const bool response = is_response_type(h->type);
  const HeaderResult bad = response ? HEADER_BAD_RESPONSE : HEADER_BAD_REQUEST;
  if (header_length(text, std::string_view::npos) > HEADER_MAX)
    return response ? bad : HEADER_TOO_LARGE;
  std::size_t pos = text.find('\n');
  if (pos == std::string_view::npos) return HEADER_OK;
  pos++;
  Framing fr;
  while (pos < text.size()) {
    Line l = line_at(text, pos);
    pos = l.next;
    std::string_view t = l.text;
    if (t.empty()) break;
    if (t.size() > HEADER_LINE_MAX) return response ? bad : HEADER_TOO_LARGE;
    // Folded lines, stray CRs and NULs are refused: a peer behind us could read them as a
    // line break and see a different head than the one the proxy acted on.
    if (has_stray_bytes(t) || t.front() == ' ' || t.front() == '\t') return bad;
    std::size_t colon = t.find(':');
    if (colon == std::string_view::npos || colon == 0) return bad;
    std::string_view name = t.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), is_tchar)) return bad;
    std::string_view value = trim_ows(t.substr(colon + 1));
    if (value.empty()) {
      if (iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding")) return bad;
      continue;
    }
    apply_line(h, name, value, &fr);
  }
  if (!fr.nominated.empty())
    for (HTTP_HEADER &line : h->headers)
      if (line.pass)
        for (const std::string &n : fr.nominated)
          if (iequals(line.name, n)) line.pass = false;
  if (!response && (fr.host_lines > 1 || fr.host_bad)) return bad;
  return apply_framing(h, fr, response);
}

void header_complete(HEADER *h) {
  h->url = h->proto + "://" + h->host + ":" + std::to_string(h->port) + h->file;
}

std::unique_ptr<HEADER> http_header_parse_request(std::string_view text, HeaderResult *result) {
  HeaderResult unused;
  HeaderResult &res = result ? *result : unused;
  auto fail = [&](HeaderResult r, int line) -> std::unique_ptr<HEADER> {
    res = r;
    putlog(LOG_ERROR | LOG_SECURITY, "malformatted request header");
    putlog(LOG_DEBUG | LOG_HEADER, "%s:%d %s", "http_header_parse_request", line,
           header_result_text(r));
    return nullptr;
  };
  res = HEADER_OK;
  if (text.size() <= 9) return fail(HEADER_BAD_REQUEST, __LINE__);

  std::string_view first = line_at(text, 0).text;
  if (has_stray_bytes(first)) return fail(HEADER_BAD_REQUEST, __LINE__);
  std::size_t sp1 = first.find(' ');
  if (sp1 == std::string_view::npos) return fail(HEADER_BAD_REQUEST, __LINE__);
  std::string_view method = first.substr(0, sp1);
  std::string_view rest = first.substr(sp1 + 1);
  std::size_t sp2 = rest.find(' ');
  std::string_view url = rest.substr(0, sp2);
  std::string_view version =
      sp2 == std::string_view::npos ? std::string_view{} : rest.substr(sp2 + 1);
  if (url.size() > HEADER_URL_MAX) return fail(HEADER_URI_TOO_LONG, __LINE__);
  if (method.empty() || method.size() > HEADER_METHOD_MAX ||
      !std::all_of(method.begin(), method.end(), is_tchar) || url.empty())
    return fail(HEADER_BAD_REQUEST, __LINE__);
  for (char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return fail(HEADER_BAD_REQUEST, __LINE__);
  if (sp2 != std::string_view::npos &&
      !(version.size() == 8 && version.starts_with("HTTP/") && is_digit(version[5]) &&
        version[6] == '.' && is_digit(version[7])))
    return fail(HEADER_BAD_REQUEST, __LINE__);

  auto h = header_new();
  h->version = iequals(version, "HTTP/1.1") ? 2 : 1;
  h->method = method;
  if (iequals(method, "CONNECT")) h->type = HEADER_CONNECT;
  else if (url.front() == '/') h->type = HEADER_TRANSPARENT;
  else h->type = HEADER_PROXY;

  if (h->type == HEADER_TRANSPARENT) {
    h->proto = "http";
    h->port = 80;
    h->file = url_path_fix(url);
  } else {
    std::string_view target = url;
    if (h->type == HEADER_PROXY) {
      std::size_t sep = url.find("://");
      if (sep == std::string_view::npos || sep == 0 || !is_alpha(url[0]))
        return fail(HEADER_BAD_REQUEST, __LINE__);
      for (char c : url.substr(0, sep))
        if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.')
          return fail(HEADER_BAD_REQUEST, __LINE__);
      h->proto = lowered(url.substr(0, sep));
      target = url.substr(sep + 3);
    } else {
      h->proto = "connect";
    }
    std::size_t end = target.find_first_of("/?#");
    std::string_view authority = target.substr(0, end);
    std::string_view path = end == std::string_view::npos ? std::string_view{} : target.substr(end);
    if (path.empty()) h->file = "/";
    else if (path.front() == '/') h->file = url_path_fix(path);
    else h->file = url_path_fix("/" + std::string(path));

    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      std::string_view userinfo = authority.substr(0, at);
      std::size_t colon = userinfo.find(':');
      if (colon != std::string_view::npos) {
        std::string_view user = userinfo.substr(0, colon), pass = userinfo.substr(colon + 1);
        if (user.size() > HEADER_CREDENTIAL_MAX || pass.size() > HEADER_CREDENTIAL_MAX)
          return fail(HEADER_BAD_REQUEST, __LINE__);
        if (!user.empty() && !pass.empty()) {
          h->username = header_percent_decode(user);
          h->password = header_percent_decode(pass);
          h->flags |= HDR_PRIVATE;
        }
      }
      authority.remove_prefix(at + 1);
    }
    std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
      std::optional<int> port = parse_port(authority.substr(colon + 1));
      if (!port) return fail(HEADER_BAD_REQUEST, __LINE__);
      h->port = *port;
      authority = authority.substr(0, colon);
    } else {
      h->flags |= HDR_DEFAULTPORT;
      h->port = h->type == HEADER_CONNECT ? 443 : protocol_port(h->proto);
    }
    h->host = lowered(header_percent_decode(authority));
    if (!host_valid(h->host)) return fail(HEADER_BAD_REQUEST, __LINE__);
    header_complete(h.get());
  }

  HeaderResult lr = http_header_list_parse(h.get(), text);
  if (lr != HEADER_OK) return fail(lr, __LINE__);
  // NTLM and Negotiate bind the authentication to the connection; a client that asked to
  // close still gets its close.
  if (!h->authorization.empty() && h->keep_alive == -1) h->keep_alive = 1;
  h->raw = text.substr(0, header_length(text, std::string_view::npos));
  return h;
}

std::unique_ptr<HEADER> http_header_parse_response(std::string_view text, HeaderResult *result) {
  HeaderResult unused;
  HeaderResult &res = result ? *result : unused;
  auto fail = [&]() -> std::unique_ptr<HEADER> {
    res = HEADER_BAD_RESPONSE;
    std::string shown = format_log_text(text);
    putlog(LOG_ERROR | LOG_HEADER, "malformatted server response:\n%s", shown.c_str());
    return nullptr;
  };
  res = HEADER_OK;
  std::size_t nl = text.find('\n');
  std::size_t first_len = nl == std::string_view::npos ? text.size() : nl + 1;
  if (text.size() <= 9 || first_len > HEADER_STATUS_LINE_MAX) return fail();

  std::string_view first = line_at(text, 0).text;
  std::size_t i = 0;
  while (i < first.size() && is_alpha(first[i])) i++;
  const bool shape = i > 0 && i + 5 < first.size() && first[i] == '/' && is_digit(first[i + 1]) &&
                     first[i + 2] == '.' && is_digit(first[i + 3]) && first[i + 4] == ' ' &&
                     is_digit(first[i + 5]);
  auto h = header_new();
  h->type = HEADER_RESPONSE;
  if (!shape) {
    // A broken status line is not a body.
    if (text.starts_with("HTTP/")) return fail();
    h->version = 0;
    h->code = 200;
    putlog(LOG_DEBUG | LOG_REQUEST, "HTTP/0.9 header");
    h->raw = "HTTP/1.1 200 OK\r\n\r\n";
    return h;
  }
  if (has_stray_bytes(first)) return fail();
  std::string_view code = first.substr(i + 5, 3);
  if (code.size() != 3 || !std::all_of(code.begin(), code.end(), is_digit) ||
      (first.size() > i + 8 && first[i + 8] != ' ') || code[0] == '0')
    return fail();
  h->code = std::stoi(std::string(code));
  h->version = first.substr(0, i + 4) == "HTTP/1.1" ? 2 : 1;
  if (http_header_list_parse(h.get(), text) != HEADER_OK) return fail();
  h->raw = text.substr(0, header_length(text, std::string_view::npos));
  if (h->code == 401 || h->code == 407) h->flags |= HDR_PRIVATE;
  return h;
}

bool header_chunk_size(std::string_view line, uint64_t *size) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  uint64_t v = 0;
  std::size_t i = 0;
  for (; i < line.size(); i++) {
    char c = lower(line[i]);
    int d = is_digit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) break;
    if (v > (UINT64_MAX >> 4)) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  if (i == 0) return false;
  std::string_view tail = trim_ows(line.substr(i));
  if (!tail.empty() && tail.front() != ';') return false;
  if (has_stray_bytes(tail)) return false;
  *size = v;
  return true;
}

// ---- writing ------------------------------------------------------------------------------

namespace {

void add_value(std::string &o, std::string_view value) {
  for (char c : value) o += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
}

void add_field(std::string &o, std::string_view name, std::string_view value) {
  add_value(o, name);
  o += ": ";
  add_value(o, value);
  o += "\r\n";
}

void add_if(std::string &o, std::string_view name, const std::string &value) {
  if (!value.empty()) add_field(o, name, value);
}

// A request-line element: spaces and controls would split or end the line, so they are
// percent-encoded.
void add_token(std::string &o, std::string_view s) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c == 0x7f) {
      o += '%';
      o += HEX[c >> 4];
      o += HEX[c & 0xf];
    } else {
      o += ch;
    }
  }
}

// Credentials in a URL: everything but unreserved characters is percent-encoded.
std::string userinfo_encode(std::string_view s) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (is_alpha(ch) || is_digit(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
      out += ch;
    } else {
      out += '%';
      out += HEX[c >> 4];
      out += HEX[c & 0xf];
    }
  }
  return out;
}

void first_line(std::string &o, const HEADER *h, int kind) {
  switch (h->type) {
    case HEADER_RESPONSE:
      o += "HTTP/1.1 " + std::to_string(h->code) + " " + code_to_error(h->code) + "\r\n";
      return;
    case HEADER_ICAP_REQUEST:
      add_token(o, h->method);
      o += ' ';
      add_token(o, h->url);
      o += " ICAP/1.0\r\n";
      return;
    case HEADER_ICAP_RESPONSE:
    case HEADER_ICAP_RESPONSE2:
      o += "ICAP/1.0 " + std::to_string(h->code) + " " + code_to_error(h->code) + "\r\n";
      return;
    default: break;
  }
  if (kind == HEADER_SEND_SERVER) {
    add_token(o, h->method);
    o += ' ';
    add_token(o, h->file);
  } else if (h->type == HEADER_CONNECT) {
    o += "CONNECT ";
    add_token(o, h->host);
    o += ":" + std::to_string(h->port);
  } else if (!h->username.empty() && !h->password.empty()) {
    add_token(o, h->method);
    o += ' ';
    add_token(o, h->proto);
    o += "://" + userinfo_encode(h->username) + ":" + userinfo_encode(h->password) + "@";
    add_token(o, h->host);
    o += ":" + std::to_string(h->port);
    add_token(o, h->file);
  } else {
    add_token(o, h->method);
    o += ' ';
    add_token(o, h->url);
  }
  o += " HTTP/1.1\r\n";
}

void header_lines(std::string &o, const HEADER *h, CONNECTION_T *conn) {
  const std::list<HTTP_HEADER> &list = (h->flags & HDR_FILTERED) ? h->filtered : h->headers;
  const bool icap = h->type >= HEADER_ICAP_REQUEST;
  const bool incoming = h->type == HEADER_RESPONSE;
  for (const HTTP_HEADER &line : list) {
    if (!line.pass) continue;
    if (!icap && header_cookie_hook && is_cookie_name(line.name)) {
      CookieVerdict v = header_cookie_hook(conn, line, incoming);
      if (!v.allowed) {
        putlog(LOG_COOKIE, incoming ? "blocked: incoming from %s" : "blocked: outgoing to %s",
               h->host.c_str());
        continue;
      }
      if (!v.rebuilt.empty()) {
        add_field(o, line.name, v.rebuilt);
        continue;
      }
    }
    add_field(o, line.name, line.value);
  }
}

}  // namespace

namespace {

std::string header_text(const HEADER *h, CONNECTION_T *conn, int kind) {
  std::string o;
  o.reserve(512);
  first_line(o, h, kind);
  header_lines(o, h, conn);
  const bool request_kind = kind == HEADER_SEND_SERVER || kind == HEADER_SEND_PARENT;
  const bool client_kind = kind == HEADER_SEND_CLIENT || kind == HEADER_SEND_CLIENT2;
  if (!request_kind && !client_kind) return o;

  add_if(o, "Content-Type", h->content_type);
  if (h->chunked) o += "Transfer-Encoding: chunked\r\n";
  else if (h->flags & HDR_LENGTH) o += "Content-Length: " + std::to_string(h->content_length) + "\r\n";

  if (kind == HEADER_SEND_PARENT) {
    o += "Proxy-Connection: keep-alive\r\n";
    add_if(o, "Proxy-Authorization",
           conn->proxy_authorization.empty() ? h->proxy_authorization : conn->proxy_authorization);
  }
  if (request_kind) add_if(o, "Cache-Control", h->cache_control);

  if (client_kind) {
    add_if(o, "Cache-Control", h->cache_control);
    add_if(o, "Expires", h->expires);
    add_if(o, "Last-Modified", h->last_modified);
    add_if(o, "Location", h->location);
    // Several challenges live in one slot, joined so that each comes out as its own line.
    std::string_view auth = h->www_authenticate;
    while (!auth.empty()) {
      std::size_t j = auth.find(WWW_AUTH_JOIN);
      add_field(o, "WWW-Authenticate", auth.substr(0, j));
      auth = j == std::string_view::npos ? std::string_view{}
                                         : auth.substr(j + sizeof WWW_AUTH_JOIN - 1);
    }
    add_if(o, "Proxy-Authenticate", h->proxy_authenticate);
    add_if(o, "Content-Encoding", h->content_encoding);
    const char *ka_name = (conn->flags & CONN_TRANSPARENT) ? "Connection" : "Proxy-Connection";
    if (conn->keepalive_client == 0) add_field(o, ka_name, "close");
    else if (conn->keepalive_client == 1) add_field(o, ka_name, "keep-alive");
    add_if(o, "X-Cache", h->x_cache);
    add_if(o, "Age", h->age);
    add_if(o, "Warning", h->warning);
    o += "X-ClientID: " + std::to_string(conn->client_id) + "\r\n";
    o += "X-RequestID: " + std::to_string(conn->requests) + "\r\n";
    if (!h->www_authenticate.empty() || (conn->header && !conn->header->authorization.empty()))
      o += "Proxy-support: Session-Based-Authentication\r\n";
  } else {
    add_if(o, "Authorization", h->authorization);
    add_if(o, "If-Modified-Since", h->if_modified_since);
    add_if(o, "Referer", h->referer);
    add_if(o, "User-Agent", h->user_agent);
    add_if(o, "Range", h->range);
    add_if(o, "Accept-Encoding", h->accept_encoding);
    add_if(o, "Content-Encoding", h->content_encoding);
    if (h->type != HEADER_CONNECT && h->port == protocol_port(h->proto))
      add_field(o, "Host", h->host);
    else
      add_field(o, "Host", h->host + ":" + std::to_string(h->port));
    if (conn->keepalive_server == 0 || conn->keepalive_client == 0 || h->keep_alive == 0)
      o += "Connection: close\r\n";
    else if (conn->keepalive_client == 1)
      o += "Connection: keep-alive\r\n";
    add_if(o, "X-Forwarded-For", h->x_forwarded_for);
    add_if(o, "Via", h->via);
    add_if(o, "Encapsulated", h->encapsulated);
  }
  o += "\r\n";
  return o;
}

}  // namespace

void header_send_filebuf(Filebuf *out, const HEADER *h, CONNECTION_T *conn, int kind) {
  QM_ASSERT(out && h && conn, MODULE);
  out->Add(header_text(h, conn, kind));
}

ssize_t header_send(const HEADER *h, CONNECTION_T *conn, int dest, int kind, bool body_follows) {
  QM_ASSERT(h && conn, MODULE);
  Socket *s = nullptr;
  std::string peer;
  if (dest == 1) {
    s = conn->server.get();
    peer = conn->header ? conn->header->host : h->host;
  } else {
    if (dest == 0 && (conn->flags & CONN_CLIENT_GONE)) return 0;
    s = conn->client.get();
    peer = conn->ip;
  }
  const std::string text = header_text(h, conn, kind);
  const auto len = static_cast<ssize_t>(text.size());
  ssize_t sent = -1;
  if (s && body_follows && !s->error) {
    s->Queue(text.data(), text.size());  // leaves with the first bytes of the body
    sent = len;
  } else if (s) {
    ssize_t r = s->Write(text.data(), len);
    bool flushed = r >= 0 && s->Flush();
    sent = r < 0 ? -1 : flushed ? len : r;
  }
  if (sent < len) {
    putlog(LOG_ERROR | LOG_HEADER, "failed to send the headers to %s", peer.c_str());
    if (s) s->error = true;
    conn->flags |= CONN_FAILED;
    if (dest == 1 && header_dns_purge_hook) header_dns_purge_hook(peer);
  }
  if (!putlog_drops(LOG_DEBUG | LOG_HEADER))
    putlog(LOG_DEBUG | LOG_HEADER, "sent[%zd(%zu)] to %s:\n%s", sent, text.size(), peer.c_str(),
           text.c_str());
  return sent < len ? -1 : sent;
}

// ---- values built by the proxy --------------------------------------------------------------

void header_proxy_update(CONNECTION_T *conn, const HeaderProxyOptions &options) {
  if (!conn->header) return;
  if (options.xforwardedfor) conn->header->x_forwarded_for = conn->ip;
  if (options.via) via_header_update(conn);
}

void via_header_update(CONNECTION_T *conn) {
  if (!conn->header) return;
  std::string &via = conn->header->via;
  std::string self = conn->interface + ":" + std::to_string(conn->port) + " (Quillmoss " +
                     VERSION_STRING + ")";
  via = via.empty() ? self : via + ", " + self;
}

void xcache_header_update(CONNECTION_T *conn, int miss) {
  if (!conn->rheader) return;
  std::string &x = conn->rheader->x_cache;
  std::string self = std::string(miss == 1 ? "MISS" : "HIT") + " from Quillmoss " + VERSION_STRING;
  x = x.empty() ? self : x + ", " + self;
}

void conditional_header(HEADER *request, time_t mtime) {
  if (!request) return;
  struct tm tm{};
  char buf[HEADER_DATE_MAX + 1];
  if (!localtime_r(&mtime, &tm) || std::strftime(buf, sizeof buf, "%a, %d %b %Y %T GMT", &tm) == 0)
    return;
  request->if_modified_since = buf;
}

std::unique_ptr<HEADER> auth_header(bool www, bool negotiate, const char *realm) {
  auto h = header_new();
  h->type = HEADER_RESPONSE;
  h->version = 2;
  h->code = www ? 401 : 407;
  h->content_length = 0;
  h->flags = HDR_LENGTH;
  const char *name = www ? "WWW-Authenticate" : "Proxy-Authenticate";
  if (negotiate) {
    h->headers.push_back({true, name, "Negotiate"});
    h->headers.push_back({true, name, "NTLM"});
  }
  std::string quoted;
  for (const char *p = realm ? realm : ""; *p; p++) {
    if (*p == '"' || *p == '\\') quoted += '\\';
    quoted += *p;
  }
  h->headers.push_back({true, name, "Basic realm=\"" + quoted + "\""});
  return h;
}

void header_variables(std::map<std::string, std::string> &variables, std::string_view prefix,
                      const std::list<HTTP_HEADER> &list) {
  std::string key;
  for (const HTTP_HEADER &line : list) {
    const std::string_view name = std::string_view(line.name).substr(0, HEADER_VARIABLE_NAME_MAX);
    key.clear();
    key.reserve(prefix.size() + name.size() + 2);
    key.append(prefix).push_back('[');
    for (char c : name) key.push_back(lower(c));
    key.push_back(']');
    variables.insert_or_assign(key, line.value);
  }
}

void header_variables(CONNECTION_T *conn, std::string_view prefix,
                      const std::list<HTTP_HEADER> &list) {
  header_variables(conn->variables, prefix, list);
}

std::unique_ptr<HEADER> http_header_dup(const HEADER *h) {
  return h ? std::make_unique<HEADER>(*h) : nullptr;
}
