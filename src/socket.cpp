#include "socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "filebuf.h"
#include "log.h"
#include "main.h"
#include "ssl.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void (*socket_bytes_hook)(uint64_t bytes_in, uint64_t bytes_out) = nullptr;

namespace {

constexpr const char *MODULE = "src/socket";
constexpr std::size_t DEFAULT_BLOCK = 8192;
// Rates below this many bytes per second cannot be split into 100 ms slices.
constexpr uint64_t RATE_SLICES = 10;
constexpr milliseconds WINDOW{100}, SLOW_WINDOW{1000};

std::size_t block_size() {
  return BLOCKSIZE > 0 ? static_cast<std::size_t>(BLOCKSIZE) : DEFAULT_BLOCK;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Error number behind a poll that reported error or hang-up without readiness.
int pending_error(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err ? err : EPIPE;
}

void release_if_large(std::string &buf) {
  if (buf.capacity() > SOCK_BUFFER_KEEP) std::string().swap(buf);
  else buf.clear();
}

void release_if_large(ByteQueue &buf) {
  if (buf.capacity() > SOCK_BUFFER_KEEP) buf.release();
  else buf.clear();
}

}  // namespace

// ---- ByteQueue ---------------------------------------------------------------------------

char *ByteQueue::prepare(std::size_t n) {
  if (cap_ - end_ >= n) return buf_.get() + end_;
  const std::size_t held = size();
  if (n > SIZE_MAX / 2 - held) throw std::bad_alloc();
  if (held + n <= cap_) {
    std::memmove(buf_.get(), buf_.get() + begin_, held);  // room enough once moved to the front
  } else {
    const std::size_t cap = std::max(held + n, cap_ * 2);
    auto fresh = std::make_unique_for_overwrite<char[]>(cap);
    if (held) std::memcpy(fresh.get(), buf_.get() + begin_, held);
    buf_ = std::move(fresh);
    cap_ = cap;
  }
  begin_ = 0;
  end_ = held;
  return buf_.get() + end_;
}

void ByteQueue::consume(std::size_t n) {
  begin_ += std::min(n, size());
  if (begin_ == end_) begin_ = end_ = 0;
}

void ByteQueue::prepend(const char *p, std::size_t n) {
  if (n == 0) return;
  if (begin_ >= n) {
    begin_ -= n;
    std::memcpy(buf_.get() + begin_, p, n);
    return;
  }
  const std::size_t held = size();
  if (n > SIZE_MAX / 2 - held) throw std::bad_alloc();
  const std::size_t cap = std::max(held + n, cap_);
  auto fresh = std::make_unique_for_overwrite<char[]>(cap);
  std::memcpy(fresh.get(), p, n);
  if (held) std::memcpy(fresh.get() + n, buf_.get() + begin_, held);
  buf_ = std::move(fresh);
  cap_ = cap;
  begin_ = 0;
  end_ = held + n;
}

void ByteQueue::release() {
  buf_.reset();
  cap_ = begin_ = end_ = 0;
}

// ---- LimitGroup --------------------------------------------------------------------------

LimitGroup::LimitGroup(uint64_t rate)
    : rate_(rate),
      slice_(rate >= RATE_SLICES ? rate / RATE_SLICES : rate),
      window_(rate >= RATE_SLICES ? Clock::duration(WINDOW) : Clock::duration(SLOW_WINDOW)) {}

uint64_t LimitGroup::count() {
  std::lock_guard g(lock_);
  return count_;
}

uint64_t LimitGroup::Incr(uint64_t n) {
  std::lock_guard g(lock_);
  count_ = n > UINT64_MAX - count_ ? UINT64_MAX : count_ + n;
  return count_;
}

void LimitGroup::sleep_until(Clock::time_point t) { std::this_thread::sleep_until(t); }

uint64_t LimitGroup::Throttle() {
  if (slice_ == 0) return 0;
  std::lock_guard g(lock_);
  Clock::time_point t = now();
  if (count_ == 0) {
    window_start_ = t;
    return slice_;
  }
  if (t - window_start_ >= window_) {
    count_ = 0;
    window_start_ = t;
    return slice_;
  }
  if (count_ < slice_) return slice_ - count_;
  sleep_until(window_start_ + window_);
  count_ = 0;
  window_start_ = now();
  return slice_;
}

// ---- Socket: life ------------------------------------------------------------------------

void Socket::SslFree::operator()(ssl_st *s) const { SSL_free(s); }

Socket::Socket() : start_(Clock::now()), timeout_(CLIENT_POOL_TIMEOUT) {}

Socket::Socket(int fd) : Socket() {
  fd_ = fd;
  if (fd_ >= 0) {
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) blocking_ = !(flags & O_NONBLOCK);
  }
}

