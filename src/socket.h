// Socket: a connected TCP descriptor with input and output buffers, an optional TLS client
// session, bandwidth throttling through shared LimitGroups and observer callbacks; and the
// small descriptor helpers shared by the transfer engine and the pools.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Filebuf;
struct ssl_st;

// Results of Read, GetLine and Write besides byte counts (0 is the end of data).
constexpr ssize_t SOCK_ERROR = -1;       // failure or timeout; errno tells which
constexpr ssize_t SOCK_WOULDBLOCK = -2;  // non-blocking and nothing can move now
constexpr ssize_t SOCK_TOOLONG = -3;     // GetLine: the line exceeds the maximum length

constexpr ssize_t SOCK_FILL = -1;     // Read size: only fill the input buffer
constexpr ssize_t SOCK_PENDING = -1;  // Write size: only send pending output
constexpr ssize_t SOCK_DISCARD = -1;  // GetLine size: consume the line without copying it

constexpr std::size_t SOCK_LINE_MAX = 65536;          // default GetLine limit, line feed included
constexpr std::size_t SOCK_INBUF_MAX = 16u << 20;     // input a fill may buffer unconsumed
constexpr std::size_t SOCK_BUFFER_KEEP = 65536;       // Clear keeps storage up to this size
constexpr std::size_t SOCK_INBUF_STEP = 16384;        // smallest read into the input buffer
constexpr std::size_t PUTSOCK_MAX = 8192;             // PutSock output is cut to this - 1
constexpr std::size_t SOCK_COALESCE_MAX = 65536;      // a Write joins pending output up to this
constexpr std::chrono::milliseconds SOCK_IO_TIMEOUT_DEFAULT{60000};
constexpr std::chrono::milliseconds TLS_SHUTDOWN_TIMEOUT{1000};
constexpr int TLS_SHUTDOWN_TRIES = 5;

// Callback events (mask bits).
enum SocketEvent : int {
  SOCK_EVENT_READ = 1,   // data delivered by Read: (count, data)
  SOCK_EVENT_WRITE = 2,  // data passed to Write: (count, data)
  SOCK_EVENT_ERROR = 4,  // error or end of data: (-1, null)
};

// An observer: returns -1 to stop the operation that raised the event.
using SocketCallBackFn = int (*)(void *arg, ssize_t len, const char *buf);

class SocketCallBack {
 public:
  SocketCallBackFn fn;
  int id;
  int mask;
  void *arg;
  int Call(ssize_t len, const char *buf) const { return fn(arg, len, buf); }
};

// Bandwidth group shared by the sockets it throttles (hold it through std::shared_ptr).
// The allowance is rate / 10 bytes per 100 ms window; rates below 10 bytes per second get
// the whole rate per 1 s window instead, so that every non-zero rate limits. Rate 0: no limit.
class LimitGroup {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LimitGroup(uint64_t rate);
  virtual ~LimitGroup() = default;
  LimitGroup(const LimitGroup &) = delete;
  LimitGroup &operator=(const LimitGroup &) = delete;

  uint64_t rate() const { return rate_; }
  uint64_t slice() const { return slice_; }
  uint64_t count();
  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }
  // Adds n moved bytes to the current window; returns the new count.
  uint64_t Incr(uint64_t n);
  // Bytes the caller may move now (0 = no limit). When the window's allowance is used up,
  // sleeps to the end of the window holding the group's lock, so every socket of the group
  // waits.
  uint64_t Throttle();

 protected:
  virtual Clock::time_point now() const { return Clock::now(); }
  virtual void sleep_until(Clock::time_point t);

 private:
  std::mutex lock_;
  const uint64_t rate_;
  const uint64_t slice_;
  const Clock::duration window_;
  uint64_t count_ = 0;
  Clock::time_point window_start_{};
};

// Input bytes of a socket: filled at the back without zeroing the room first, consumed from
// the front without moving what is left.
class ByteQueue {
 public:
  std::size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }
  std::size_t capacity() const { return cap_; }
  const char *data() const { return buf_.get() + begin_; }
  // Room for at least n more bytes at the back (what is held may move); commit what was put.
  char *prepare(std::size_t n);
  void commit(std::size_t n) { end_ += n; }
  void consume(std::size_t n);  // n <= size()
  void prepend(const char *p, std::size_t n);
  void clear() { begin_ = end_ = 0; }
  void release();  // also frees the storage

 private:
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0, begin_ = 0, end_ = 0;
};

