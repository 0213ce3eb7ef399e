#include "accesslog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>

#include "main.h"
#include "misc.h"

namespace {

constexpr const char *CACHECODE_NAMES[] = {
    "UNSPECIFIED",    "TCP_HIT",          "TCP_MISS",          "TCP_REFRESH_HIT",
    "TCP_REF_FAIL_HIT", "TCP_REFRESH_MISS", "TCP_CLIENT_REFRESH", "TCP_IMS_HIT",
    "TCP_IMS_MISS",   "TCP_DENIED",       "UDP_HIT",           "UDP_MISS",
    "UDP_HIT_OBJ",    "UDP_DENIED",       "UDP_INVALID",       "DNS_FAILED",
    "TCP_CONNECTION_FAILED",
};

constexpr const char *PEERCODE_NAMES[] = {
    "NONE",
    "DIRECT",
    "FIREWALL_IP_DIRECT",
    "FIRST_PARENT_MISS",
    "FIRST_UP_PARENT",
    "LOCAL_IP_DIRECT",
    "SIBLING_HIT",
    "NO_DIRECT_FAIL",
    "NO_PARENT_DIRECT",
    "PARENT_HIT",
    "SINGLE_PARENT",
    "SOURCE_FASTEST",
    "PARENT_UDP_HIT_OBJ",
    "SIBLING_UDP_HIT_OBJ",
    "PASSTHROUGH_PARENT",
    "SSL_PARENT_MISS",
    "DEFAULT_PARENT",
    "ROUNDROBIN_PARENT",
    "CLOSEST_PARENT_MISS",
    "CLOEST_DIRECT",
};

static_assert(std::size(CACHECODE_NAMES) == CACHECODE_TCP_CONNECTION_FAILED + 1);
static_assert(std::size(PEERCODE_NAMES) == PEERCODE_CLOEST_DIRECT + 1);

LogFile access_log;
LogFile extended_log;

void access_legend(LogFile &file) { file.write_locked(ACCESSLOG_LEGEND); }
void extended_legend(LogFile &file) { file.write_locked(EXTLOG_LEGEND); }

struct timeval now_timeval() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  return tv;
}

long long start_seconds(const struct timeval &t) { return static_cast<long long>(t.tv_sec); }
int start_millis(const struct timeval &t) {
  long ms = static_cast<long>(t.tv_usec) / 1000;
  return ms < 0 ? 0 : ms > 999 ? 999 : static_cast<int>(ms);
}

// Writes one record to `file`; on failure says why in the diagnostic log. LogFile drops
// the record in both cases (and keeps the file); a probe open tells a file that cannot be
// opened from one that could not take the write.
bool write_record(LogFile &file, const std::string &line, void (*legend)(LogFile &),
                  const char *function, bool extended) {
  if (file.path().empty()) return false;
  std::size_t dropped = 0;
  if (file.write(line + "\n", legend, &dropped)) return true;
  int write_errno = errno;
  const std::string &path = file.path();
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    int e = errno;
    if (extended)
      putlog(LOG_ERROR, "[system: s_open64:%d:%s], in %s, unable to open file %s", e,
             std::strerror(e), function, path.c_str());
    else
      putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, unable to open logfile %s", e,
             std::strerror(e), function, path.c_str());
  } else {
    ::close(fd);
    putlog(LOG_ERROR, "[system: write:%d:%s], in %s, unable to write to %s; %zu record%s dropped",
           write_errno, std::strerror(write_errno), function, path.c_str(), dropped,
           dropped == 1 ? "" : "s");
  }
  return false;
}

}  // namespace

const char *cachecode_name(int code) {
  if (code < 0 || code >= static_cast<int>(std::size(CACHECODE_NAMES))) return CACHECODE_NAMES[0];
  return CACHECODE_NAMES[code];
}

const char *peercode_name(int code) {
  if (code < 0 || code >= static_cast<int>(std::size(PEERCODE_NAMES))) return PEERCODE_NAMES[0];
  return PEERCODE_NAMES[code];
}

