#include "protocol.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "accesslog.h"
#include "compat.h"
#include "dns.h"
#include "filebuf.h"
#include "forward.h"
#include "header.h"
#include "log.h"
#include "main.h"
#include "network.h"
#include "serverpool.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t RELAY_BLOCK_FALLBACK = 8192;
inline constexpr const char *CONNECT_ESTABLISHED = "HTTP/1.1 200 Connection Established\r\n\r\n";

bool istarts(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ::strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

bool is_2xx(const HEADER &r) { return r.version > 0 && r.code >= 200 && r.code < 300; }

bool client_failed(const CONNECTION_T &c) {
  return (c.flags & CONN_CLIENT_GONE) || !c.client || c.client->error;
}

bool has_body(const HEADER &h) {
  return h.chunked || ((h.flags & HDR_LENGTH) && h.content_length > 0);
}

// Nothing of the request body is lost by sending the request again: it has none, or it is
// held whole in postbody.
bool body_at_hand(const CONNECTION_T &c) {
  const HEADER *h = c.header.get();
  if (!h || !has_body(*h)) return true;
  if (h->chunked || (c.flags & CONN_BIGUPLOAD)) return false;
  return c.postbody && c.postbody->length() == h->content_length;
}

bool via_parent(const CONNECTION_T &c) {
  return c.proxy_type != PROXY_DIRECT && !c.proxy_host.empty();
}

bool via_http_parent(const CONNECTION_T &c) {
  return c.proxy_type == PROXY_HTTP && !c.proxy_host.empty();
}

int request_kind(const CONNECTION_T &c) {
  return via_http_parent(c) ? HEADER_SEND_PARENT : HEADER_SEND_SERVER;
}

void server_destroy(CONNECTION_T *c) {
  if (!c->server) return;
  net_linger_off(c->server->fd());
  c->server.reset();
}

void set_log_peer(CONNECTION_T *c) {
  const bool parent_logged = c->proxy_type == PROXY_HTTP || c->proxy_type == PROXY_SOCKS4 ||
                             c->proxy_type == PROXY_TUNNEL;
  if (parent_logged && !c->proxy_host.empty()) {
    c->log_entry.peerhost = c->proxy_host;
  } else {
    c->log_entry.peerhost = c->header->host;
    c->log_entry.set_peercode(PEERCODE_DIRECT);
  }
}

void log_write(const CONNECTION_T &c) {
  c.log_entry.Write();
  c.log_entry.apache_Write();
}

// Takes an idle connection for the request from the server pool; its descriptor or -1.
int take_pooled(CONNECTION_T *c) {
  if (!server_pool) return -1;
  const HEADER &h = *c->header;
  const bool body = has_body(h);
  if (!(h.flags & HDR_PRIVATE) && (h.type == HEADER_CONNECT || body)) {
    if (body && h.type != HEADER_CONNECT)
      putlog(LOG_DEBUG | LOG_NETWORK, "not reusing %s outbound connection from pool for POST",
             h.host.c_str());
    return -1;
  }
  // The pool hands out only connections that are quiet and writable.
  std::unique_ptr<Socket> s = server_pool->Find(serverpool_key(*c));
  if (!s) return -1;
  const bool mine = c->tunnel_owner >= 0 && static_cast<unsigned>(c->tunnel_owner) == c->client_id;
  c->server = std::move(s);
  c->flags |= CONN_POOLED;
  c->keepalive_server = 1;
  if (mine) server_pool->CloseMyTunnel(c->client_id);
  putlog(LOG_DEBUG | LOG_NETWORK, "reusing a %s socket from connection pool%s",
         mine ? "private" : "common", body ? " for POST" : "");
  return c->server->fd();
}

int connect_to(CONNECTION_T *c, const std::string &host, int port) {
  const in_addr local = network_section ? network_section->interface_select(*c)
                                        : in_addr{htonl(INADDR_ANY)};
  int fd = net_connect(host.c_str(), port, local, c->ctimeout);
  if (fd < 0) return fd;
  c->server = std::make_unique<Socket>(fd);
  if (c->timeout > 0) c->server->Set_io_timeout(std::chrono::seconds(c->timeout));
  return fd;
}

// A new connection along the route; the descriptor or a negative code.
int open_new(CONNECTION_T *c) {
  const HEADER &h = *c->header;
  const char *ip = c->ip.c_str();
  const int type = via_parent(*c) ? c->proxy_type : PROXY_DIRECT;
  const char *phost = c->proxy_host.c_str();
  const int pport = c->proxy_port;
  switch (type) {
    case PROXY_HTTP: {
      int fd = connect_to(c, c->proxy_host, pport);
      if (fd < 0) putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s]connection to proxy server failed", ip);
      return fd;
    }
    case PROXY_SOCKS4:
    case PROXY_SOCKS5: {
      const char *name = type == PROXY_SOCKS4 ? "socks4" : "socks5";
      int fd = connect_to(c, c->proxy_host, pport);
      if (fd < 0) {
        putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] connection failed to %s server: %s:%d", ip, name,
               phost, pport);
        return fd;
      }
      if ((type == PROXY_SOCKS4 ? proxy_socks4(c) : proxy_socks5(c)) != 1) {
        putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] %s protocol failed: server: %s:%d", ip, name,
               phost, pport);
        server_destroy(c);
        return PROTOCOL_HANDSHAKE_FAILED;
      }
      return fd;
    }
    case PROXY_TUNNEL: {
      int fd = connect_to(c, c->proxy_host, pport);
      if (fd < 0) {
        putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] connection failed to proxy server: %s:%d", ip,
               phost, pport);
        return fd;
      }
      if (proxy_connect(c) != 1) {
        putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] proxy protocol failed: server: %s:%d", ip, phost,
               pport);
        server_destroy(c);
        return PROTOCOL_HANDSHAKE_FAILED;
      }
      return fd;
    }
    default: {
      int fd = connect_to(c, h.host, h.port);
      if (fd >= 0)
        putlog(LOG_DEBUG | LOG_NETWORK, "[IP:%s] net_connect %s: server: %s:%d fd:%d", ip,
               "successful", h.host.c_str(), h.port, fd);
      else
        putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] net_connect %s: server: %s:%d fd:%d", ip, "failed",
               h.host.c_str(), h.port, fd);
      return fd;
    }
  }
}

