#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "main.h"
#include "threads.h"

const std::vector<LogCategory> LOG_CATEGORIES = {
    {LOG_REQUEST, "requests", "request: "},
    {LOG_NETWORK, "network", "network: "},
    {LOG_URLFILTER, "url filtering", "url filter: "},
    {LOG_HEADER, "header filtering", "header: "},
    {LOG_MIMEFILTER, "mime filtering", "mime filter: "},
    {LOG_COOKIE, "cookie filtering", "cookie filter: "},
    {LOG_REDIRECT, "redirections", "redirect: "},
    {LOG_TEMPLATE, "templates", "template: "},
    {LOG_KEYWORD, "keyword filtering", "keyword filter: "},
    {LOG_REWRITE, "rewriting", "rewriting: "},
    {LOG_LIMITS, "limits", "limits: "},
    {LOG_CACHE, "caching", "cache: "},
    {LOG_PREFETCH, "prefetching", "prefetch: "},
    {LOG_ICP, "ICP", "ICP: "},
    {LOG_FORWARD, "forwarding", "forwarding: "},
    {LOG_SYNC, nullptr, "sync: "},
    {LOG_ANTIVIRUS, "antivirus", "antivirus: "},
    {LOG_EXTERNAL, "external parsers", "external: "},
    {LOG_ICAP, "ICAP", "ICAP: "},
    {LOG_DNSBL, "DNS blacklist", "dnsbl: "},
    {LOG_URLBL, "URL blacklist", "URL blacklist: "},
    {LOG_URLCOMMAND, "URL commands", "URL command: "},
    {LOG_MODULE, "modules", "module: "},
    {LOG_SECURITY, "security", "security: "},
    {LOG_WARNING, "warnings", "warn: "},
    {LOG_ERROR, "errors", "error: "},
    {LOG_PROFILES, "profiles", "profiles: "},
    {LOG_DEBUG, "debug", "debug: "},
    {LOG_VERIFY, nullptr, "verify: "},
};

LogBuffer *log_buffer = nullptr;
LogFile native_log;

