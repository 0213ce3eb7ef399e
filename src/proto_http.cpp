#include "proto_http.h"

#include "accesslog.h"

#include "stats.h"

#include "profiles.h"

#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "misc.h"
#include "network.h"
#include "registry.h"
#include "socket.h"
#include "templates.h"
#include "urlcommand.h"

bool (*http_head_get_hook)(CONNECTION_T *conn, int timeout, std::string *head) = nullptr;
int (*http_reconnect_hook)(CONNECTION_T *conn) = nullptr;
bool (*http_proxy_authenticate_hook)(CONNECTION_T *conn) = nullptr;
void (*http_header_filter_hook)(CONNECTION_T *conn, int direction) = nullptr;
bool (*http_mime_filter_hook)(CONNECTION_T *conn) = nullptr;
void (*http_redirect_hook)(CONNECTION_T *conn) = nullptr;
bool (*http_page_hook)(CONNECTION_T *conn, std::string_view command, const Filebuf *body) = nullptr;
HttpCacheHooks http_cache_hooks;

namespace {

constexpr const char *MODULE = "src/proto_http";
constexpr const char *INTERFACE_HOST = "quillmoss.cfg";
constexpr int DEFAULT_WAIT_SECONDS = 60;
// Largest body http_transfer_filebuf reads whole for callers that set no smaller bound.
constexpr std::size_t HTTP_BODY_BUFFER_MAX = 256u << 20;
// Access-log cache codes written here.
constexpr int LOG_CACHE_VALIDATED = 3;
constexpr int LOG_CACHE_FAILED_VALIDATION = 5;
constexpr int LOG_CACHE_REFUSED = 9;
constexpr int HTTP_STATUS_BAD_GATEWAY = 502;

HttpCacheHooks &cache_ops() { return http_cache_hooks; }

int wait_seconds(int configured) { return configured > 0 ? configured : DEFAULT_WAIT_SECONDS; }

std::size_t download_buffer(const CONNECTION_T *conn) {
  if (!general_section) return 0;
  uint64_t v = general_section->maxdbuffer_get(conn);
  return static_cast<std::size_t>(std::min<uint64_t>(v, HTTP_BODY_BUFFER_MAX));
}

// The HTML stream holds the whole document: it takes no more than the download buffer.
void html_feed(CONNECTION_T *conn, const char *data, std::size_t n) {
  HTMLStream *h = conn->html_stream.get();
  if (!h || n == 0) return;
  const std::size_t held = h->data().size(), room = download_buffer(conn);
  if (held < room) h->Add(data, std::min(n, room - held));
}

void html_close(CONNECTION_T *conn) {
  if (conn->html_stream) conn->html_stream->Add(nullptr, 0);
}

bool has_command(const CONNECTION_T *conn, std::string_view name) {
  return url_command_find(conn->url_commands, name) != nullptr;
}

bool show_page(CONNECTION_T *conn, std::string_view command, const Filebuf *body) {
  return has_command(conn, command) && http_page_hook && http_page_hook(conn, command, body);
}

void log_detail(CONNECTION_T *conn, int cache_code, int status, const char *section = nullptr,
                const char *reason = nullptr) {
  LogEntry &e = conn->log_entry;
  if (cache_code >= 0) e.set_cachecode(cache_code);
  e.status = status;
  if (section) e.filter = section;
  if (reason) e.reason = reason;
}

void log_write(CONNECTION_T *conn, int status, uint64_t bytes) {
  LogEntry &e = conn->log_entry;
  e.status = status;
  e.size = bytes;
  if ((e.mime.empty() || e.mime == "-") && conn->rheader && !conn->rheader->mime.empty())
    e.mime = conn->rheader->mime;
  e.Write();
  e.apache_Write();
}

void stat(CONNECTION_T *conn, HttpStat counter) {
  Stats *user = conn->user_stats.get();
  switch (counter) {
    case HTTP_STAT_HTTPREQUEST: statincr_httprequests(user); break;
    case HTTP_STAT_USER: statincr_users(user, conn->username); break;
    case HTTP_STAT_CACHEHIT: statincr_cachehit(user); break;
    case HTTP_STAT_CACHEHIT_UNDO: statdecr_cachehit(user); break;
    case HTTP_STAT_CACHEMISS: statincr_cachemiss(user); break;
  }
}

// A page of the template section, or a bare status answer when there is no section.
void send_page(CONNECTION_T *conn, std::string_view name, int status) {
  if (template_section) {
    template_section->send(name, conn, status);
    return;
  }
  if (!conn->client || (conn->flags & CONN_CLIENT_GONE)) return;
  conn->client->PutSock("HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status,
                        code_to_error(status));
  conn->client->Flush();
}

// A response that cannot be passed on: 502, and neither connection can carry another message.
void bad_gateway(CONNECTION_T *conn) {
  conn->keepalive_client = 0;
  conn->keepalive_server = 0;
  send_page(conn, "badresponse", HTTP_STATUS_BAD_GATEWAY);
  log_detail(conn, -1, HTTP_STATUS_BAD_GATEWAY);
  log_write(conn, HTTP_STATUS_BAD_GATEWAY, 0);
}

Socket *source_of(CONNECTION_T *conn, int side) {
  return side == TRANSFER_FROM_SERVER ? conn->server.get() : conn->client.get();
}

Socket *destination_of(CONNECTION_T *conn, int side) {
  if (side == TRANSFER_FROM_SERVER)
    return (conn->flags & CONN_CLIENT_GONE) ? nullptr : conn->client.get();
  return conn->server.get();
}

const char *peer_name(const CONNECTION_T *conn, int side) {
  if (side == TRANSFER_FROM_SERVER)
    return conn->header && !conn->header->host.empty() ? conn->header->host.c_str() : "server";
  return conn->ip.empty() ? "client" : conn->ip.c_str();
}

// A body whose framing broke leaves both streams unframed: no more messages on either.
void body_broken(CONNECTION_T *conn, int side, const char *why) {
  putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] broken body from %s: %s", conn->ip.c_str(),
         peer_name(conn, side), why);
  conn->flags |= CONN_FAILED;
  conn->keepalive_client = 0;
  conn->keepalive_server = 0;
  if (Socket *s = source_of(conn, side)) s->error = true;
}

bool client_takes_chunked(const CONNECTION_T *conn) {
  return conn->header && conn->header->version >= 2;
}

bool is_interim(int code) { return code >= 100 && code <= 199 && code != 101; }