Socket::~Socket() {
  error = true;
  if (tls_session_) {
    tls_shutdown();  // the close_notify must leave before the descriptor closes
    tls_session_.reset();
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (socket_bytes_hook) socket_bytes_hook(bytes_read_, bytes_written_);
}

void Socket::tls_shutdown() {
  if (tls_broken_ || fd_ < 0) return;
  SSL *ssl = tls_session_.get();
  const Clock::time_point deadline = Clock::now() + TLS_SHUTDOWN_TIMEOUT;
  for (int i = 0; i < TLS_SHUTDOWN_TRIES; i++) {
    ERR_clear_error();
    int r = SSL_shutdown(ssl);
    // 0: our close_notify is out. Waiting for the peer's would only hold this thread: a
    // client that is done with the connection gains nothing from it.
    if (r >= 0) break;
    int e = SSL_get_error(ssl, r);
    short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (!events || wait_until(events, deadline) <= 0) break;
  }
  ERR_clear_error();
}

// ---- Socket: descriptor I/O --------------------------------------------------------------

int Socket::wait_until(short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    int ms = left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, ms);
    if (r > 0) return p.revents;
    if (r == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;
    }
    if (errno != EINTR) return -1;
  }
}

Socket::IoResult Socket::raw_recv(char *buf, std::size_t n) {
  if (SSL *ssl = tls_session_.get()) {
    ERR_clear_error();
    std::size_t got = 0;
    int r = SSL_read_ex(ssl, buf, n, &got);
    int saved = errno;
    if (r == 1) return {static_cast<ssize_t>(got), 0, 0};
    switch (SSL_get_error(ssl, r)) {
      case SSL_ERROR_WANT_READ: return {SOCK_WOULDBLOCK, POLLIN, EAGAIN};
      case SSL_ERROR_WANT_WRITE: return {SOCK_WOULDBLOCK, POLLOUT, EAGAIN};
      case SSL_ERROR_ZERO_RETURN: return {0, 0, 0};
      case SSL_ERROR_SYSCALL:
        tls_broken_ = true;
        return {SOCK_ERROR, 0, saved ? saved : ECONNRESET};
      default: {
        tls_broken_ = true;
        std::string why = ssl_error_text();
        putlog(LOG_ERROR | LOG_NETWORK, "TLS read failed: %s", why.c_str());
        return {SOCK_ERROR, 0, EPROTO};
      }
    }
  }
  for (;;) {
    ssize_t r = ::recv(fd_, buf, n, MSG_DONTWAIT);
    if (r >= 0) return {r, 0, 0};
    int err = errno;
    if (err == EINTR) continue;
    if (would_block(err)) return {SOCK_WOULDBLOCK, POLLIN, err};
    return {SOCK_ERROR, 0, err};
  }
}