namespace {

// Set while this thread holds a log file's lock: a line logged meanwhile (for instance by a
// descriptor helper called while opening the file) must not wait for that lock again.
thread_local bool in_logfile = false;

std::mutex ziplist_lock;
std::deque<std::string> zip_list;

std::mutex rotating_lock;
std::vector<LogFile *> rotating_files;

const char *category_label(int bits) {
  if (bits == 0) return "advice: ";
  for (const auto &c : LOG_CATEGORIES)
    if (c.bit == bits) return c.label;
  return "";
}

bool write_all(int fd, const char *data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool path_exists(const std::string &p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

// ---- recent-lines buffer -------------------------------------------------------------

void LogBuffer::add(const std::string &line) {
  std::unique_lock g(lock_);
  if (capacity_ == 0) return;
  lines_.push_front(line);
  while (static_cast<int>(lines_.size()) > capacity_) lines_.pop_back();
}

void LogBuffer::resize(int capacity) {
  if (capacity < 0) return;
  std::unique_lock g(lock_);
  while (static_cast<int>(lines_.size()) > capacity) lines_.pop_back();
  capacity_ = capacity;
}

void LogBuffer::clear() {
  std::unique_lock g(lock_);
  lines_.clear();
}

int LogBuffer::count() const {
  std::shared_lock g(lock_);
  return static_cast<int>(lines_.size());
}

int LogBuffer::capacity() const {
  std::shared_lock g(lock_);
  return capacity_;
}

std::vector<std::string> LogBuffer::lines() const {
  std::shared_lock g(lock_);
  return {lines_.begin(), lines_.end()};
}

void logbuffer_add(LogBuffer *buffer, const std::string &line) {
  if (buffer) buffer->add(line);
}
void logbuffer_resize(LogBuffer *buffer, int capacity) {
  if (buffer) buffer->resize(capacity);
}
void logbuffer_clear(LogBuffer *buffer) {
  if (buffer) buffer->clear();
}

// ---- line formatting -------------------------------------------------------------------

std::string log_format_line(int level, unsigned clientid, const char *fmt, va_list ap) {
  char line[LOG_LINE_MAX];
  // The stamp changes once a second; localtime_r takes the time-zone lock on every call.
  thread_local time_t stamp_second = -1;
  thread_local char stamp[32];
  thread_local std::size_t stamp_len = 0;
  const time_t now = ::time(nullptr);
  if (now != stamp_second) {
    struct tm tmv;
    localtime_r(&now, &tmv);
    stamp_len = std::strftime(stamp, sizeof stamp, "%Y %m %d %H:%M:%S", &tmv);
    stamp_second = now;
  }
  std::memcpy(line, stamp, stamp_len);
  std::size_t len = stamp_len;
  len += static_cast<std::size_t>(
      std::snprintf(line + len, sizeof line - len, " [%u] ", clientid));

  int bits = level;
  auto prefix = [&](int bit, const char *text) {
    if (!(bits & bit)) return;
    bits &= ~bit;
    std::size_t n = std::strlen(text);
    std::memcpy(line + len, text, n);
    len += n;
  };
  prefix(LOG_DEBUG, "debug: ");
  prefix(LOG_ERROR, "error: ");
  prefix(LOG_WARNING, "warn: ");
  const char *label = category_label(bits);
  std::size_t n = std::strlen(label);
  std::memcpy(line + len, label, n);
  len += n;

  // Keep room for the final newline and the terminator.
  std::size_t room = sizeof line - len - 1;
  int w = std::vsnprintf(line + len, room, fmt, ap);
  if (w > 0) len += std::min<std::size_t>(static_cast<std::size_t>(w), room - 1);
  return std::string(line, len);
}

bool putlog_drops(int level) {
  return (level & LOG_DEBUG) && (!(loglevel & LOG_DEBUG) || !(level & ~LOG_DEBUG & loglevel));
}

void putlog(int level, const char *fmt, ...) {
  if (putlog_drops(level)) return;

  va_list ap;
  va_start(ap, fmt);
  std::string line = log_format_line(level, thread_clientid_or_zero(), fmt, ap);
  va_end(ap);

  if (!(level & LOG_DEBUG)) logbuffer_add(log_buffer, line);
  if (line.empty() || line.back() != '\n') line.push_back('\n');

  bool wanted = level == 0 || (level & loglevel);
  if (!wanted) return;
  if (!daemonize) write_all(STDOUT_FILENO, line.data(), line.size());
  if (!native_log.path().empty() && !in_logfile) native_log.write(line);
}

// ---- log files ---------------------------------------------------------------------------

void LogFile::set_path(const std::string &path) {
  std::unique_lock g(lock_);
  wait_idle(g);
  close_locked(false);
  path_ = path;
}

bool LogFile::open_locked(bool *created) {
  *created = false;
  if (fd_ >= 0) return true;
  if (path_.empty()) return false;
  struct stat st;
  bool existed = ::stat(path_.c_str(), &st) == 0;
  int fd = ::open(path_.c_str(), O_CREAT | O_RDWR | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  if (::fstat(fd, &st) == 0) size_ = static_cast<unsigned long long>(st.st_size);
  else size_ = 0;
  fd_ = fd;
  *created = !existed || size_ == 0;
  return true;
}

void LogFile::close_locked(bool apply_action) {
  if (fd_ < 0) return;
  ::fsync(fd_);
  ::close(fd_);
  fd_ = -1;
  size_ = 0;
  if (apply_action) log_old_action(path_);
}

bool LogFile::write_locked(const std::string &text) {
  if (fd_ < 0) return false;
  if (!write_all(fd_, text.data(), text.size())) {
    // Drop the line and start afresh with the next one; the file itself is kept.
    ::close(fd_);
    fd_ = -1;
    size_ = 0;
    return false;
  }
  size_ += text.size();
  return true;
}

void LogFile::wait_idle(std::unique_lock<std::mutex> &g) {
  idle_.wait(g, [this] { return !writing_; });
}

bool LogFile::write(const std::string &line, void (*on_create)(LogFile &), std::size_t *dropped) {
  std::unique_lock g(lock_);
  queue_ += line;
  queued_lines_++;
  if (writing_) return true;  // the writing thread takes the line with its next batch
  writing_ = true;
  in_logfile = true;
  std::size_t lost = 0;
  int failure = 0;
  std::string batch;
  while (!queue_.empty()) {
    bool created = false;
    const bool open = open_locked(&created);
    if (!open) failure = errno;
    if (open && created && on_create) on_create(*this);
    batch.swap(queue_);
    queue_.clear();
    const std::size_t lines = std::exchange(queued_lines_, 0);
    if (!open) {
      lost += lines;
      continue;
    }
    const int fd = fd_;  // rotations wait for this write: the descriptor stays valid
    g.unlock();
    const bool written = write_all(fd, batch.data(), batch.size());
    if (!written) failure = errno;
    g.lock();
    if (!written) {
      // Drop the batch and start afresh with the next line; the file itself is kept.
      ::close(fd_);
      fd_ = -1;
      size_ = 0;
      lost += lines;
    } else {
      size_ += batch.size();
    }
    if (fd_ >= 0 && LOG_SIZE_LIMIT > 0 && size_ >= static_cast<unsigned long long>(LOG_SIZE_LIMIT))
      close_locked(true);
  }
  in_logfile = false;
  writing_ = false;
  idle_.notify_all();
  if (dropped) *dropped = lost;
  if (lost == 0) return true;
  errno = failure;
  return false;
}

void LogFile::rotate() {
  std::unique_lock g(lock_);
  wait_idle(g);
  in_logfile = true;
  close_locked(true);
  in_logfile = false;
}

bool LogFile::is_open() {
  std::lock_guard g(lock_);
  return fd_ >= 0;
}

void LogFile::close() {
  std::unique_lock g(lock_);
  wait_idle(g);
  close_locked(false);
}

// ---- rotation ------------------------------------------------------------------------

std::string time_stamped_rename(const std::string &path) {
  if (path.empty()) return {};
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return {};

  char stamp[32];
  time_t now = ::time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tmv);

  // The directory part keeps its final "/" and the separator adds another, as the rotated
  // names have always looked.
  std::string base = dir.empty() ? std::string(stamp) + "-" + name
                                 : dir + "/" + stamp + "-" + name;
  std::string target = base;
  // Two rotations within one second must not overwrite each other, nor the compressed
  // copy of an earlier one.
  for (int i = 1; path_exists(target) || path_exists(target + ".gz"); ++i) {
    target = base + "." + std::to_string(i);
    if (i > 10000) return {};
  }
  if (target.size() > 255) return {};
  if (::rename(path.c_str(), target.c_str()) != 0) return {};
  return target;
}

void log_old_action(const std::string &path) {
  if (path.empty()) return;
  if (PROCESS_OLD_LOGS == 0) {
    ::unlink(path.c_str());
    return;
  }
  std::string renamed = time_stamped_rename(path);
  if (PROCESS_OLD_LOGS == 1 && !renamed.empty()) add_to_ziplist(renamed);
}

int add_to_ziplist(const std::string &path) {
  std::lock_guard g(ziplist_lock);
  zip_list.push_back(path);
  return static_cast<int>(zip_list.size());
}

int ziplist_size() {
  std::lock_guard g(ziplist_lock);
  return static_cast<int>(zip_list.size());
}

bool zip_files(void *) {
  std::string in;
  {
    std::lock_guard g(ziplist_lock);
    if (zip_list.empty()) return false;
    in = zip_list.front();
  }
  std::string out = in + ".gz";
  std::string tmp = out + ".tmp";

  auto requeue = [&] {
    // Move the path to the back so one bad file does not block the others.
    std::lock_guard g(ziplist_lock);
    for (auto it = zip_list.begin(); it != zip_list.end(); ++it)
      if (*it == in) {
        zip_list.erase(it);
        break;
      }
    zip_list.push_back(in);
  };

  FILE *fin = std::fopen(in.c_str(), "rb");
  gzFile fout = gzopen(tmp.c_str(), "wb");
  if (!fin) {
    std::printf("fopen failed to get infile[%s] pointer", in.c_str());
    std::fflush(stdout);
    if (fout) {
      gzclose(fout);
      ::unlink(tmp.c_str());
    }
    requeue();
    return false;
  }
  if (!fout) {
    std::printf("fopen failed to get outfile[%s] pointer", out.c_str());
    std::fflush(stdout);
    std::fclose(fin);
    requeue();
    return false;
  }
  putlog(LOG_DEBUG, "compressing: log file %s", in.c_str());
  bool ok = true;
  char chunk[256];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, fin)) > 0)
    if (gzwrite(fout, chunk, static_cast<unsigned>(n)) != static_cast<int>(n)) {
      ok = false;
      break;
    }
  if (std::ferror(fin)) ok = false;
  std::fclose(fin);
  if (gzclose(fout) != Z_OK) ok = false;
  if (ok && ::rename(tmp.c_str(), out.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlink(tmp.c_str());
    requeue();
    return false;
  }
  putlog(LOG_DEBUG, "generated: compressed log file %s", out.c_str());
  ::unlink(in.c_str());
  std::lock_guard g(ziplist_lock);
  std::erase(zip_list, in);
  return true;
}

void zip_files_timer(void *) { zip_files(nullptr); }

void log_register_rotating(LogFile *file) {
  std::lock_guard g(rotating_lock);
  rotating_files.push_back(file);
}

void logrotate() {
  native_log.rotate();
  std::vector<LogFile *> files;
  {
    std::lock_guard g(rotating_lock);
    files = rotating_files;
  }
  for (LogFile *f : files) f->rotate();
  // Each queued file gets one try; one that cannot be compressed waits for the timer.
  for (int n = ziplist_size(); n > 0; --n) zip_files(nullptr);
}

// ---- fatal path ------------------------------------------------------------------------

[[noreturn]] void fatal_assertion(const char *module, int line, const char *function,
                                  std::size_t alloc_size) {
  static std::atomic<bool> entered{false};
  if (entered.exchange(true)) _exit(1);  // failed again while shutting down
  if (in_logfile) {
    // This thread holds a log file lock: the lines can only go to standard output.
    static const char msg[] = "\nSystem Unstable: Please Restart\n";
    write_all(STDOUT_FILENO, msg, sizeof msg - 1);
    _exit(1);
  }
  putlog(0, "System Unstable: Please Restart");
  putlog(0, "ASSERTION: %s:%d in function %s", module, line, function);
  if (alloc_size) putlog(0, "Failed to allocate %zu bytes of memory", alloc_size);
  std::printf("\nSystem Unstable: Please Restart\n");
  std::fflush(stdout);
  shutdown_process(1);
}