// Registers the read callback on the server socket for the life of one response-body read.
class ReadCallback {
 public:
  ReadCallback(CONNECTION_T *conn, int side) : conn_(conn) {
    if (side != TRANSFER_FROM_SERVER || (conn->flags & CONN_ICAP_BODY) || !conn->server) return;
    socket_ = conn->server.get();
    id_ = socket_->CallBackAdd(http_read_callback, conn, SOCK_EVENT_READ);
  }
  ~ReadCallback() {
    if (socket_ && conn_->server.get() == socket_) socket_->CallBackRemove(id_);
  }
  ReadCallback(const ReadCallback &) = delete;
  ReadCallback &operator=(const ReadCallback &) = delete;

 private:
  CONNECTION_T *conn_;
  Socket *socket_ = nullptr;
  int id_ = -1;
};

bool write_destination(CONNECTION_T *conn, int side, const char *data, std::size_t n) {
  Socket *d = destination_of(conn, side);
  if (!d || d->error) return true;  // a gone client: the body is still read to its end
  return d->Write(data, static_cast<ssize_t>(n)) >= 0;
}

bool empty_line(std::string_view line) { return line == "\r\n" || line == "\n"; }

// The line that ends a chunk's data must be empty: anything else means the sizes lie.
bool chunk_end(CONNECTION_T *conn, int side) {
  Socket *src = source_of(conn, side);
  std::string line;
  return src && src->GetLine(&line, wait_seconds(conn->keeptimeout), 2) > 0 && empty_line(line);
}

// Trailer lines after the last chunk are read (and dropped) up to the empty line.
bool read_trailers(CONNECTION_T *conn, int side) {
  Socket *src = source_of(conn, side);
  if (!src) return false;
  std::size_t total = 0;
  for (;;) {
    std::string line;
    ssize_t r = src->GetLine(&line, wait_seconds(conn->timeout), HEADER_LINE_MAX + 2);
    if (r <= 0) return false;
    total += static_cast<std::size_t>(r);
    if (total > HTTP_TRAILER_MAX) return false;
    if (empty_line(line)) return true;
  }
}

// Reads a body into out (null: drops it), stopping before out passes limit. A chunked body
// stopped inside a chunk gets the rest of that chunk announced again in front of the
// source's input, so what stays unread is once more a well-formed chunked stream.
TransferResult body_read(CONNECTION_T *conn, int side, BodyFraming framing, uint64_t length,
                         Filebuf *out, std::size_t limit) {
  ReadCallback callback(conn, side);
  switch (framing) {
    case BodyFraming::NONE:
      return TRANSFER_DONE;
    case BodyFraming::LENGTH:
    case BodyFraming::CLOSE: {
      if (length > static_cast<uint64_t>(INT64_MAX)) {
        body_broken(conn, side, "length out of range");
        return TRANSFER_FAILED;
      }
      const int64_t size =
          framing == BodyFraming::CLOSE ? TRANSFER_UNTIL_CLOSE : static_cast<int64_t>(length);
      TransferResult r = net_filebuf_read(out, conn, side, size, limit);
      if (r == TRANSFER_FAILED) body_broken(conn, side, "cut short");
      return r;
    }
    case BodyFraming::CHUNKED:
      break;
  }
  for (;;) {
    const int64_t n = next_chunksize(conn, side);
    if (n < 0) {
      body_broken(conn, side, "chunk size");
      return TRANSFER_FAILED;
    }
    if (n == 0) {
      if (read_trailers(conn, side)) return TRANSFER_DONE;
      body_broken(conn, side, "trailer");
      return TRANSFER_FAILED;
    }
    if (out) {
      const std::size_t have = out->length();
      const std::size_t room = have >= limit ? 0 : limit - have;
      if (static_cast<uint64_t>(n) > room) {
        if (room > 0 && net_filebuf_read(out, conn, side, static_cast<int64_t>(room), limit) !=
                            TRANSFER_DONE) {
          body_broken(conn, side, "cut short");
          return TRANSFER_FAILED;
        }
        char line[32];
        int len = std::snprintf(line, sizeof line, "%" PRIx64 "\r\n",
                                static_cast<uint64_t>(n) - room);
        source_of(conn, side)->PushFront(line, static_cast<std::size_t>(len));
        if (side == TRANSFER_FROM_CLIENT) conn->uploaded += room;
        return TRANSFER_FULL;
      }
    }
    if (net_filebuf_read(out, conn, side, n, limit) != TRANSFER_DONE || !chunk_end(conn, side)) {
      body_broken(conn, side, "cut short");
      return TRANSFER_FAILED;
    }
    if (side == TRANSFER_FROM_CLIENT) conn->uploaded += static_cast<uint64_t>(n);
  }
}

// Streams the (rest of the) body from side to the other socket. A chunked body is re-chunked
// when rechunk is set, else passed as plain bytes.
bool body_stream_run(CONNECTION_T *conn, int side, BodyFraming framing, uint64_t length,
                     bool rechunk) {
  ReadCallback callback(conn, side);
  switch (framing) {
    case BodyFraming::NONE:
      return true;
    case BodyFraming::LENGTH: {
      if (length > static_cast<uint64_t>(INT64_MAX)) {
        body_broken(conn, side, "length out of range");
        return false;
      }
      const int64_t moved = net_transfer(conn, side, static_cast<int64_t>(length));
      if (moved >= static_cast<int64_t>(length)) return true;
      body_broken(conn, side, "cut short");
      return false;
    }
    case BodyFraming::CLOSE:
      net_transfer(conn, side, TRANSFER_UNTIL_CLOSE);
      return !(conn->flags & CONN_FAILED);
    case BodyFraming::CHUNKED:
      break;
  }
  // The line ending one chunk goes out with the size line of the next.
  bool end_due = false;
  for (;;) {
    const int64_t n = next_chunksize(conn, side);
    if (n < 0) {
      body_broken(conn, side, "chunk size");
      return false;
    }
    if (n == 0) {
      if (!read_trailers(conn, side)) {
        body_broken(conn, side, "trailer");
        return false;
      }
      if (rechunk) {
        const char *last = end_due ? "\r\n0\r\n\r\n" : "0\r\n\r\n";
        Socket *d = destination_of(conn, side);
        if (!write_destination(conn, side, last, std::strlen(last)) || (d && !d->Flush())) {
          conn->flags |= CONN_FAILED;
          conn->keepalive_client = conn->keepalive_server = 0;
          return false;
        }
      }
      return true;
    }
    if (side == TRANSFER_FROM_CLIENT &&
        conn->over_upload_limit(conn->uploaded > UINT64_MAX - static_cast<uint64_t>(n)
                                    ? UINT64_MAX
                                    : conn->uploaded + static_cast<uint64_t>(n))) {
      // A streamed chunked upload shows its size only as it comes: stop at the limit.
      conn->uploaded += static_cast<uint64_t>(n);  // the pipeline answers with the limit page
      body_broken(conn, side, "upload limit");
      return false;
    }
    if (rechunk) {
      char frame[40];
      int len = std::snprintf(frame, sizeof frame, "%s%" PRIx64 "\r\n", end_due ? "\r\n" : "",
                              static_cast<uint64_t>(n));
      if (!write_destination(conn, side, frame, static_cast<std::size_t>(len))) {
        body_broken(conn, side, "destination failed");
        return false;
      }
    }
    if (net_transfer(conn, side, n) < n || !chunk_end(conn, side)) {
      body_broken(conn, side, "cut short");
      return false;
    }
    if (side == TRANSFER_FROM_CLIENT) conn->uploaded += static_cast<uint64_t>(n);
    end_due = true;
  }
}