int start_server(CONNECTION_T *c, bool may_pool) {
  if (!c->header) return NET_CONNECT_BADARG;
  c->keepalive_server = 1;
  set_log_peer(c);
  if (may_pool) {
    int fd = take_pooled(c);
    if (fd >= 0) return fd;
  }
  int r = open_new(c);
  if (r < 0) {
    c->server.reset();
    c->keepalive_server = 0;
    return r;
  }
  if (server_pool) server_pool->CloseMyTunnel(c->client_id);
  // A connection taken from the pool under a TLS key already carries its session.
  if ((c->flags & CONN_SSL) && !c->server->tls() &&
      !c->server->Encrypt(1, c->header->host.c_str())) {
    putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] TLS handshake failed: server: %s:%d", c->ip.c_str(),
           c->header->host.c_str(), c->header->port);
    server_destroy(c);
    c->keepalive_server = 0;
    return PROTOCOL_HANDSHAKE_FAILED;
  }
  return c->server->fd();
}

// Whether the server keeps the connection open after this response.
bool response_keeps_connection(const HEADER &r) {
  if (r.keep_alive == 0 || r.proxy_keep_alive == 0) return false;
  return r.version >= 2 || r.keep_alive == 1 || r.proxy_keep_alive == 1;
}

// Reads and drops the body of a response whose length is known and small.
bool discard_body(CONNECTION_T *c, const HEADER &r) {
  if (r.chunked || !(r.flags & HDR_LENGTH) || r.content_length > PROXY_AUTH_BODY_MAX) return false;
  std::size_t left = static_cast<std::size_t>(r.content_length);
  std::vector<char> sink(std::min<std::size_t>(left, RELAY_BLOCK_FALLBACK) + 1);
  const int wait = c->timeout > 0 ? c->timeout : -1;
  while (left > 0) {
    ssize_t n = c->server->Read(sink.data(), static_cast<ssize_t>(std::min(left, sink.size())), wait);
    if (n <= 0) return false;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Puts conn->header back and drops the response of a parent exchange on every path.
class HeadSwap {
 public:
  HeadSwap(CONNECTION_T *c, std::unique_ptr<HEADER> replacement) : c_(c) {
    saved_ = std::exchange(c_->header, std::move(replacement));
  }
  ~HeadSwap() {
    c_->header = std::move(saved_);
    c_->rheader.reset();
  }
  HeadSwap(const HeadSwap &) = delete;
  HeadSwap &operator=(const HeadSwap &) = delete;

 private:
  CONNECTION_T *c_;
  std::unique_ptr<HEADER> saved_;
};

// Sends conn->header to the HTTP parent in `server` as a CONNECT and reads the answer,
// answering one 407. True when the parent opened the tunnel (2xx).
bool parent_tunnel(CONNECTION_T *c, int wait, const char *challenged_text) {
  if (header_send(c->header.get(), c, 1, HEADER_SEND_PARENT) < 0) return false;
  for (;;) {
    std::string text;
    if (header_get(c, 1, wait, &text) != HEADER_OK) return false;
    c->rheader = http_header_parse_response(text);
    if (!c->rheader) return false;
    if (is_2xx(*c->rheader)) return true;
    if (c->rheader->code != 407 || (c->flags & CONN_PROXYAUTH) || !proxy_authenticate(c))
      return false;
    putlog(LOG_DEBUG | LOG_REQUEST, challenged_text, c->ip.c_str(), c->header->host.c_str(),
           c->header->port);
    c->flags |= CONN_PROXYAUTH;
  }
}

}  // namespace

int protocol_start(CONNECTION_T *conn) { return start_server(conn, true); }

int protocol_reconnect(CONNECTION_T *conn) {
  server_destroy(conn);
  if (conn->client) conn->client->Flush();
  return start_server(conn, false);
}

std::optional<std::string> header_get_reconnect(CONNECTION_T *conn, int timeout) {
  const std::string host = conn->header ? conn->header->host : std::string("server");
  putlog(LOG_DEBUG | LOG_HEADER, "%s:%d getting headers from server %s timeout: %d",
         "header_get_reconnect", __LINE__, host.c_str(), timeout);
  std::string head;
  HeaderResult r = header_get(conn, 1, timeout, &head);
  if (r == HEADER_OK) {
    putlog(LOG_DEBUG | LOG_HEADER, "from server: %s:\n%s", host.c_str(), head.c_str());
    return head;
  }
  if (client_failed(*conn)) return std::nullopt;
  if (conn->server) net_linger_off(conn->server->fd());

  auto give_up = [&](bool purge) {
    conn->keepalive_server = 0;
    conn->keepalive_client = 0;
    conn->log_entry.set_cachecode(CACHECODE_TCP_CONNECTION_FAILED);
    conn->log_entry.status = 502;
    if (purge) net_dns_purge(host.c_str());
    return std::nullopt;
  };

  // Only a reused connection that the server closed before answering proves that the request
  // was not processed; a silent or slow server may be working on it.
  const bool stale_pooled = r == HEADER_CLOSED && (conn->flags & CONN_POOLED) && conn->header;
  if (!stale_pooled || !body_at_hand(*conn)) {
    if (r == HEADER_CLOSED && (conn->flags & CONN_BIGUPLOAD))
      putlog(LOG_WARNING | LOG_REQUEST, "[IP:%s] server: %s dropped connection during direct POST",
             conn->ip.c_str(), host.c_str());
    else if (r == HEADER_CLOSED || r == HEADER_TIMEOUT)
      putlog(LOG_ERROR | LOG_HEADER, "%s:%d got empty headers from SERVER: %s",
             "header_get_reconnect", __LINE__, host.c_str());
    else
      putlog(LOG_ERROR | LOG_HEADER, "%s:%d %s from SERVER: %s", "header_get_reconnect", __LINE__,
             header_result_text(r), host.c_str());
    return give_up(r == HEADER_CLOSED || r == HEADER_TIMEOUT);
  }

  net_dns_purge(host.c_str());
  conn->header->keep_alive = 0;
  conn->keepalive_server = 0;
  // A failed send on the discarded connection says nothing about the new one.
  conn->flags &= ~static_cast<uint32_t>(CONN_POOLED | CONN_FAILED);
  int code = protocol_reconnect(conn);
  if (code < 0) {
    conn->keepalive_client = 0;
    if (template_section) template_section->send(error_to_template(code), conn, 503);
    conn->log_entry.set_cachecode(CACHECODE_TCP_CONNECTION_FAILED);
    conn->log_entry.status = 503;
    conn->keepalive_server = 0;
    return std::nullopt;
  }
  putlog(LOG_WARNING | LOG_HEADER, "%s:%d resending headers to SERVER: %s", "header_get_reconnect",
         __LINE__, host.c_str());
  if (header_send(conn->header.get(), conn, 1, request_kind(*conn)) >= 0 &&
      (conn->header->flags & HDR_LENGTH) && conn->postbody && !conn->postbody->empty())
    conn->server->WriteFilebuf(*conn->postbody);
  std::size_t unsent = 0;
  if (conn->server && net_get_unsent(conn->server->fd(), &unsent) > 0)
    putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d unsent: %lu", "header_get_reconnect", __LINE__,
           static_cast<unsigned long>(unsent));

  r = header_get(conn, 1, timeout, &head);
  if (r == HEADER_OK) {
    putlog(LOG_DEBUG | LOG_HEADER, "retry successful from server %s:\n%s", host.c_str(),
           head.c_str());
    return head;
  }
  putlog(LOG_ERROR | LOG_HEADER, "%s:%d retry failed: got empty headers from SERVER: %s",
         "header_get_reconnect", __LINE__, host.c_str());
  if (conn->server) net_linger_off(conn->server->fd());
  return give_up(!client_failed(*conn));
}