std::string log_field(std::string_view value, LogFieldStyle style) {
  if (value.empty()) return "-";
  auto plain = [style](unsigned char c) {
    return c >= 0x20 && c != 0x7f && (c != ' ' || style == LOGFIELD_TEXT) && c != '"' &&
           !(c == '\\' && style != LOGFIELD_BARE);
  };
  if (value.size() <= LOG_FIELD_MAX &&
      std::all_of(value.begin(), value.end(), [&](char c) { return plain(static_cast<unsigned char>(c)); }))
    return std::string(value);  // the usual case: nothing to escape
  std::string out;
  out.reserve(std::min(value.size(), LOG_FIELD_MAX));
  char hex[4];
  for (unsigned char c : value) {
    const char *piece = nullptr;
    std::size_t n = 1;
    if (c < 0x20 || c == 0x7f || (c == ' ' && style != LOGFIELD_TEXT) ||
        (c == '"' && style == LOGFIELD_BARE)) {
      std::snprintf(hex, sizeof hex, "%%%02x", c);
      piece = hex;
      n = 3;
    } else if ((c == '"' || c == '\\') && (style == LOGFIELD_QUOTED || style == LOGFIELD_TEXT)) {
      hex[0] = '\\';
      hex[1] = static_cast<char>(c);
      piece = hex;
      n = 2;
    }
    // An escape is never split by the cut.
    if (out.size() + n > LOG_FIELD_MAX) break;
    if (piece)
      out.append(piece, n);
    else
      out.push_back(static_cast<char>(c));
  }
  return out;
}

LogEntry::LogEntry() { Reset(); }

void LogEntry::Reset() {
  cachecode_ = CACHECODE_UNSPECIFIED;
  peercode_ = PEERCODE_NONE;
  start = now_timeval();
  status = 0;
  size = 0;
  // Method, user agent and referer are per request too: a request that lacks them must not
  // be logged with the previous request's values.
  method = "-";
  url = "-";
  peerhost = "-";
  mime = "-";
  useragent = "-";
  referer = "-";
  filter = "-";
  reason = "-";
  profiles = "-";
}

std::string LogEntry::Build() const { return Build(now_timeval()); }

std::string LogEntry::Build(const struct timeval &end) const {
  auto f = [](std::string_view v) { return log_field(v, LOGFIELD_PLAIN); };
  char head[128];
  std::snprintf(head, sizeof head, "%lld.%.3d %" PRIu64 " ", start_seconds(start),
                start_millis(start), timeval_diff_ms(start, end));
  std::string line = head;
  line += f(client);
  line += ' ';
  line += cachecode_name(cachecode_);
  line += '/';
  line += std::to_string(status);
  line += ' ';
  line += std::to_string(size);
  line += ' ';
  line += f(method);
  line += ' ';
  line += f(url);
  line += ' ';
  line += f(username);
  line += ' ';
  line += peercode_name(peercode_);
  line += '/';
  line += f(peerhost);
  line += ' ';
  line += f(mime);
  return line;
}

std::string LogEntry::apache_Build() const { return apache_Build(now_timeval()); }

std::string LogEntry::apache_Build(const struct timeval &end) const {
  auto q = [](std::string_view v) { return log_field(v, LOGFIELD_QUOTED); };
  auto bare = [](std::string_view v) { return log_field(v, LOGFIELD_BARE); };
  auto text = [](std::string_view v) { return log_field(v, LOGFIELD_TEXT); };

  char date[64];
  time_t secs = end.tv_sec;
  struct tm tmv;
  localtime_r(&secs, &tmv);
  if (std::strftime(date, sizeof date, "[%d/%b/%Y:%H:%M:%S]", &tmv) == 0) date[0] = '\0';

  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%lld.%.3d-%u-", start_seconds(start), start_millis(start),
                client_id);
  std::string ifc = q(interface), prt = q(port);

  std::string line = "\"";
  line += stamp;
  line += ifc;
  line += '-';
  line += prt;
  line += "\" ";
  line += std::to_string(timeval_diff_ms(start, end));
  line += ' ';
  line += bare(client);
  line += " \"";
  line += q(username);
  line += "\" \"";
  line += std::to_string(client_id);
  line += "\" ";
  line += date;
  line += " \"";
  line += q(method);
  line += ' ';
  line += q(url);
  line += "\" ";
  line += std::to_string(status);
  line += ' ';
  line += std::to_string(size);
  line += " \"";
  line += q(referer);
  line += "\" \"";
  line += text(useragent);
  line += "\" ";
  line += bare(mime);
  line += " \"";
  line += q(filter);
  line += ' ';
  line += text(reason);
  line += "\" \"";
  line += q(profiles);
  line += "\" \"";
  line += ifc;
  line += ':';
  line += prt;
  line += '"';
  return line;
}

bool LogEntry::Write() const {
  if (access_log.path().empty()) return false;
  return write_record(access_log, Build(), access_legend, "Write", false);
}

bool LogEntry::apache_Write() const {
  if (extended_log.path().empty()) return false;
  return write_record(extended_log, apache_Build(), extended_legend, "apache_Write", true);
}

void accesslog_init() {
  static std::once_flag registered;
  access_log.set_path(slogfile);
  extended_log.set_path(elogfile);
  // logrotate() rotates them in this order, after the diagnostic log.
  std::call_once(registered, [] {
    log_register_rotating(&access_log);
    log_register_rotating(&extended_log);
  });
}

LogFile &accesslog_file() { return access_log; }
LogFile &extlog_file() { return extended_log; }