// The same; a response body's HTML stream is complete once the body has passed.
bool body_stream(CONNECTION_T *conn, int side, BodyFraming framing, uint64_t length,
                 bool rechunk) {
  const bool ok = body_stream_run(conn, side, framing, length, rechunk);
  if (side == TRANSFER_FROM_SERVER) html_close(conn);
  return ok;
}

}  // namespace

// ---- framing ------------------------------------------------------------------------------

BodyFraming http_body_framing(const CONNECTION_T *conn, const HEADER *h, int side) {
  if (!h) return BodyFraming::NONE;
  if (side == TRANSFER_FROM_SERVER) {
    if (conn && (conn->flags & CONN_HEAD)) return BodyFraming::NONE;
    if ((h->code >= 100 && h->code <= 199) || h->code == 204 || h->code == 304)
      return BodyFraming::NONE;
    if (h->chunked) return BodyFraming::CHUNKED;
    if (h->flags & HDR_LENGTH) return BodyFraming::LENGTH;
    return BodyFraming::CLOSE;
  }
  if (h->chunked) return BodyFraming::CHUNKED;
  if ((h->flags & HDR_LENGTH) && h->content_length > 0) return BodyFraming::LENGTH;
  return BodyFraming::NONE;
}

// ---- bodies -------------------------------------------------------------------------------

int64_t next_chunksize(CONNECTION_T *conn, int side) {
  Socket *src = source_of(conn, side);
  if (!src) return -1;
  std::string line;
  ssize_t r = src->GetLine(&line, wait_seconds(conn->timeout), HTTP_CHUNK_LINE_MAX + 2);
  uint64_t size = 0;
  if (r <= 0 || !header_chunk_size(line, &size) || size > static_cast<uint64_t>(INT64_MAX)) {
    putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] %s: invalid or missing chunk size", conn->ip.c_str(),
           peer_name(conn, side));
    return -1;
  }
  return static_cast<int64_t>(size);
}

bool http_transfer(CONNECTION_T *conn, int side) {
  const HEADER *h = side == TRANSFER_FROM_SERVER ? conn->rheader.get() : conn->header.get();
  const BodyFraming framing = http_body_framing(conn, h, side);
  const bool rechunk = side == TRANSFER_FROM_CLIENT || client_takes_chunked(conn);
  return body_stream(conn, side, framing, h ? h->content_length : 0, rechunk);
}

std::unique_ptr<Filebuf> http_transfer_filebuf(CONNECTION_T *conn, int side) {
  auto out = std::make_unique<Filebuf>();
  const HEADER *h = side == TRANSFER_FROM_SERVER ? conn->rheader.get() : conn->header.get();
  const BodyFraming framing = http_body_framing(conn, h, side);
  if (body_read(conn, side, framing, h ? h->content_length : 0, out.get(), HTTP_BODY_BUFFER_MAX) ==
      TRANSFER_FULL)
    body_broken(conn, side, "larger than the largest buffer");
  return out;
}

bool http_transfer_discard(CONNECTION_T *conn, int side) {
  const HEADER *h = side == TRANSFER_FROM_SERVER ? conn->rheader.get() : conn->header.get();
  const BodyFraming framing = http_body_framing(conn, h, side);
  return body_read(conn, side, framing, h ? h->content_length : 0, nullptr, SIZE_MAX) ==
         TRANSFER_DONE;
}

ssize_t http_send_body(CONNECTION_T *conn, const Filebuf *body) {
  if (conn->flags & CONN_HEAD) return 0;
  return net_filebuf_send(body, conn, 0);
}

HttpRequestBody http_request_body_read(CONNECTION_T *conn, uint64_t buffer_limit) {
  HEADER *req = conn->header.get();
  if (!conn->postbody) conn->postbody = std::make_unique<Filebuf>();
  const BodyFraming framing = http_body_framing(conn, req, TRANSFER_FROM_CLIENT);
  if (framing == BodyFraming::NONE) return HTTP_BODY_BUFFERED;
  const std::size_t limit =
      static_cast<std::size_t>(std::min<uint64_t>(buffer_limit, HTTP_BODY_BUFFER_MAX));
  if (framing == BodyFraming::LENGTH && req->content_length > limit) {
    conn->flags |= CONN_BIGUPLOAD;
    return HTTP_BODY_STREAM;
  }
  TransferResult r = body_read(conn, TRANSFER_FROM_CLIENT, framing, req->content_length,
                               conn->postbody.get(), limit);
  if (r == TRANSFER_FAILED) return HTTP_BODY_FAILED;
  if (r == TRANSFER_FULL) {
    conn->flags |= CONN_BIGUPLOAD;
    return HTTP_BODY_STREAM;
  }
  if (framing == BodyFraming::CHUNKED) {
    // From here on the body is an ordinary counted one.
    req->chunked = 0;
    req->content_length = conn->postbody->length();
    if (req->content_length > 0) req->flags |= HDR_LENGTH;
    else req->flags &= ~HDR_LENGTH;
  }
  return HTTP_BODY_BUFFERED;
}

