#include "transfer.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filebuf.h"
#include "log.h"
#include "main.h"
#include "network.h"
#include "socket.h"

int (*transfer_cache_readers_hook)(CACHEMAP *entry) = nullptr;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t DEFAULT_BLOCK = 8192;
constexpr int DEFAULT_IDLE_SECONDS = 60;

std::size_t block_size() {
  return BLOCKSIZE > 0 ? static_cast<std::size_t>(BLOCKSIZE) : DEFAULT_BLOCK;
}

Socket *source_of(CONNECTION_T *conn, int side) {
  return side == TRANSFER_FROM_SERVER ? conn->server.get() : conn->client.get();
}

// The socket on the far side of the source: the destination of a forwarding transfer.
Socket *other_of(CONNECTION_T *conn, int side) {
  if (side == TRANSFER_FROM_SERVER)
    return (conn->flags & CONN_CLIENT_GONE) ? nullptr : conn->client.get();
  return conn->server.get();
}

std::string server_name(const CONNECTION_T *conn) {
  return conn->header && !conn->header->host.empty() ? conn->header->host : "server";
}

std::string client_name(const CONNECTION_T *conn) {
  return conn->ip.empty() ? "client" : conn->ip;
}

void clear_keepalive(CONNECTION_T *conn, int side) {
  (side == TRANSFER_FROM_SERVER ? conn->keepalive_server : conn->keepalive_client) = 0;
}

Clock::duration idle_limit(int seconds) {
  if (seconds <= 0) seconds = DEFAULT_IDLE_SECONDS;
  return std::chrono::seconds(std::min(seconds, INT_MAX / 1000));
}

int ms_until(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
}

bool debug_wanted() { return !putlog_drops(LOG_DEBUG | LOG_NETWORK); }

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

enum class Stop {
  COMPLETE,      // count reached, or an open-ended source closed
  FULL,          // the buffer limit was reached
  SOURCE_ENDED,  // a counted source closed early
  SOURCE_FAILED,
  IDLE,
  OTHER_GONE,
  WRITE_FAILED,
  CANCELLED,     // a read callback refused the data
  POLL_FAILED,
};

// One body movement: the source of `side` is read in blocks; each block is written to the
// other socket (forward), appended to `out`, or dropped.
struct Pump {
  CONNECTION_T *conn;
  int side;
  int64_t size;
  bool forward;
  Filebuf *out;
  std::size_t limit;
  int64_t moved = 0;
};

// A response that other requests read from the cache as it arrives keeps downloading when
// its own client leaves.
bool continue_without_client(Pump &p) {
  CONNECTION_T *conn = p.conn;
  if (!p.forward || p.side != TRANSFER_FROM_SERVER || !(conn->flags & CONN_CACHING) ||
      !conn->cache || !transfer_cache_readers_hook || transfer_cache_readers_hook(conn->cache) < 2)
    return false;
  putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] cache: allowing transfer with no client to continue",
         conn->ip.c_str());
  conn->client.reset();
  conn->flags |= CONN_CLIENT_GONE;
  return true;
}

// Input, error or hang-up on the watched socket. Input is read ahead into its buffer (a
// client's next request); false when the socket has gone.
bool watch_other(Pump &p, Socket *other, short revents) {
  CONNECTION_T *conn = p.conn;
  if (revents & POLLIN) {
    ssize_t n = other->Read(nullptr, SOCK_FILL, 0);
    if (n > 0 || n == SOCK_WOULDBLOCK || (n == SOCK_ERROR && errno == ETIMEDOUT)) return true;
  } else if (!(revents & (POLLERR | POLLHUP | POLLNVAL))) {
    return true;
  }
  const std::string from = p.side == TRANSFER_FROM_SERVER ? server_name(conn) : client_name(conn);
  const std::string gone = p.side == TRANSFER_FROM_SERVER ? client_name(conn) : server_name(conn);
  putlog(LOG_ERROR | LOG_NETWORK, "read:%s %s closed while transferring data from %s",
         conn->ip.c_str(), gone.c_str(), from.c_str());
  other->error = true;
  conn->keepalive_client = 0;
  conn->keepalive_server = 0;
  return false;
}

