// Diagnostic ("native") log: putlog, the recent-lines buffer, rotation of every log file
// of the process, the compression queue, and the fatal-assertion path.
#pragma once

#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <deque>
#include <vector>

// Level bits: any of the severities LOG_WARNING, LOG_ERROR, LOG_DEBUG or-ed with a category.
enum LogLevel : int {
  LOG_REQUEST = 0x1,
  LOG_NETWORK = 0x2,
  LOG_URLFILTER = 0x4,
  LOG_HEADER = 0x8,
  LOG_MIMEFILTER = 0x10,
  LOG_COOKIE = 0x20,
  LOG_REDIRECT = 0x40,
  LOG_TEMPLATE = 0x80,
  LOG_KEYWORD = 0x100,
  LOG_REWRITE = 0x200,
  LOG_LIMITS = 0x400,
  LOG_CACHE = 0x800,
  LOG_PREFETCH = 0x1000,
  LOG_ICP = 0x2000,
  LOG_FORWARD = 0x4000,
  LOG_SYNC = 0x8000,
  LOG_ANTIVIRUS = 0x10000,
  LOG_EXTERNAL = 0x20000,
  LOG_ICAP = 0x40000,
  LOG_DNSBL = 0x80000,
  LOG_URLBL = 0x100000,
  LOG_URLCOMMAND = 0x200000,
  LOG_MODULE = 0x400000,
  LOG_SECURITY = 0x800000,
  LOG_WARNING = 0x1000000,
  LOG_ERROR = 0x2000000,
  LOG_PROFILES = 0x4000000,
  LOG_DEBUG = 0x8000000,
  LOG_VERIFY = 0x10000000,
};

// Size of the buffer a line is built in; longer messages are cut.
constexpr std::size_t LOG_LINE_MAX = 8192;

// One category of the help text and of the line labels.
struct LogCategory {
  int bit;
  const char *help;   // name in the help text, null when not listed
  const char *label;  // label written into the line
};
// Every category bit in bit order, severities included.
extern const std::vector<LogCategory> LOG_CATEGORIES;

// Recent lines of the diagnostic log, newest first, shown by the web interface.
class LogBuffer {
 public:
  explicit LogBuffer(int capacity) : capacity_(capacity < 0 ? 0 : capacity) {}
  void add(const std::string &line);
  void resize(int capacity);  // negative values are ignored
  void clear();
  int count() const;
  int capacity() const;
  std::vector<std::string> lines() const;  // newest first

 private:
  mutable std::shared_mutex lock_;
  int capacity_;
  std::deque<std::string> lines_;  // front = newest
};
using LOGBUFFER = LogBuffer;

void logbuffer_add(LogBuffer *buffer, const std::string &line);
void logbuffer_resize(LogBuffer *buffer, int capacity);
void logbuffer_clear(LogBuffer *buffer);

// The recent-lines buffer; null until config() creates it (lines before that are not kept).
extern LogBuffer *log_buffer;

void putlog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// True when putlog drops a line of this level unseen (a debug line of a category not asked
// for): callers skip building costly arguments for it.
bool putlog_drops(int level);

// Formats a line exactly as putlog writes it (time stamp, client id, prefixes, message),
// without the final newline. Returns an empty string when the level is filtered out as
// debug. Exposed for the tests.
std::string log_format_line(int level, unsigned clientid, const char *fmt, va_list ap);

// A log file of the process whose rotation follows the old-log action: the diagnostic log,
// the access log and the extended log each own one.
class LogFile {
 public:
  explicit LogFile(std::string path = {}) : path_(std::move(path)) {}
  void set_path(const std::string &path);
  const std::string &path() const { return path_; }
  // Writes one line (already ending in "\n"). Opens the file lazily; on a failed write the
  // line is dropped and the file is closed so the next line reopens it; when the size limit
  // is reached, the file is closed and the old-log action applied. Returns false when the
  // line was dropped. `on_create` runs, under the lock, when the write creates a new file
  // (the access logs write their legend there). Lines that arrive while another thread is
  // writing join the queue that thread writes next, in one system call, before it returns;
  // the lock is not held during the write itself. A failed batch is reported by the call
  // that wrote it: false, errno of the write, and in *dropped the lines lost with it.
  bool write(const std::string &line, void (*on_create)(LogFile &) = nullptr,
             std::size_t *dropped = nullptr);
  // Raw write used by on_create while the lock is held.
  bool write_locked(const std::string &text);
  // Closes and applies the old-log action when the file is open.
  void rotate();
  bool is_open();
  void close();
  int fd_for_crash() const { return fd_; }  // read without the lock, on the crash path only

 private:
  bool open_locked(bool *created);
  void close_locked(bool apply_action);
  void wait_idle(std::unique_lock<std::mutex> &g);  // until no thread writes unlocked
  std::mutex lock_;
  std::condition_variable idle_;
  std::string path_;
  int fd_ = -1;
  unsigned long long size_ = 0;
  std::string queue_;     // lines waiting for the writing thread
  std::size_t queued_lines_ = 0;
  bool writing_ = false;  // a thread writes a batch outside the lock
};

extern LogFile native_log;  // the diagnostic log

// Old-log action for a closed log file: delete, rename and queue for compression, or
// rename only, following PROCESS_OLD_LOGS. A failed rename leaves the file in place.
void log_old_action(const std::string &path);

// Renames path to its time-stamped name ("dir/" + "/" + YYYYmmddHHMMSS + "-" + name, with a
// counter suffix when that name exists). Returns the new path, empty when nothing was renamed.
std::string time_stamped_rename(const std::string &path);

int add_to_ziplist(const std::string &path);
int ziplist_size();
// Compresses the oldest queued file (timer callback; the argument is unused).
// Returns true when a file was compressed.
bool zip_files(void *unused = nullptr);
void zip_files_timer(void *unused);

// Rotates the diagnostic, access and extended logs now (SIGUSR1).
void logrotate();

// Extra log files that logrotate() rotates after the diagnostic log (access and extended
// logs register theirs at start-up).
void log_register_rotating(LogFile *file);

// The fatal-assertion path: logs the fixed lines, then terminates in order with status 1.
[[noreturn]] void fatal_assertion(const char *module, int line, const char *function,
                                  std::size_t alloc_size = 0);

#define QM_FATAL(module) fatal_assertion((module), __LINE__, __func__)
#define QM_ASSERT(cond, module)                          \
  do {                                                   \
    if (!(cond)) fatal_assertion((module), __LINE__, __func__); \
  } while (0)