Socket::IoResult Socket::raw_send(const char *buf, std::size_t n) {
  if (SSL *ssl = tls_session_.get()) {
    ERR_clear_error();
    std::size_t put = 0;
    int r = SSL_write_ex(ssl, buf, n, &put);
    int saved = errno;
    if (r == 1) {
      tls_retry_len_ = 0;
      return {static_cast<ssize_t>(put), 0, 0};
    }
    switch (SSL_get_error(ssl, r)) {
      case SSL_ERROR_WANT_READ: tls_retry_len_ = n; return {SOCK_WOULDBLOCK, POLLIN, EAGAIN};
      case SSL_ERROR_WANT_WRITE: tls_retry_len_ = n; return {SOCK_WOULDBLOCK, POLLOUT, EAGAIN};
      case SSL_ERROR_SYSCALL:
        tls_broken_ = true;
        return {SOCK_ERROR, 0, saved ? saved : EPIPE};
      default: {
        tls_broken_ = true;
        std::string why = ssl_error_text();
        putlog(LOG_ERROR | LOG_NETWORK, "TLS write failed: %s", why.c_str());
        return {SOCK_ERROR, 0, EPROTO};
      }
    }
  }
  for (;;) {
    ssize_t r = ::send(fd_, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return {r, 0, 0};
    int err = errno;
    if (err == EINTR) continue;
    if (would_block(err)) return {SOCK_WOULDBLOCK, POLLOUT, err};
    return {SOCK_ERROR, 0, err};
  }
}

// Reads one block into dst, or into the input buffer when dst is null; waits (until deadline)
// only when asked to.
ssize_t Socket::fill_once(Clock::time_point deadline, bool wait, char *dst, std::size_t n) {
  if (fd_ < 0) {
    errno = EBADF;
    return SOCK_ERROR;
  }
  if (!dst && inbuf_.size() >= SOCK_INBUF_MAX) {
    errno = ENOBUFS;
    return SOCK_ERROR;
  }
  // Input that waits to be parsed is read in small steps, so that an idle connection holds
  // little; a large buffer kept from earlier input is used whole.
  std::size_t chunk =
      dst ? n : std::min(block_size(), std::max(SOCK_INBUF_STEP, inbuf_.capacity() - inbuf_.size()));
  uint64_t allowance = Throttle(0);
  if (allowance && allowance < chunk) chunk = static_cast<std::size_t>(allowance);
  for (;;) {
    char *into = dst;
    if (!into) {
      try {
        into = inbuf_.prepare(chunk);
      } catch (const std::bad_alloc &) {
        fatal_assertion(MODULE, __LINE__, __func__, inbuf_.size() + chunk);
      }
    }
    IoResult r = raw_recv(into, chunk);
    if (r.n > 0) {
      if (!dst) inbuf_.commit(static_cast<std::size_t>(r.n));
      bytes_read_ += static_cast<uint64_t>(r.n);
      if (read_group_) read_group_->Incr(static_cast<uint64_t>(r.n));
      return r.n;
    }
    if (r.n == 0) return 0;
    if (r.n == SOCK_ERROR) {
      error = true;
      errno = r.err;
      return SOCK_ERROR;
    }
    // Would block: with the deadline already reached a poll could only confirm it.
    if (!wait || Clock::now() >= deadline) {
      errno = wait ? ETIMEDOUT : r.err;
      return wait ? SOCK_ERROR : SOCK_WOULDBLOCK;
    }
    int ev = wait_until(r.wait, deadline);
    if (ev == 0) {
      errno = ETIMEDOUT;
      return SOCK_ERROR;
    }
    if (ev < 0 || (ev & POLLNVAL) || (!(ev & r.wait) && (ev & (POLLERR | POLLHUP)))) {
      int err = ev < 0 ? errno : (ev & POLLNVAL) ? EBADF : pending_error(fd_);
      error = true;
      errno = err;
      return SOCK_ERROR;
    }
  }
}

// Sends the whole output buffer, paced by the write group; each wait for the peer to take
// more is bounded by the I/O timeout.
ssize_t Socket::push_pending() {
  std::size_t total = 0;
  while (OutputPending() > 0) {
    const std::size_t avail = OutputPending();
    std::size_t chunk = avail;
    uint64_t allowance = Throttle(1);
    if (allowance && allowance < chunk) chunk = static_cast<std::size_t>(allowance);
    if (tls_retry_len_ > chunk) chunk = std::min(avail, tls_retry_len_);
    nodelay(chunk == avail);
    IoResult s = raw_send(outbuf_.data() + outpos_, chunk);
    if (s.n > 0) {
      const auto sent = static_cast<std::size_t>(s.n);
      count_written(sent);
      consume_output(sent);
      total += sent;
      continue;
    }
    if (s.n == SOCK_WOULDBLOCK) {
      putlog(LOG_DEBUG | LOG_NETWORK, "[socket write.1:%d] %s", s.err, std::strerror(s.err));
      int ev = wait_until(s.wait, Clock::now() + io_timeout_);
      if (ev > 0 && (ev & s.wait) && !(ev & POLLNVAL)) continue;
      s.err = ev == 0 ? ETIMEDOUT : ev < 0 ? errno : (ev & POLLNVAL) ? EBADF : pending_error(fd_);
    }
    putlog(LOG_ERROR | LOG_NETWORK, "[socket write.1:%d] %s", s.err, std::strerror(s.err));
    error = true;
    errno = s.err;
    return SOCK_ERROR;
  }
  return static_cast<ssize_t>(total);
}

void Socket::queue_output(const char *buf, std::size_t n) {
  if (n == 0) return;
  if (outpos_ > 0 && outpos_ >= outbuf_.size() / 2) {
    outbuf_.erase(0, outpos_);
    outpos_ = 0;
  }
  try {
    outbuf_.append(buf, n);
  } catch (const std::exception &) {
    fatal_assertion(MODULE, __LINE__, __func__, outbuf_.size() + n);
  }
}

void Socket::consume_output(std::size_t n) {
  outpos_ += n;
  if (outpos_ >= outbuf_.size()) {
    release_if_large(outbuf_);
    outpos_ = 0;
  }
}

void Socket::nodelay(bool on) {
  if (nodelay_ == static_cast<int>(on)) return;
  set_nodelay(fd_, on);
  nodelay_ = on;  // also after a failure: one log line per change is enough
}

// ---- Socket: reading ---------------------------------------------------------------------

ssize_t Socket::Read(char *buf, ssize_t n, int timeout) {
  if (n == 0) return 0;
  if (n < SOCK_FILL || (n != SOCK_FILL && !buf)) {
    errno = EINVAL;
    return SOCK_ERROR;
  }
  const bool fill = n == SOCK_FILL;
  const std::size_t want = fill ? 0 : static_cast<std::size_t>(n);
  const Clock::time_point deadline =
      Clock::now() + (timeout != -1 ? Clock::duration(std::chrono::seconds(std::max(timeout, 0)))
                                    : Clock::duration(io_timeout_));
  const bool wait = timeout != -1 || blocking_;

  std::size_t delivered = 0;
  if (!fill && !inbuf_.empty()) {
    delivered = std::min(want, inbuf_.size());
    std::memcpy(buf, inbuf_.data(), delivered);
    inbuf_.consume(delivered);
    scanned_ = 0;
  }
  ssize_t r = 0;
  bool ended = false;  // the descriptor reported the end of data or a failure
  int saved = 0;
  if (fill || delivered < want) {
    // With bytes in hand, take only what is there already rather than wait for more.
    // Straight into the caller's buffer: a body passes through without a second copy.
    r = fill ? fill_once(deadline, wait)
             : fill_once(deadline, wait && delivered == 0, buf + delivered, want - delivered);
    saved = errno;
    if (fill) return r;
    if (r > 0) delivered += static_cast<std::size_t>(r);
    ended = r == 0 || (r == SOCK_ERROR && saved != ETIMEDOUT);
  }
  if (delivered > 0) {
    if (CallBackEvent(SOCK_EVENT_READ, static_cast<ssize_t>(delivered), buf) < 0) {
      errno = ECANCELED;
      return SOCK_ERROR;
    }
    if (ended) CallBackEvent(SOCK_EVENT_ERROR, -1, nullptr);
    return static_cast<ssize_t>(delivered);
  }
  if (ended) CallBackEvent(SOCK_EVENT_ERROR, -1, nullptr);
  errno = saved;
  return r;
}

ssize_t Socket::wait_line(int timeout, std::size_t maxline, std::size_t *len) {
  const bool wait = timeout != -1 || blocking_;
  const Clock::time_point deadline =
      Clock::now() + Clock::duration(std::chrono::seconds(std::max(timeout, 0)));
  for (;;) {
    if (scanned_ < inbuf_.size()) {
      const void *nl = std::memchr(inbuf_.data() + scanned_, '\n', inbuf_.size() - scanned_);
      if (nl) {
        *len = static_cast<std::size_t>(static_cast<const char *>(nl) - inbuf_.data()) + 1;
        return *len > maxline ? SOCK_TOOLONG : 1;
      }
    }
    scanned_ = inbuf_.size();
    if (inbuf_.size() >= maxline) return SOCK_TOOLONG;
    ssize_t r = fill_once(timeout != -1 ? deadline : Clock::now() + io_timeout_, wait);
    if (r < 1) return r;
  }
}

ssize_t Socket::GetLine(char *dst, ssize_t dstlen, int timeout, std::size_t maxline) {
  if (dstlen == 0 || dstlen < SOCK_DISCARD || (dstlen != SOCK_DISCARD && !dst)) {
    errno = EINVAL;
    return SOCK_ERROR;
  }
  std::size_t len = 0;
  ssize_t r = wait_line(timeout, maxline, &len);
  if (r < 1) return r;
  ssize_t result = static_cast<ssize_t>(len);
  if (dstlen != SOCK_DISCARD) {
    const auto room = static_cast<std::size_t>(dstlen);
    std::size_t copy = std::min(len, room);
    std::memcpy(dst, inbuf_.data(), copy);
    dst[copy < room ? copy : room - 1] = '\0';
    result = static_cast<ssize_t>(copy);
  }
  inbuf_.consume(len);
  scanned_ = 0;
  return result;
}

ssize_t Socket::GetLine(std::string *line, int timeout, std::size_t maxline) {
  std::size_t len = 0;
  ssize_t r = wait_line(timeout, maxline, &len);
  if (r < 1) return r;
  line->assign(inbuf_.data(), len);
  inbuf_.consume(len);
  scanned_ = 0;
  return static_cast<ssize_t>(len);
}

void Socket::PushFront(const char *data, std::size_t n) {
  if (n == 0) return;
  try {
    inbuf_.prepend(data, n);
  } catch (const std::exception &) {
    fatal_assertion(MODULE, __LINE__, __func__, inbuf_.size() + n);
  }
  scanned_ = 0;
}

std::size_t Socket::InputPending() const {
  std::size_t n = inbuf_.size();
  if (tls_session_) n += static_cast<std::size_t>(std::max(SSL_pending(tls_session_.get()), 0));
  return n;
}

void Socket::Clear(int which) {
  if (which == 0) {
    release_if_large(inbuf_);
    scanned_ = 0;
  } else {
    if (tls_retry_len_ > 0) {
      // The TLS session waits for a write to be repeated that will never come.
      tls_broken_ = true;
      error = true;
      tls_retry_len_ = 0;
    }
    release_if_large(outbuf_);
    outpos_ = 0;
  }
}

// ---- Socket: writing ---------------------------------------------------------------------

ssize_t Socket::Write(const char *buf, ssize_t n) {
  if (n < SOCK_PENDING || (n > 0 && !buf)) {
    errno = EINVAL;
    return SOCK_ERROR;
  }
  if (fd_ < 0) {
    errno = EBADF;
    return SOCK_ERROR;
  }
  std::size_t sent = 0;
  if (n > 0 && OutputPending() > 0 && OutputPending() + static_cast<std::size_t>(n) <= SOCK_COALESCE_MAX &&
      !write_group_ && tls_retry_len_ == 0)
    return write_joined(buf, static_cast<std::size_t>(n));
  if (OutputPending() > 0) {
    ssize_t r = push_pending();
    if (r < 0) {
      int saved = errno;
      CallBackEvent(SOCK_EVENT_ERROR, -1, nullptr);
      errno = saved;
      return SOCK_ERROR;
    }
    sent += static_cast<std::size_t>(r);
  }
  if (n <= 0) return static_cast<ssize_t>(sent);

  const auto len = static_cast<std::size_t>(n);
  std::size_t done = 0;
  if (OutputPending() == 0) {
    std::size_t chunk = len;
    uint64_t allowance = Throttle(1);
    if (allowance && allowance < chunk) chunk = static_cast<std::size_t>(allowance);
    nodelay(chunk == len);
    IoResult s = raw_send(buf, chunk);
    if (s.n > 0) {
      done = static_cast<std::size_t>(s.n);
      count_written(done);
    } else if (s.n == SOCK_WOULDBLOCK) {
      putlog(LOG_DEBUG | LOG_NETWORK, "[socket write.2:%d] %s", s.err, std::strerror(s.err));
    } else {
      putlog(LOG_ERROR | LOG_NETWORK, "[socket write.2:%d] %s", s.err, std::strerror(s.err));
      error = true;
      CallBackEvent(SOCK_EVENT_ERROR, -1, nullptr);
      errno = s.err;
      return SOCK_ERROR;
    }
  }
  queue_output(buf + done, len - done);
  return write_done(buf, len, sent + done);
}

void Socket::count_written(std::size_t n) {
  bytes_written_ += n;
  if (write_group_) write_group_->Incr(n);
}

// The observers see every byte a write took, whether sent now or queued.
ssize_t Socket::write_done(const char *buf, std::size_t n, std::size_t sent) {
  if (CallBackEvent(SOCK_EVENT_WRITE, static_cast<ssize_t>(n), buf) < 0) {
    errno = ECANCELED;
    return SOCK_ERROR;
  }
  return static_cast<ssize_t>(sent);
}

// Pending output and a small write leave in one send; what the kernel does not take stays
// queued, as Write does with its own data.
ssize_t Socket::write_joined(const char *buf, std::size_t n) {
  queue_output(buf, n);
  nodelay(true);
  IoResult s = raw_send(outbuf_.data() + outpos_, OutputPending());
  std::size_t sent = 0;
  if (s.n > 0) {
    sent = static_cast<std::size_t>(s.n);
    count_written(sent);
    consume_output(sent);
  } else if (s.n == SOCK_ERROR) {
    outbuf_.resize(outbuf_.size() - n);  // a failed write queues nothing of its own
    putlog(LOG_ERROR | LOG_NETWORK, "[socket write.2:%d] %s", s.err, std::strerror(s.err));
    error = true;
    CallBackEvent(SOCK_EVENT_ERROR, -1, nullptr);
    errno = s.err;
    return SOCK_ERROR;
  }
  return write_done(buf, n, sent);
}

void Socket::Queue(const char *buf, std::size_t n) {
  queue_output(buf, n);
  if (n > 0) CallBackEvent(SOCK_EVENT_WRITE, static_cast<ssize_t>(n), buf);
}

ssize_t Socket::PutSock(const char *fmt, ...) {
  char area[PUTSOCK_MAX];
  va_list ap;
  va_start(ap, fmt);
  int r = std::vsnprintf(area, sizeof area, fmt, ap);
  va_end(ap);
  if (r < 0) {
    errno = EINVAL;
    return SOCK_ERROR;
  }
  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(r), PUTSOCK_MAX - 1);
  return Write(area, static_cast<ssize_t>(n));
}