Stop pump_run(Pump &p) {
  CONNECTION_T *conn = p.conn;
  Socket *src = source_of(conn, p.side);
  if (!src || src->fd() < 0) return Stop::SOURCE_FAILED;
  const bool counted = p.size >= 0;
  const Clock::duration idle = idle_limit(counted ? conn->ctimeout : conn->timeout);
  const std::size_t block = block_size();
  // One block per thread, kept across calls: a chunked body makes one call per chunk.
  thread_local std::vector<char> scratch;
  if ((p.forward || !p.out) && scratch.size() < block) scratch.resize(block);

  src->Blocking(false);  // reads come after a poll and must never wait on their own
  Clock::time_point deadline = Clock::now() + idle;
  Stop stop = Stop::COMPLETE;
  while (!counted || p.moved < p.size) {
    Socket *other = other_of(conn, p.side);
    const bool buffered = src->InputPending() > 0;
    // Output still pending leaves before a wait; with input in hand it leaves with that.
    if (p.forward && !buffered && other && !other->error && other->OutputPending() > 0 &&
        other->Write(nullptr, SOCK_PENDING) < 0)
      other->error = true;

    const bool any_error = src->error || (other && other->error);
    pollfd fds[2] = {{src->fd(), POLLIN, 0}, {-1, 0, 0}};
    if (other && !other->error && other->fd() >= 0)
      fds[1] = {other->fd(),
                short(other->InputPending() < TRANSFER_PEER_INPUT_MAX ? POLLIN : 0), 0};
    // Bytes already in hand go first; the other side is watched on the round after them.
    const int wait = buffered || any_error ? 0 : ms_until(deadline);
    int pr = buffered && !any_error ? 0 : ::poll(fds, 2, wait);
    if (pr < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] poll failed during transfer: %s", conn->ip.c_str(),
             std::strerror(err));
      stop = Stop::POLL_FAILED;
      break;
    }

    if (fds[1].fd >= 0 && fds[1].revents && !watch_other(p, other, fds[1].revents)) {
      if (!continue_without_client(p)) {
        stop = Stop::OTHER_GONE;
        break;
      }
      other = nullptr;  // destroyed: the download goes on into the cache alone
    }

    if (!buffered && fds[0].revents == 0) {
      if (fds[1].revents && Clock::now() < deadline) continue;
      // Silence for the whole idle limit (or at once when a socket already failed).
      if (other && !other->error && net_get_error(other->fd(), "net_transfer", __LINE__)) {
        other->error = true;
        if (counted)
          putlog(LOG_ERROR | LOG_NETWORK, "read:%s %s closed while transferring data from %s",
                 conn->ip.c_str(), p.side ? client_name(conn).c_str() : server_name(conn).c_str(),
                 p.side ? server_name(conn).c_str() : client_name(conn).c_str());
      }
      if (!src->error && net_get_error(src->fd(), "net_transfer", __LINE__)) {
        src->error = true;
        if (counted)
          putlog(LOG_ERROR | LOG_NETWORK, "read:%s %s closed while transferring data to %s",
                 conn->ip.c_str(), p.side ? server_name(conn).c_str() : client_name(conn).c_str(),
                 p.side ? client_name(conn).c_str() : server_name(conn).c_str());
      }
      stop = Stop::IDLE;
      break;
    }

    std::size_t want = block;
    if (counted)
      want = static_cast<std::size_t>(std::min<int64_t>(int64_t(want), p.size - p.moved));
    char *dst = nullptr;
    std::size_t old_len = 0;
    if (p.out && !p.forward) {
      old_len = p.out->length();
      if (old_len >= p.limit) {
        stop = Stop::FULL;
        break;
      }
      want = std::min(want, p.limit - old_len);
      p.out->Resize(old_len + want);  // read straight into the buffer: no second copy
      dst = p.out->data() + old_len;
    } else {
      dst = scratch.data();
    }
    ssize_t got = src->Read(dst, static_cast<ssize_t>(want));
    if (p.out && !p.forward) p.out->Resize(old_len + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got == SOCK_WOULDBLOCK) continue;
    if (got == 0 || got < 0) {
      if (got < 0 && errno == ECANCELED) {
        stop = Stop::CANCELLED;
        break;
      }
      clear_keepalive(conn, p.side);
      if (got == 0 && !counted) {
        stop = Stop::COMPLETE;
        break;
      }
      src->error = true;
      putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] %s closed while transferring data to %s",
             conn->ip.c_str(), p.side ? server_name(conn).c_str() : client_name(conn).c_str(),
             p.side ? client_name(conn).c_str() : server_name(conn).c_str());
      stop = got == 0 ? Stop::SOURCE_ENDED : Stop::SOURCE_FAILED;
      break;
    }
    p.moved += got;
    deadline = Clock::now() + idle;
    if (p.forward) {
      Socket *d = other_of(conn, p.side);
      if (d && !d->error && d->Write(dst, got) < 0) {
        const std::string to = p.side ? client_name(conn) : server_name(conn);
        putlog(LOG_ERROR | LOG_NETWORK, "write:%s net_transfer failed send to: %s",
               conn->ip.c_str(), to.c_str());
        d->error = true;
        clear_keepalive(conn, p.side ? TRANSFER_FROM_CLIENT : TRANSFER_FROM_SERVER);
        if (!continue_without_client(p)) {
          stop = Stop::WRITE_FAILED;
          break;
        }
      }
    }
  }
  src->Blocking(true);
  return stop;
}