class Socket {
 public:
  Socket();
  explicit Socket(int fd);  // takes ownership of fd
  ~Socket();
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;

  int fd() const { return fd_; }
  bool tls() const { return tls_session_ != nullptr; }
  uint64_t bytes_read() const { return bytes_read_; }
  uint64_t bytes_written() const { return bytes_written_; }
  // The peer closed or an error occurred; also set by the owner when it gives the
  // connection up. Never cleared.
  bool error = false;

  // Delivers up to n bytes into buf, buffered bytes first, then at most one block from the
  // descriptor: the count delivered, 0 at the end of data, SOCK_ERROR on failure or when
  // timeout (seconds, -1 = none) expires with nothing to deliver, SOCK_WOULDBLOCK when
  // non-blocking without a timeout and nothing is there. It waits only while it has nothing
  // to deliver; in blocking mode without a timeout the wait is bounded by the I/O timeout.
  // n == SOCK_FILL only reads into the input buffer and returns the count of new bytes.
  ssize_t Read(char *buf, ssize_t n, int timeout = -1);
  // Reads one line (up to and including "\n") of at most maxline bytes, waiting at most
  // timeout seconds for all of it. Copies min(line, dstlen) bytes to dst and NUL-terminates
  // (over the last copied byte when the line fills dst); the whole line is consumed. Returns
  // the bytes copied (the line length for SOCK_DISCARD), SOCK_TOOLONG for a longer line
  // (nothing consumed), or Read's result when no line could be completed.
  ssize_t GetLine(char *dst, ssize_t dstlen, int timeout = -1, std::size_t maxline = SOCK_LINE_MAX);
  // The same into a string (line feed included).
  ssize_t GetLine(std::string *line, int timeout = -1, std::size_t maxline = SOCK_LINE_MAX);