int proxy_connect(CONNECTION_T *conn) {
  if (!conn->header || !conn->server) return PROTOCOL_HANDSHAKE_FAILED;
  auto tunnel = header_new();
  tunnel->type = HEADER_CONNECT;
  tunnel->version = 2;
  tunnel->method = "CONNECT";
  tunnel->proto = "connect";
  tunnel->host = conn->header->host;
  tunnel->port = conn->header->port;
  tunnel->file = "/";
  tunnel->url = tunnel->host + ":" + std::to_string(tunnel->port);
  HeadSwap swap(conn, std::move(tunnel));
  return parent_tunnel(conn, conn->timeout,
                       "[IP:%s]authentication required by proxy server for CONNECT to %s:%d")
             ? 1
             : PROTOCOL_HANDSHAKE_FAILED;
}

bool proxy_authenticate(CONNECTION_T *conn) {
  const HEADER *r = conn->rheader.get();
  if (!r || !conn->header || !conn->server) return false;
  const std::string &challenge = r->proxy_authenticate;
  if (istarts(challenge, "NTLM")) {
    putlog(LOG_FORWARD, "[IP:%s] got NTLM header", conn->ip.c_str());
    return false;  // the NTLM exchange towards parents is not available
  }
  if (!istarts(challenge, "Basic")) return false;
  if (conn->proxy_user.empty() || conn->proxy_password.empty()) return false;
  if (!response_keeps_connection(*r) || !discard_body(conn, *r)) return false;
  conn->proxy_authorization =
      "Basic " + base64_encode(conn->proxy_user + ":" + conn->proxy_password);
  return header_send(conn->header.get(), conn, 1, HEADER_SEND_PARENT) >= 0;
}