// Failure accounting shared by the readers: a counted body short of its count, or an
// open-ended one that did not end with its source closing, is a failed transfer.
bool pump_failed(const Pump &p, Stop stop) {
  if (stop == Stop::FULL) return false;
  if (p.size >= 0) return p.moved < p.size;
  return stop != Stop::COMPLETE;
}

}  // namespace

int64_t net_transfer(CONNECTION_T *conn, int side, int64_t size) {
  QM_ASSERT(conn, "src/transfer");
  // Names are built only when the lines are wanted: a chunked body calls this per chunk.
  const bool debug = debug_wanted();
  const std::string from = debug ? (side ? server_name(conn) : client_name(conn)) : "";
  const std::string to = debug ? (side ? client_name(conn) : server_name(conn)) : "";
  if (debug)
    putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d %lld bytes from %s to %s", "net_transfer", __LINE__,
           static_cast<long long>(size), from.c_str(), to.c_str());
  const Clock::time_point start = Clock::now();
  Pump p{conn, side, size, true, nullptr, SIZE_MAX};
  const Stop stop = pump_run(p);
  if (Socket *d = other_of(conn, side)) {
    d->Blocking(true);
    if (!d->error && !d->Flush()) {
      d->error = true;
      clear_keepalive(conn, side ? TRANSFER_FROM_CLIENT : TRANSFER_FROM_SERVER);
      if (side == TRANSFER_FROM_CLIENT) conn->flags |= CONN_FAILED;  // the server lacks the body
    }
  }
  if (pump_failed(p, stop)) {
    // What is left of the body makes both streams unusable for another message.
    putlog(LOG_ERROR | LOG_NETWORK, "[IP: %s] transfer failed", conn->ip.c_str());
    conn->flags |= CONN_FAILED;
    conn->keepalive_client = conn->keepalive_server = 0;
  }
  if (debug)
    putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d %lld bytes in %ld msecs from %s to %s",
           "net_transfer", __LINE__, static_cast<long long>(p.moved), elapsed_ms(start),
           from.c_str(), to.c_str());
  return p.moved;
}