int http_read_callback(void *arg, ssize_t len, const char *buf) {
  auto *conn = static_cast<CONNECTION_T *>(arg);
  if (len <= 0) return 0;
  const auto n = static_cast<uint64_t>(len);
  // A coded body is fed once decoded.
  if (conn->html_stream && conn->rheader && conn->rheader->content_encoding.empty())
    html_feed(conn, buf, static_cast<std::size_t>(len));
  if (conn->cache && (conn->flags & CONN_CACHING) && cache_ops().add)
    cache_ops().add(conn->cache, buf, static_cast<std::size_t>(len));  // failure: not cached
  conn->downloaded += n;
  if (conn->download_limit != NO_LIMIT) {
    // A body exactly as large as what is left passes.
    if (n > conn->download_limit) {
      conn->download_limit = 0;
      conn->flags |= CONN_FAILED;
      return -1;
    }
    conn->download_limit -= n;
  }
  buffertimeout_check(conn);
  return 0;
}

// ---- decisions ----------------------------------------------------------------------------

void keepalive_check_client(CONNECTION_T *conn) {
  if (conn->flags & (CONN_FAILED | CONN_CLIENT_GONE)) {
    conn->keepalive_client = 0;
    conn->keepalive_server = 0;
    return;
  }
  const HEADER *req = conn->header.get();
  if (!req || req->type == HEADER_CONNECT || req->keep_alive == 0 || req->proxy_keep_alive == 0) {
    conn->keepalive_client = 0;
    return;
  }
  // An HTTP/1.0 client reads to the end of the connection unless it asked to keep it.
  conn->keepalive_client =
      req->version >= 2 || req->keep_alive == 1 || req->proxy_keep_alive == 1 ? 1 : 0;
}

void keepalive_check_server(CONNECTION_T *conn) {
  const HEADER *rh = conn->rheader.get();
  const BodyFraming framing = http_body_framing(conn, rh, TRANSFER_FROM_SERVER);
  if (!conn->server || conn->server->error || !rh) {
    conn->keepalive_server = 0;
  } else if ((rh->code >= 201 && rh->code <= 299) || rh->keep_alive == 0 ||
             (rh->flags & HDR_NOREUSE)) {
    conn->keepalive_server = 0;
  } else if (framing == BodyFraming::CLOSE) {
    conn->keepalive_server = 0;
  } else {
    conn->keepalive_server = rh->keep_alive == 1 || rh->proxy_keep_alive == 1 ||
                                     (rh->version >= 2 && rh->proxy_keep_alive != 0)
                                 ? 1
                                 : 0;
  }
  if (conn->flags & CONN_FAILED) conn->keepalive_client = conn->keepalive_server = 0;
  // The client learns where such a body ends only from the connection closing.
  if (framing == BodyFraming::CLOSE) conn->keepalive_client = 0;
  putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d connection->keepalive_server = %d",
         "keepalive_check_server", __LINE__, conn->keepalive_server);
}

bool accepts_encoded_content(const CONNECTION_T *conn) {
  const HEADER *req = conn->header.get();
  if (!(conn->flags & CONN_DECODE) && req &&
      (s_strcasestr(req->accept_encoding, "gzip") != std::string_view::npos ||
       s_strcasestr(req->accept_encoding, "deflate") != std::string_view::npos))
    return true;
  putlog(LOG_DEBUG | LOG_REQUEST, "[IP:%s] client doesn't support encoded content",
         conn->ip.c_str());
  return false;
}

bool buffer_check(CONNECTION_T *conn) {
  const HEADER *rh = conn->rheader.get();
  const HEADER *req = conn->header.get();
  if (!rh || !req) return false;
  const BodyFraming framing = http_body_framing(conn, rh, TRANSFER_FROM_SERVER);
  if (framing == BodyFraming::LENGTH && rh->content_length > download_buffer(conn) &&
      !has_command(conn, "process")) {
    putlog(LOG_DEBUG | LOG_REQUEST, "warn: [IP:%s] response exceeds maximum download buffer size",
           conn->ip.c_str());
    return false;
  }
  if ((framing != BodyFraming::LENGTH && framing != BodyFraming::CHUNKED) ||
      (framing == BodyFraming::LENGTH && rh->content_length == 0))
    return false;
  if (!rh->content_encoding.empty() && !accepts_encoded_content(conn)) return true;
  if ((framing == BodyFraming::CHUNKED && !client_takes_chunked(conn)) ||
      processors.Execute(PROC_BUFFER_CHECK, conn, nullptr) == 1)
    return true;
  conn->flags &= ~CONN_PROCESS;
  if (has_command(conn, "raw") || has_command(conn, "htmltree")) return true;
  if (general_section && general_section->compressout_get(conn) && !req->accept_encoding.empty() &&
      !rh->content_type.empty() && rh->content_encoding.empty() && accepts_encoded_content(conn))
    return general_section->encodemime_check(conn, rh->content_type);
  return false;
}

void buffertimeout_set(CONNECTION_T *conn) {
  const int wait = general_section ? general_section->bufferwait_get(conn) : 0;
  conn->buffer_timeout = wait > 0 ? std::time(nullptr) + wait : 0;
  putlog(LOG_DEBUG | LOG_REQUEST, "[IP:%s] buffer timeout: %u", conn->ip.c_str(),
         static_cast<unsigned>(conn->buffer_timeout));
}

void buffertimeout_check(CONNECTION_T *conn) {
  const uint32_t wanted = CONN_BUFFER | CONN_CACHING;
  if ((conn->flags & wanted) != wanted || (conn->flags & CONN_CLIENT_GONE)) return;
  if (conn->buffer_timeout == 0 || std::time(nullptr) < conn->buffer_timeout) return;
  if (conn->cache && cache_ops().flag_set) cache_ops().flag_set(conn->cache, HTTP_CACHE_BUFFERWAIT);
  if (cache_ops().send_status) cache_ops().send_status(conn, conn->cache);
  // The download goes on into the cache, where the client finds it later.
  conn->keepalive_client = 0;
  conn->client.reset();
  conn->flags |= CONN_CLIENT_GONE;
}

// ---- processing ---------------------------------------------------------------------------