int protocol_connect(CONNECTION_T *conn) {
  const HEADER &h = *conn->header;
  const char *ip = conn->ip.c_str();
  putlog(LOG_REQUEST, "CONNECT [IP:%s] %s:%d", ip, h.host.c_str(), h.port);
  statincr_connectrequests(conn->user_stats.get());

  bool open = conn->server != nullptr;
  if (open && via_http_parent(*conn)) {
    const int wait = conn->ctimeout > 0 ? conn->ctimeout : -1;
    open = parent_tunnel(conn, wait,
                         "[IP:%s] authentication required by server for CONNECT to %s:%d");
    conn->rheader.reset();
    if (!open) {
      putlog(LOG_ERROR | LOG_REQUEST, "[IP:%s] failed CONNECT to %s:%d", ip, h.host.c_str(), h.port);
      // A 2xx would tell the client that its tunnel is open.
      if (template_section) template_section->send("noconnect", conn, 503);
      conn->log_entry.set_cachecode(CACHECODE_TCP_CONNECTION_FAILED);
      conn->log_entry.status = 503;
    }
  }
  if (open && conn->client) {
    const std::string_view ok = CONNECT_ESTABLISHED;
    if (conn->client->Write(ok.data(), static_cast<ssize_t>(ok.size())) != SOCK_ERROR &&
        conn->client->Flush()) {
      conn->log_entry.status = 200;
      putlog(LOG_DEBUG | LOG_REQUEST, "[IP:%s] established CONNECT to %s:%d", ip, h.host.c_str(),
             h.port);
      int64_t relayed = net_proxy(conn, -1);
      if (relayed > 0) conn->log_entry.size = static_cast<uint64_t>(relayed);
    }
  }
  conn->keepalive_client = 0;
  conn->keepalive_server = 0;
  conn->rheader.reset();
  log_write(*conn);
  return 0;
}