TransferResult net_filebuf_read(Filebuf *out, CONNECTION_T *conn, int side, int64_t size,
                                std::size_t limit) {
  QM_ASSERT(conn, "src/transfer");
  const bool debug = debug_wanted();
  const char *to = out ? "buffer" : "nowhere";
  if (debug)
    putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d %lld bytes from %s to %s", "net_filebuf_read",
           __LINE__, static_cast<long long>(size),
           (side ? server_name(conn) : client_name(conn)).c_str(), to);
  const Clock::time_point start = Clock::now();
  Pump p{conn, side, size, false, out, out ? limit : SIZE_MAX};
  const Stop stop = pump_run(p);
  if (debug)
    putlog(LOG_DEBUG | LOG_NETWORK, "%s:%d %zu bytes in %ld msecs from %s to %s",
           "net_filebuf_read", __LINE__, out ? out->length() : std::size_t{0}, elapsed_ms(start),
           (side ? server_name(conn) : client_name(conn)).c_str(), to);
  if (pump_failed(p, stop)) {
    const std::string from = side ? server_name(conn) : client_name(conn);
    if (size >= 0)
      putlog(LOG_ERROR | LOG_NETWORK, "[IP:%s] %s connection dropped: %lld bytes unread",
             conn->ip.c_str(), from.c_str(), static_cast<long long>(size - p.moved));
    conn->flags |= CONN_FAILED;
    conn->keepalive_client = conn->keepalive_server = 0;
    return TRANSFER_FAILED;
  }
  return stop == Stop::FULL ? TRANSFER_FULL : TRANSFER_DONE;
}

namespace {

// The socket a buffer goes to; null when it is missing. *gone: the client has left and the
// bytes count as delivered.
Socket *send_target(CONNECTION_T *conn, int dest, bool *gone) {
  *gone = dest == 0 && (conn->flags & CONN_CLIENT_GONE);
  if (*gone) return nullptr;
  Socket *s = dest == 1 ? conn->server.get() : conn->client.get();
  if (s) s->Blocking(dest == 1);
  return s;
}

bool write_all(Socket *s, const char *data, std::size_t n) {
  const std::size_t unit = std::max(TRANSFER_WRITE_UNIT, block_size());
  for (std::size_t done = 0; done < n;) {
    const std::size_t piece = std::min(unit, n - done);
    if (s->Write(data + done, static_cast<ssize_t>(piece)) < 0) return false;
    done += piece;
  }
  return true;
}

}  // namespace

ssize_t net_filebuf_send(const Filebuf *buf, CONNECTION_T *conn, int dest) {
  QM_ASSERT(buf && conn, "src/transfer");
  bool gone = false;
  Socket *s = send_target(conn, dest, &gone);
  if (gone) return static_cast<ssize_t>(buf->length());
  if (!s) return -1;
  const bool ok = write_all(s, buf->data(), buf->length()) && s->Flush();
  if (!ok) {
    s->error = true;
    return -1;
  }
  return static_cast<ssize_t>(buf->length());
}

ssize_t net_filebuf_send_chunked_p(const Filebuf *buf, CONNECTION_T *conn, int dest) {
  QM_ASSERT(buf && conn, "src/transfer");
  bool gone = false;
  Socket *s = send_target(conn, dest, &gone);
  if (gone) return static_cast<ssize_t>(buf->length());
  if (!s) return -1;
  const std::size_t block = block_size();
  const char *data = buf->data();
  std::size_t sent = 0;
  bool ok = true;
  // The line ending a chunk and the size line of the next go out in one write.
  char frame[48];
  int flen = 0;
  while (ok && sent < buf->length()) {
    const std::size_t n = std::min(block, buf->length() - sent);
    flen = std::snprintf(frame, sizeof frame, "%s%zx\r\n", sent ? "\r\n" : "", n);
    ok = s->Write(frame, flen) >= 0 && s->Write(data + sent, static_cast<ssize_t>(n)) >= 0;
    if (ok) sent += n;
  }
  if (ok && sent > 0) ok = s->Write("\r\n", 2) >= 0;
  if (ok) ok = s->Flush();
  if (!ok) {
    s->error = true;
    return -1;
  }
  return static_cast<ssize_t>(sent);
}