int process_request(CONNECTION_T *conn, Filebuf *body) {
  HEADER *req = conn->header.get();
  Filebuf empty;
  if (!body) body = &empty;
  // A chunked body not read yet would otherwise be taken for the next request.
  if (req && req->chunked && !(conn->flags & CONN_BIGUPLOAD) && body == conn->postbody.get()) {
    const uint64_t limit = general_section ? general_section->maxubuffer_get(conn) : 0;
    if (http_request_body_read(conn, limit) == HTTP_BODY_FAILED) return 0;
  }
  if (processors.Execute(PROC_AUTH, conn, body) == 1) return 0;
  if (!conn->username.empty()) {
    stat(conn, HTTP_STAT_USER);
    conn->variables["USERNAME"] = conn->username;
  }
  if (!conn->rheader) processors.Execute(PROC_REQUEST_MOD, conn, body);
  if (!conn->rheader) {
    if (req && !(conn->flags & CONN_BIGUPLOAD) && !body->empty()) {
      req->chunked = 0;
      req->content_length = body->length();
      req->flags |= HDR_LENGTH;
    }
    return 1;
  }
  HEADER *rh = conn->rheader.get();
  rh->content_length = body->length();
  rh->flags |= HDR_LENGTH;
  rh->chunked = 0;
  // An unread request body cannot be skipped: the client connection ends with this answer.
  if (conn->flags & CONN_BIGUPLOAD) conn->keepalive_client = 0;
  header_send(rh, conn, 0, HEADER_SEND_CLIENT);
  http_send_body(conn, body);
  log_write(conn, rh->code, body->length());
  conn->rheader.reset();
  return 0;
}

int process_response(CONNECTION_T *conn, Filebuf *body) {
  if (processors.Execute(PROC_RESPONSE_CHECK, conn, body) == 1) {
    log_detail(conn, LOG_CACHE_REFUSED, 403);
    return 0;
  }
  processors.Execute(PROC_RESPONSE_MOD, conn, body);
  return 1;
}

int transfer_limit_check(CONNECTION_T *conn) {
  const HEADER *req = conn->header.get();
  const HEADER *rh = conn->rheader.get();
  if (!rh || (req && strcasecmp(req->host.c_str(), INTERFACE_HOST) == 0)) return 1;
  if (!(rh->flags & HDR_LENGTH) || (conn->cache && !(conn->flags & CONN_LIMITED)) ||
      conn->download_limit == NO_LIMIT || conn->download_limit >= rh->content_length)
    return 1;
  putlog(LOG_WARNING | LOG_LIMITS, "[IP:%s] transfer would exceed transfer limit",
         conn->ip.c_str());
  const std::string limit = std::to_string(conn->download_limit);
  conn->variables["FILTER"] = "Download Limits";
  conn->variables["REASON"] = limit;
  conn->variables["LIMIT_TYPE"] = "Download Limit";
  conn->variables["DOWNLOADLIMIT"] = limit;
  conn->keepalive_client = 0;
  send_page(conn, "downloadlimit", 200);
  log_detail(conn, LOG_CACHE_REFUSED, 403, "limit_section", limit.c_str());
  log_write(conn, 403, rh->content_length);
  return 0;
}

// ---- the exchange -------------------------------------------------------------------------