  // Sends pending output first (waiting, within the I/O timeout for each step, until all of
  // it is out), then n bytes of buf without waiting; what the kernel does not take is queued
  // behind. Returns the bytes sent by this call (0 when everything was queued) or SOCK_ERROR
  // (error set; the data of this call is not queued). n == SOCK_PENDING only sends pending
  // output.
  ssize_t Write(const char *buf, ssize_t n);
  // Adds n bytes to the output without sending them: the next Write or Flush sends them,
  // in one segment with a small write that follows.
  void Queue(const char *buf, std::size_t n);
  // Formats (cut to PUTSOCK_MAX - 1 characters) and writes.
  ssize_t PutSock(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  // TCP_NODELAY on, writes the whole buffer, flushes; returns Write's result.
  ssize_t WriteFilebuf(const Filebuf &fb);
  // Sends all pending output, each wait bounded by the I/O timeout, then empties the output
  // buffer (what could not be sent is dropped). True when everything went out.
  bool Flush();

  // Blocking mode: Read waits for input. Only this object's mode: every system call on the
  // descriptor is made non-blocking, so its O_NONBLOCK flag is never touched per request.
  void Blocking(bool on);
  bool IsBlocking() const { return blocking_; }
  void Set_timeout(int seconds) { timeout_ = seconds; }
  int Get_timeout() const { return timeout_; }
  // Longest wait of a blocking write, flush, read or TLS handshake without progress.
  void Set_io_timeout(std::chrono::milliseconds t) { io_timeout_ = t; }
  std::chrono::milliseconds Get_io_timeout() const { return io_timeout_; }
  void Set_start();
  long Get_delay() const;  // milliseconds since Set_start

  void SetRate(std::shared_ptr<LimitGroup> read, std::shared_ptr<LimitGroup> write);
  // 0 = read group, 1 = write group: the bytes that may move now, 0 = no limit.
  uint64_t Throttle(int direction);

  // Puts bytes back at the front of the input buffer.
  void PushFront(const char *data, std::size_t n);
  // Input waiting to be consumed (buffered here or inside the TLS session).
  std::size_t InputPending() const;
  std::size_t OutputPending() const { return outbuf_.size() - outpos_; }
  // Empties the input (0) or output (1) buffer.
  void Clear(int which);

  int CallBackAdd(SocketCallBackFn fn, void *arg, int mask);
  void CallBackMaskSet(int id, int mask);
  int CallBackMaskGet(int id) const;
  void CallBackRemove(int id);
  // Calls, in order, each callback whose mask has a bit of event; -1 when one refused.
  int CallBackEvent(int event, ssize_t len, const char *buf);

  // Mode 1 starts a TLS client session on the descriptor, sending server_name as SNI when
  // it is a host name; the handshake is bounded by the I/O timeout. True once established.
  bool Encrypt(int mode, const char *server_name = nullptr);

 private:
  struct SslFree {
    void operator()(ssl_st *s) const;
  };
  struct IoResult {
    ssize_t n;     // bytes, 0 end of data, SOCK_WOULDBLOCK or SOCK_ERROR
    short wait;    // poll events to wait for before retrying (would-block)
    int err;       // errno of a failure
  };

  IoResult raw_recv(char *buf, std::size_t n);
  IoResult raw_send(const char *buf, std::size_t n);
  // Polls for events until deadline: revents, 0 on timeout, -1 on failure (errno set).
  int wait_until(short events, std::chrono::steady_clock::time_point deadline);
  // Reads once into dst (at most n bytes), or into the input buffer when dst is null.
  ssize_t fill_once(std::chrono::steady_clock::time_point deadline, bool wait,
                    char *dst = nullptr, std::size_t n = 0);
  // Reads until the input buffer holds a whole line: 1 with its length, else a result code.
  ssize_t wait_line(int timeout, std::size_t maxline, std::size_t *len);
  ssize_t push_pending();
  ssize_t write_joined(const char *buf, std::size_t n);
  void count_written(std::size_t n);
  ssize_t write_done(const char *buf, std::size_t n, std::size_t sent);
  void queue_output(const char *buf, std::size_t n);
  void consume_output(std::size_t n);
  void nodelay(bool on);
  std::size_t callback_index(int id) const;  // fatal for an unknown id
  void tls_shutdown();

  int fd_ = -1;
  std::unique_ptr<ssl_st, SslFree> tls_session_;
  bool tls_broken_ = false;          // fatal TLS error: no shutdown may be attempted
  std::size_t tls_retry_len_ = 0;    // a TLS write to repeat needs at least these bytes
  ByteQueue inbuf_;
  std::size_t scanned_ = 0;          // bytes of inbuf_ known to hold no line feed
  std::string outbuf_;
  std::size_t outpos_ = 0;           // bytes of outbuf_ already sent
  std::vector<SocketCallBack> callbacks_;
  int callback_next_id_ = 0;
  std::chrono::steady_clock::time_point start_;
  int timeout_;
  std::chrono::milliseconds io_timeout_ = SOCK_IO_TIMEOUT_DEFAULT;
  std::shared_ptr<LimitGroup> read_group_, write_group_;
  uint64_t bytes_read_ = 0, bytes_written_ = 0;
  bool blocking_ = true;
  int nodelay_ = -1;                 // TCP_NODELAY as last set, -1 unknown
};

// Counts the bytes of a socket that goes away (performance log and statistics counters).
// Set at start-up by the statistics module; null = not counted.
extern void (*socket_bytes_hook)(uint64_t bytes_in, uint64_t bytes_out);

// Descriptor helpers. Failures are logged and returned as minus the error number.
int set_nodelay(int fd, bool on);
// Waits up to timeout_ms (0: not at all) for events on fd, across signals: the revents, 0 on
// timeout, -1 on failure.
int net_poll(int fd, short events, int timeout_ms);
int net_blocking(int fd, bool on);
// 1 when bytes wait to be read (FIONREAD), 0 when none, -1 for fd below 1.
int net_get_unread(int fd, std::size_t *n);
// 1 when sent bytes are not yet acknowledged (TIOCOUTQ), 0 when none, -1 for fd below 1.
int net_get_unsent(int fd, std::size_t *n);
// The pending socket error (0 if none), logged with where and line.
int net_get_error(int fd, const char *where, int line);
// Close will reset the connection instead of lingering.
void net_linger_off(int fd);