ssize_t Socket::WriteFilebuf(const Filebuf &fb) {
  nodelay(true);
  ssize_t r = Write(fb.data(), static_cast<ssize_t>(fb.length()));
  Flush();
  return r;
}

bool Socket::Flush() {
  bool ok = OutputPending() == 0;
  if (!error) {
    Blocking(true);
    nodelay(true);
    ok = Write(nullptr, SOCK_PENDING) >= 0 && OutputPending() == 0;
  }
  Clear(1);
  return ok;
}

// ---- Socket: settings --------------------------------------------------------------------

void Socket::Blocking(bool on) {
  if (blocking_ == on) return;
  blocking_ = on;
}

void Socket::Set_start() { start_ = Clock::now(); }

long Socket::Get_delay() const {
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(Clock::now() - start_).count());
}

void Socket::SetRate(std::shared_ptr<LimitGroup> read, std::shared_ptr<LimitGroup> write) {
  read_group_ = std::move(read);
  write_group_ = std::move(write);
}

uint64_t Socket::Throttle(int direction) {
  LimitGroup *group = direction == 0 ? read_group_.get() : write_group_.get();
  return group ? group->Throttle() : 0;
}

// ---- Socket: callbacks -------------------------------------------------------------------

int Socket::CallBackAdd(SocketCallBackFn fn, void *arg, int mask) {
  callbacks_.push_back(SocketCallBack{fn, callback_next_id_, mask, arg});
  return callback_next_id_++;
}