namespace {

bool read_response_head(CONNECTION_T *conn, int timeout, std::string *head) {
  head->clear();
  if (http_head_get_hook) return http_head_get_hook(conn, timeout, head);
  if (header_get(conn, TRANSFER_FROM_SERVER, timeout, head) == HEADER_OK) return true;
  conn->keepalive_server = 0;
  return false;
}

bool send_request_head(CONNECTION_T *conn) {
  const int kind = conn->proxy_type == PROXY_HTTP ? HEADER_SEND_PARENT : HEADER_SEND_SERVER;
  return conn->server && header_send(conn->header.get(), conn, 1, kind) >= 0;
}

const HTTP_HEADER *find_line(const HEADER *h, std::string_view name) {
  for (const HTTP_HEADER &line : h->headers)
    if (line.name.size() == name.size() &&
        strncasecmp(line.name.c_str(), name.data(), name.size()) == 0)
      return &line;
  return nullptr;
}

// Whether the body still waits in the client socket rather than in postbody.
bool body_unbuffered(const CONNECTION_T *conn) {
  return (conn->flags & CONN_BIGUPLOAD) || !conn->postbody ||
         (conn->postbody->empty() &&
          http_body_framing(conn, conn->header.get(), TRANSFER_FROM_CLIENT) != BodyFraming::NONE);
}

bool send_request_body(CONNECTION_T *conn) {
  HEADER *req = conn->header.get();
  const BodyFraming framing = http_body_framing(conn, req, TRANSFER_FROM_CLIENT);
  if (framing == BodyFraming::NONE) return true;
  if (!conn->server) return false;
  if (!body_unbuffered(conn)) {
    putlog(LOG_DEBUG | LOG_REQUEST, "%s:%d sending buffered POST body from client to server",
           "protocol_http", __LINE__);
    conn->server->Blocking(true);
    ssize_t sent = net_filebuf_send(conn->postbody.get(), conn, 1);
    putlog(LOG_DEBUG | LOG_REQUEST, "%s:%d sent buffered POST body %zd bytes from client to server",
           "protocol_http", __LINE__, sent);
    return sent >= 0;
  }
  putlog(LOG_DEBUG | LOG_REQUEST,
         "%s:%d starting unbuffered transfer of POST body from client to server",
         "protocol_http", __LINE__);
  bool ok = true;
  if (framing == BodyFraming::CHUNKED && conn->postbody && !conn->postbody->empty())
    ok = net_filebuf_send_chunked_p(conn->postbody.get(), conn, 1) >= 0;
  ok = ok && http_transfer(conn, TRANSFER_FROM_CLIENT);
  putlog(LOG_DEBUG | LOG_REQUEST,
         "%s:%d completed unbuffered transfer of POST body from client to server",
         "protocol_http", __LINE__);
  return ok;
}

enum class Continue { PROCEED, FINAL, NO_ANSWER };

// Whether the server starts to answer within the timeout. A server that ignores Expect stays
// silent; its connection must not be marked dead for that.
bool server_answers(CONNECTION_T *conn, int timeout) {
  Socket *s = conn->server.get();
  if (!s) return false;
  if (s->InputPending() > 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    pollfd p{s->fd(), POLLIN, 0};
    const int ms = left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
    int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0 && left <= 0) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

// Waits for the answer to "Expect: 100-continue". A final answer is the response itself, and
// the body is not sent after it.
Continue await_continue(CONNECTION_T *conn, const HTTP_HEADER &expect, std::string *head) {
  putlog(LOG_DEBUG | LOG_HEADER, "request: %s %s checking for Continue response",
         expect.name.c_str(), expect.value.c_str());
  for (int i = 0; i < HTTP_INTERIM_MAX; i++) {
    if (!server_answers(conn, wait_seconds(conn->timeout)) ||
        !read_response_head(conn, wait_seconds(conn->timeout), head)) {
      putlog(LOG_ERROR | LOG_HEADER,
             "the server did not respond to the Expect: 100-continue in request headers");
      return Continue::NO_ANSWER;
    }
    std::unique_ptr<HEADER> h = http_header_parse_response(*head);
    if (!h || h->version == 0) return Continue::FINAL;  // step 6 turns it away
    if (h->code == 100) {
      putlog(LOG_REQUEST, "got response to the 100 continue request");
      return Continue::PROCEED;
    }
    if (!is_interim(h->code)) return Continue::FINAL;
  }
  return Continue::FINAL;
}

// A stale pooled connection is replaced once by a fresh one, when the request can be sent
// again whole.
bool retry_fresh(CONNECTION_T *conn, bool *retried) {
  if (*retried || !http_reconnect_hook || !conn->client || conn->client->error) return false;
  if (body_unbuffered(conn) &&
      http_body_framing(conn, conn->header.get(), TRANSFER_FROM_CLIENT) != BodyFraming::NONE)
    return false;
  *retried = true;
  conn->flags &= ~CONN_POOLED;
  conn->keepalive_server = 0;
  if (conn->server) net_linger_off(conn->server->fd());
  return http_reconnect_hook(conn) > 0 && conn->server;
}

// Times in Last-Modified are compared as the cache stored them: read as local time.
time_t http_date(const std::string &text) {
  struct tm tm {};
  const char *end = strptime(text.c_str(), "%a, %d %b %Y %T GMT", &tm);
  if (!end) return static_cast<time_t>(-1);
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// Answers the client with a buffered body: the head with its length, then the body.
void send_buffered(CONNECTION_T *conn, const Filebuf &body) {
  HEADER *rh = conn->rheader.get();
  keepalive_check_client(conn);
  rh->content_length = body.length();
  rh->flags |= HDR_LENGTH;
  rh->chunked = 0;
  if (header_send(rh, conn, 0, HEADER_SEND_CLIENT) >= 0 && !body.empty())
    http_send_body(conn, &body);
}

// Head and body framing towards the client for a streamed response.
bool frame_for_client(CONNECTION_T *conn, BodyFraming framing) {
  HEADER *rh = conn->rheader.get();
  if (framing == BodyFraming::CHUNKED) {
    if (client_takes_chunked(conn)) return true;
    rh->chunked = 0;
    rh->flags &= ~HDR_LENGTH;
    conn->keepalive_client = 0;
  } else if (framing == BodyFraming::CLOSE) {
    conn->keepalive_client = 0;
  }
  return false;
}

// A response read into the buffer beyond the download buffer goes on as a stream: the head,
// what was read, then the rest straight from the server.
void stream_after_buffer(CONNECTION_T *conn, BodyFraming framing, const Filebuf &prefix) {
  HEADER *rh = conn->rheader.get();
  conn->flags &= ~CONN_BUFFER;
  putlog(LOG_DEBUG | LOG_REQUEST, "[IP:%s] response exceeds the download buffer: streaming",
         conn->ip.c_str());
  const bool rechunk = frame_for_client(conn, framing);
  if (header_send(rh, conn, 0, HEADER_SEND_CLIENT) < 0) {
    conn->keepalive_server = 0;
    return;
  }
  const ssize_t sent = rechunk ? net_filebuf_send_chunked_p(&prefix, conn, 0)
                               : net_filebuf_send(&prefix, conn, 0);
  if (sent < 0) {
    conn->flags |= CONN_FAILED;
    conn->keepalive_client = conn->keepalive_server = 0;
    return;
  }
  const uint64_t rest = framing == BodyFraming::LENGTH ? rh->content_length - prefix.length() : 0;
  // A chunked client stream whose first part went out as one chunk goes on with the rest.
  body_stream(conn, TRANSFER_FROM_SERVER, framing, rest, rechunk);
}

// Step 14.3: the body read whole, decoded, processed, re-encoded and sent with its length;
// beyond the download buffer it goes on as a stream instead.
void buffered_response(CONNECTION_T *conn, BodyFraming framing, bool from_cache) {
  HEADER *rh = conn->rheader.get();
  const HEADER *req = conn->header.get();
  buffertimeout_set(conn);
  std::unique_ptr<Filebuf> body;
  const std::size_t limit = download_buffer(conn);
  TransferResult r = TRANSFER_DONE;
  if (from_cache && !(conn->flags & CONN_CACHING)) {
    if (cache_ops().read_filebuf) body = cache_ops().read_filebuf(conn->cache);
  } else {
    body = std::make_unique<Filebuf>();
    r = body_read(conn, TRANSFER_FROM_SERVER, framing, rh->content_length, body.get(), limit);
  }
  if (conn->flags & CONN_CLIENT_GONE) {
    log_write(conn, rh->code, conn->downloaded);
    return;
  }
  if (r == TRANSFER_FAILED) {
    // A body cut short must not reach the client as if it were whole.
    bad_gateway(conn);
    return;
  }
  if (r == TRANSFER_FULL) {
    stream_after_buffer(conn, framing, *body);
    log_write(conn, rh->code, conn->downloaded);
    return;
  }
  if (!body || body->empty()) {
    send_buffered(conn, Filebuf());
    log_write(conn, rh->code, 0);
    return;
  }
  bool as_received = false;
  if (!rh->content_encoding.empty()) {
    if (body->Decode(rh->content_encoding.c_str(), limit)) {
      rh->content_encoding.clear();
      html_feed(conn, body->data(), body->length());
    } else {
      as_received = true;  // sent as it came, and never encoded a second time
    }
  }
  html_close(conn);
  if (!as_received) {
    if (hooks.Execute(HOOK_BEFORE_RESPONSE, conn, body.get()) == 1) return;
    if (!process_response(conn, body.get())) {
      log_write(conn, 403, 0);
      return;
    }
    if (hooks.Execute(HOOK_AFTER_RESPONSE, conn, body.get()) == 1) return;
    if (show_page(conn, "raw", body.get()) || show_page(conn, "htmltree", body.get())) {
      log_write(conn, 200, body->length());
      return;
    }
    const int compressout = general_section && general_section->compressout_get(conn) ? 1 : 0;
    body->Encode((conn->flags & CONN_DECODE) != 0,
                 req->accept_encoding.empty() ? nullptr : req->accept_encoding.c_str(), compressout,
                 &rh->content_encoding);
  }
  send_buffered(conn, *body);
  log_write(conn, rh->code, conn->downloaded);
}

// Cached copy in play: the answer to a validation request, or the copy itself.
// Returns true when the copy was confirmed and is to be served (from the stored head).
bool cache_validation(CONNECTION_T *conn) {
  HEADER *rh = conn->rheader.get();
  HttpCacheHooks &c = cache_ops();
  if (!(conn->flags & CONN_VALIDATE)) {
    const time_t mtime = c.get_mtime ? c.get_mtime(conn->cache) : 0;
    if (mtime > 0)
      rh->age = std::to_string(
          static_cast<unsigned>(std::max<time_t>(0, std::time(nullptr) - mtime)));
    if (c.flag_get && (c.flag_get(conn->cache) & HTTP_CACHE_EXPIRED) &&
        !(conn->flags & CONN_VALIDATED))
      rh->warning = "110 stale cache";
    return false;
  }
  putlog(LOG_DEBUG | LOG_CACHE, "validating: server response: %d last modified: %s", rh->code,
         rh->last_modified.empty() ? "NULL" : rh->last_modified.c_str());
  const time_t stored = c.get_lastmodified ? c.get_lastmodified(conn->cache) : 0;
  const bool confirmed =
      rh->code == 304 ||
      (!rh->last_modified.empty() && stored > 0 && http_date(rh->last_modified) == stored);
  const std::string url = conn->header ? conn->header->url : std::string();
  if (confirmed) {
    if (conn->server) net_linger_off(conn->server->fd());
    conn->server.reset();
    conn->keepalive_server = 0;
    log_detail(conn, LOG_CACHE_VALIDATED, -1);
    conn->flags &= ~CONN_VALIDATE;
    conn->flags |= CONN_VALIDATED;
    if (c.validated) c.validated(conn->cache);
    putlog(LOG_DEBUG | LOG_CACHE, "validated: %s", url.c_str());
    stat(conn, HTTP_STAT_CACHEHIT);
    return true;
  }
  stat(conn, HTTP_STAT_CACHEHIT_UNDO);
  stat(conn, HTTP_STAT_CACHEMISS);
  log_detail(conn, LOG_CACHE_FAILED_VALIDATION, -1);
  putlog(LOG_CACHE, "failed validation: %s", url.c_str());
  if (c.invalidate) c.invalidate(conn->cache);
  conn->cache = nullptr;
  conn->flags &= ~CONN_VALIDATE;
  return false;
}

// Step 15: an entry opened for this response but never filled is of no use.
void drop_cache_entry(CONNECTION_T *conn) {
  if (conn->cache && (conn->flags & CONN_CACHING)) {
    if (cache_ops().invalidate) cache_ops().invalidate(conn->cache);
    conn->cache = nullptr;
    conn->flags &= ~CONN_CACHING;
  }
}

// Step 16.
int exchange_done(CONNECTION_T *conn) {
  conn->keepalive_server = 0;
  conn->rheader.reset();
  return 1;
}

}  // namespace

int protocol_http(CONNECTION_T *conn) {
  QM_ASSERT(conn && conn->header, MODULE);
  HEADER *req = conn->header.get();
  HttpCacheHooks &cache = cache_ops();
  bool from_cache = conn->cache && !(conn->flags & CONN_VALIDATE);
  std::string head;
  bool send_head = !from_cache, send_body = !from_cache, retried = false;
  bool body_refused = false;  // a final answer to Expect came before the body was sent
  int interim = 0;

  if (!from_cache) {
    if (!conn->server) return -1;
    if (general_section && general_section->xforwardedfor_get(conn))
      req->x_forwarded_for = conn->ip;
    if (general_section && general_section->via_get(conn)) via_header_update(conn);
  }

  for (;;) {
    bool have_head = false;
    if (from_cache) {
      if (!cache.cachemap_headers || (head = cache.cachemap_headers(conn->cache)).empty())
        return -1;
      have_head = true;
    }
    if (send_head) {
      send_head = false;
      if (!send_request_head(conn)) {
        if ((conn->flags & CONN_POOLED) && retry_fresh(conn, &retried)) {
          send_head = true;
          continue;
        }
        conn->keepalive_server = 0;
        return -1;
      }
      const HTTP_HEADER *expect = find_line(req, "Expect");
      if (expect && http_body_framing(conn, req, TRANSFER_FROM_CLIENT) != BodyFraming::NONE) {
        if (await_continue(conn, *expect, &head) == Continue::FINAL) {
          have_head = true;
          send_body = false;
          // The server may still wait for the body it refused, and a client may still hold
          // it: neither connection can carry another message.
          body_refused = true;
          if (body_unbuffered(conn)) conn->flags |= CONN_FAILED;
        }
      }
    }
    if (!have_head) {
      if (send_body) {
        send_body = false;
        if (!conn->client || conn->client->error) {
          conn->keepalive_client = conn->keepalive_server = 0;
          return -1;
        }
        if (!send_request_body(conn) || !conn->client || conn->client->error) {
          conn->keepalive_server = 0;
          return -1;
        }
      }
      if (!read_response_head(conn, wait_seconds(conn->timeout), &head)) {
        conn->keepalive_server = 0;
        return -1;
      }
    }

    // Step 6: the response head.
    if (head.starts_with("HTTP/") && processors.Has(PROC_RESPONSE_HEADER)) {
      Filebuf text;
      text.Add(head);
      processors.Execute(PROC_RESPONSE_HEADER, conn, &text);
      head.assign(text.view());
    }
    conn->rheader = http_header_parse_response(head);
    if (!conn->rheader) {
      putlog(LOG_ERROR | LOG_HEADER, "[IP:%s] NULL or unparasable response headers from server",
             conn->ip.c_str());
      if (conn->server) conn->server->error = true;
      bad_gateway(conn);
      return exchange_done(conn);
    }
    HEADER *rh = conn->rheader.get();
    if (rh->version == 0 && !from_cache) {
      // Bytes that are not a status line on a reused connection are what is left of an
      // earlier answer, not an HTTP/0.9 body.
      if (conn->flags & CONN_POOLED) {
        putlog(LOG_WARNING | LOG_HEADER, "[IP:%s] pooled connection to %s sent no status line",
               conn->ip.c_str(), req->host.c_str());
        if (conn->server) conn->server->error = true;
        conn->rheader.reset();
        if (retry_fresh(conn, &retried)) {
          send_head = send_body = true;
          continue;
        }
        bad_gateway(conn);
        return exchange_done(conn);
      }
      if (conn->server) conn->server->PushFront(head.data(), head.size());
    }

    // Step 7.
    if (rh->flags & HDR_PRIVATE) {
      conn->tunnel_owner = static_cast<int>(conn->client_id);
      putlog(LOG_DEBUG | LOG_HEADER, "%s:%d connection set to private", "protocol_http", __LINE__);
    }
    rh->host = req->host;
    rh->file = req->file;
    header_variables(conn, "SERVER", rh->headers);
    if (profile_section) profile_section->profiles_update(conn);

    // Step 8.
    for (const char *command : {"cookies", "mimeprofiles", "variables"})
      if (show_page(conn, command, nullptr)) {
        log_write(conn, 200, 0);
        return exchange_done(conn);
      }

    // Step 9.
    keepalive_check_server(conn);
    if (body_refused) conn->keepalive_server = 0;
    if (is_interim(rh->code) && !from_cache) {
      putlog(LOG_DEBUG | LOG_HEADER,
             "%s:%d response headers: status code %d: must get headers again",
             "protocol_http", __LINE__, rh->code);
      conn->rheader.reset();
      if (++interim > HTTP_INTERIM_MAX) {
        bad_gateway(conn);
        return exchange_done(conn);
      }
      continue;  // the next head, nothing sent again
    }

    // Step 10.
    if (rh->code == 407 && conn->proxy_type == PROXY_HTTP && !(conn->flags & CONN_PROXYAUTH) &&
        !from_cache) {
      const bool credentials = !req->proxy_authorization.empty() ||
                               (!conn->proxy_user.empty() && !conn->proxy_password.empty());
      if (credentials && !body_unbuffered(conn) && http_proxy_authenticate_hook &&
          http_proxy_authenticate_hook(conn)) {
        conn->flags |= CONN_PROXYAUTH;
        conn->rheader.reset();
        send_body = true;
        continue;
      }
      rh->proxy_authenticate.clear();
    }

    // Step 11.
    if (!conn->server && !conn->cache) {
      bad_gateway(conn);
      return exchange_done(conn);
    }
    if (conn->cache && cache_validation(conn)) {
      conn->rheader.reset();
      from_cache = true;
      send_head = send_body = false;
      continue;  // step 6 again, with the stored head
    }
    break;
  }

  HEADER *rh = conn->rheader.get();

  // Step 12.
  if (!transfer_limit_check(conn)) return exchange_done(conn);
  if (from_cache) {
    if (!(cache.flag_get && (cache.flag_get(conn->cache) & HTTP_CACHE_WRITING)) &&
        cache.get_cachemap_size) {
      rh->content_length = cache.get_cachemap_size(conn->cache);
      rh->flags |= HDR_LENGTH;
      rh->chunked = 0;
    }
    xcache_header_update(conn, 0);
  } else {
    if (cache.cacheable && cache.cache_open && cache.cacheable(req) && cache.cacheable(rh)) {
      conn->cache = cache.cache_open(conn, req->url.c_str(), head.c_str(), HTTP_CACHE_OPEN_WRITE);
      if (conn->cache) conn->flags |= CONN_CACHING;
    }
    xcache_header_update(conn, 1);
  }
  // Decided here, once the head of a served copy carries the stored body's length.
  const BodyFraming framing = http_body_framing(conn, rh, TRANSFER_FROM_SERVER);

  // Step 13.
  const std::string status_name = std::to_string(rh->code);
  if (template_section && template_section->get(conn, status_name, nullptr)) {
    template_section->send(status_name, conn, rh->code);
    log_write(conn, rh->code, 0);
    drop_cache_entry(conn);
    return exchange_done(conn);
  }

  // Step 14.
  if ((rh->code == 301 || rh->code == 302) && !rh->location.empty()) {
    if (http_redirect_hook) http_redirect_hook(conn);
    if (!conn->url_commands.empty()) rh->location = url_command_add(conn, rh->location);
  }
  if (http_header_filter_hook) http_header_filter_hook(conn, 2);
  if (framing == BodyFraming::NONE) {
    if (rh->code == 101) conn->keepalive_client = 0;  // nothing here speaks what follows
    header_send(rh, conn, 0, HEADER_SEND_CLIENT);
    log_write(conn, rh->code, 0);
    drop_cache_entry(conn);
    return exchange_done(conn);
  }
  for (const char *command : {"mime", "headers"})
    if (show_page(conn, command, nullptr)) {
      log_write(conn, 200, 0);
      drop_cache_entry(conn);
      return exchange_done(conn);
    }
  if (http_mime_filter_hook && !http_mime_filter_hook(conn)) {
    log_write(conn, 403, 0);
    drop_cache_entry(conn);
    return exchange_done(conn);
  }

  putlog(LOG_REQUEST, "%s %s", req->method.c_str(), req->url.c_str());
  stat(conn, HTTP_STAT_HTTPREQUEST);
  if ((conn->flags & CONN_PROCESS) && buffer_check(conn)) {
    conn->flags |= CONN_BUFFER;
    if (from_cache) {
      if (cache.flag_set) cache.flag_set(conn->cache, HTTP_CACHE_BUFFERWAIT);
    } else if (!conn->cache && cache.cache_open) {
      conn->cache =
          cache.cache_open(conn, req->url.c_str(), head.c_str(), HTTP_CACHE_OPEN_TEMPORARY);
      if (conn->cache) conn->flags |= CONN_CACHING;
    }
  }
  putlog(LOG_DEBUG | LOG_REQUEST, "[IP:%s] buffering: %s processing: %s", conn->ip.c_str(),
         (conn->flags & CONN_BUFFER) ? "TRUE" : "FALSE",
         (conn->flags & CONN_PROCESS) ? "TRUE" : "FALSE");

  if (conn->flags & CONN_BUFFER) {
    buffered_response(conn, framing, from_cache);
  } else {
    const bool rechunk = frame_for_client(conn, framing);
    if (header_send(rh, conn, 0, HEADER_SEND_CLIENT, true) < 0) {
      conn->keepalive_server = 0;
    } else if (!from_cache || (conn->flags & CONN_CACHING)) {
      body_stream(conn, TRANSFER_FROM_SERVER, framing, rh->content_length, rechunk);
    } else if (cache.send) {
      cache.send(conn->cache, conn, 0);
    }
    // The head waited for the body; an empty or failed body still owes it.
    if (conn->client && !conn->client->error) conn->client->Flush();
    log_write(conn, rh->code, conn->downloaded);
  }
  conn->rheader.reset();
  return 1;
}