int64_t net_proxy(CONNECTION_T *conn, int64_t limit) {
  Socket *client = conn->client.get();
  Socket *server = conn->server.get();
  if (!client || !server) return 0;
  client->Blocking(true);
  server->Blocking(true);
  std::vector<char> block(BLOCKSIZE > 0 ? static_cast<std::size_t>(BLOCKSIZE) : RELAY_BLOCK_FALLBACK);

  struct Direction {
    Socket *from, *to;
    const char *lost;
    bool ended = false;
  };
  Direction dirs[2] = {
      {client, server, "[IP: %s] active client socket lost while trying to make a connection"},
      {server, client, "[IP: %s] active outgoing socket lost while trying to make a connection"},
  };
  int64_t total = 0;
  bool stop = false;
  // A reset either side shows in the poll and the read that follows it: no probe per round.
  while (!stop) {
    if (client->InputPending() == 0 && (client->error || server->error)) break;
    if (dirs[0].ended && dirs[1].ended) break;
    if (limit >= 0 && total >= limit) break;

    pollfd fds[2];
    bool buffered = false;
    for (int i = 0; i < 2; ++i) {
      // An ended source is no longer polled: its hang-up would be reported on every call.
      fds[i] = {dirs[i].ended ? -1 : dirs[i].from->fd(), POLLIN, 0};
      buffered |= !dirs[i].ended && dirs[i].from->InputPending() > 0;
    }
    int pr = ::poll(fds, 2, buffered ? 0 : -1);
    if (pr < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2 && !stop; ++i) {
      Direction &d = dirs[i];
      if (d.ended || !(d.from->InputPending() > 0 || fds[i].revents)) continue;
      std::size_t want = block.size();
      if (limit >= 0) want = std::min<std::size_t>(want, static_cast<std::size_t>(limit - total));
      if (want == 0) break;
      ssize_t n = d.from->Read(block.data(), static_cast<ssize_t>(want), 0);
      if (n > 0) {
        total += n;
        if (d.to->Write(block.data(), n) == SOCK_ERROR) stop = true;
      } else if (n == 0) {
        // Half-close: the other side learns that no more bytes come this way.
        d.ended = true;
        if (d.to->Flush() && !d.to->tls()) ::shutdown(d.to->fd(), SHUT_WR);
      } else if (errno != ETIMEDOUT && errno != EAGAIN && errno != EWOULDBLOCK) {
        d.from->error = true;
        putlog(LOG_ERROR | LOG_NETWORK, d.lost, conn->ip.c_str());
        stop = true;
      }
    }
  }
  client->Flush();
  server->Flush();
  return total;
}