std::size_t Socket::callback_index(int id) const {
  for (std::size_t i = 0; i < callbacks_.size(); i++)
    if (callbacks_[i].id == id) return i;
  QM_FATAL(MODULE);  // an id this socket never handed out
}

void Socket::CallBackMaskSet(int id, int mask) { callbacks_[callback_index(id)].mask = mask; }

int Socket::CallBackMaskGet(int id) const { return callbacks_[callback_index(id)].mask; }

void Socket::CallBackRemove(int id) {
  callbacks_.erase(callbacks_.begin() + static_cast<std::ptrdiff_t>(callback_index(id)));
}

int Socket::CallBackEvent(int event, ssize_t len, const char *buf) {
  // By index: a callback may add or remove callbacks while it runs.
  for (std::size_t i = 0; i < callbacks_.size(); i++) {
    const SocketCallBack cb = callbacks_[i];
    if ((cb.mask & event) && cb.Call(len, buf) == -1) return -1;
  }
  return 0;
}

// ---- Socket: TLS -------------------------------------------------------------------------

bool Socket::Encrypt(int mode, const char *server_name) {
  if (mode != 1 || fd_ < 0 || tls_session_) return false;
  SSL_CTX *ctx = ssl_client_context();
  if (!ctx) return false;
  const char *peer = server_name && *server_name ? server_name : "server";
  std::unique_ptr<ssl_st, SslFree> session(SSL_new(ctx));
  BIO *bio = session ? ssl_socket_bio(fd_) : nullptr;
  if (!bio) {
    std::string why = ssl_error_text();
    putlog(LOG_ERROR | LOG_NETWORK, "TLS session for %s cannot be created: %s", peer,
           why.c_str());
    return false;
  }
  SSL_set_bio(session.get(), bio, bio);
  SSL_set_connect_state(session.get());
  if (server_name) {
    std::string name = server_name;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (!name.empty() && !ssl_is_ip_literal(name) &&
        SSL_set_tlsext_host_name(session.get(), name.c_str()) != 1)
      ERR_clear_error();  // an unusable name is simply not sent
  }
  const Clock::time_point deadline = Clock::now() + io_timeout_;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(session.get());
    int saved = errno;
    if (r == 1) break;  // 0 is a controlled failure, not an established session
    int e = SSL_get_error(session.get(), r);
    short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events) {
      int ev = wait_until(events, deadline);
      if (ev > 0) continue;
      putlog(LOG_ERROR | LOG_NETWORK, "TLS handshake with %s failed: %s", peer,
             ev == 0 ? "timed out" : std::strerror(errno));
      return false;
    }
    std::string why = ssl_error_text();
    if (why.empty())
      why = e == SSL_ERROR_SYSCALL && saved ? std::strerror(saved) : "connection closed";
    putlog(LOG_ERROR | LOG_NETWORK, "TLS handshake with %s failed: %s", peer, why.c_str());
    return false;
  }
  tls_session_ = std::move(session);
  tls_broken_ = false;
  tls_retry_len_ = 0;
  return true;
}

// ---- descriptor helpers ------------------------------------------------------------------

int set_nodelay(int fd, bool on) {
  if (fd <= 0) return 0;
  int v = on ? 1 : 0;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) < 0) {
    int err = errno;
    putlog(LOG_ERROR, "[socket read TCP_NODELAY retune :%d] %s", err, std::strerror(err));
    return -err;
  }
  return 0;
}

int net_poll(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int r;
  do r = ::poll(&p, 1, timeout_ms);
  while (r < 0 && errno == EINTR);
  return r > 0 ? p.revents : r;
}

int net_blocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) {
    int wanted = on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0) return 0;
  }
  int err = errno;
  putlog(LOG_ERROR, "%s %d: %s", "net_blocking", err, std::strerror(err));
  return -err;
}

namespace {

int queue_size(int fd, unsigned long request, std::size_t *n, const char *what) {
  *n = 0;
  if (fd < 1) return -1;
  int v = 0;
  if (::ioctl(fd, request, &v) < 0) {
    int err = errno;
    putlog(LOG_ERROR | LOG_NETWORK, "failed to get %s data:[%d: %s]", what, err,
           std::strerror(err));
    return -err;
  }
  *n = v > 0 ? static_cast<std::size_t>(v) : 0;
  return *n > 0 ? 1 : 0;
}

}  // namespace

int net_get_unread(int fd, std::size_t *n) { return queue_size(fd, FIONREAD, n, "unread"); }

int net_get_unsent(int fd, std::size_t *n) { return queue_size(fd, TIOCOUTQ, n, "unsent"); }

int net_get_error(int fd, const char *where, int line) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
    int e = errno;
    putlog(LOG_ERROR | LOG_NETWORK, "%s:%d wsaerr: [%d:%s]", where, line, e, std::strerror(e));
    return e;
  }
  if (err) putlog(LOG_ERROR | LOG_NETWORK, "%s:%d so_err: [%d:%s]", where, line, err,
                  std::strerror(err));
  return err;
}

void net_linger_off(int fd) {
  if (fd < 1) return;
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  int zero = 0;
  ::setsockopt(fd, IPPROTO_TCP, TCP_LINGER2, &zero, sizeof zero);
}
