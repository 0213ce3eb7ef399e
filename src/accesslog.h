// Access logs: the per-request record (LogEntry) and its two writers, the native access
// log (one blank-separated line per request) and the extended log (quoted fields).
//
// Both files go through LogFile (log.h): lazy open, legend on a new file, size rotation
// and SIGUSR1 rotation with the old-log action of the diagnostic log.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log.h"

// Outcome of the cache for one request; other values print as "UNSPECIFIED".
enum LogCacheCode : int {
  CACHECODE_UNSPECIFIED = 0,
  CACHECODE_TCP_HIT = 1,
  CACHECODE_TCP_MISS = 2,
  CACHECODE_TCP_REFRESH_HIT = 3,
  CACHECODE_TCP_REF_FAIL_HIT = 4,
  CACHECODE_TCP_REFRESH_MISS = 5,
  CACHECODE_TCP_CLIENT_REFRESH = 6,
  CACHECODE_TCP_IMS_HIT = 7,
  CACHECODE_TCP_IMS_MISS = 8,
  CACHECODE_TCP_DENIED = 9,
  CACHECODE_UDP_HIT = 10,
  CACHECODE_UDP_MISS = 11,
  CACHECODE_UDP_HIT_OBJ = 12,
  CACHECODE_UDP_DENIED = 13,
  CACHECODE_UDP_INVALID = 14,
  CACHECODE_DNS_FAILED = 15,
  CACHECODE_TCP_CONNECTION_FAILED = 16,
};

// How the object was fetched; other values print as "NONE".
enum LogPeerCode : int {
  PEERCODE_NONE = 0,
  PEERCODE_DIRECT = 1,
  PEERCODE_FIREWALL_IP_DIRECT = 2,
  PEERCODE_FIRST_PARENT_MISS = 3,
  PEERCODE_FIRST_UP_PARENT = 4,
  PEERCODE_LOCAL_IP_DIRECT = 5,
  PEERCODE_SIBLING_HIT = 6,
  PEERCODE_NO_DIRECT_FAIL = 7,
  PEERCODE_NO_PARENT_DIRECT = 8,
  PEERCODE_PARENT_HIT = 9,
  PEERCODE_SINGLE_PARENT = 10,
  PEERCODE_SOURCE_FASTEST = 11,
  PEERCODE_PARENT_UDP_HIT_OBJ = 12,
  PEERCODE_SIBLING_UDP_HIT_OBJ = 13,
  PEERCODE_PASSTHROUGH_PARENT = 14,
  PEERCODE_SSL_PARENT_MISS = 15,
  PEERCODE_DEFAULT_PARENT = 16,
  PEERCODE_ROUNDROBIN_PARENT = 17,
  PEERCODE_CLOSEST_PARENT_MISS = 18,
  PEERCODE_CLOEST_DIRECT = 19,
};

const char *cachecode_name(int code);
const char *peercode_name(int code);

// Peer host of pages the proxy makes itself.
inline constexpr const char *LOG_PEER_SELF = "quillmoss";

// Longest text one field may take in a line, after escaping; longer values are cut so a
// hostile header cannot make a record unbounded.
constexpr std::size_t LOG_FIELD_MAX = 4096;

// First line of a new file.
inline constexpr const char *ACCESSLOG_LEGEND =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url "
    "username peercode/peer mime\n";
inline constexpr const char *EXTLOG_LEGEND =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method "
    "proto://url\" status size \"http_referer\" \"useragent\" mime \"filter_name "
    "filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
    "\"interface_ip:interface_port\n";

// How a field is written so that it cannot change the layout of its line. Every style
// writes an empty value as "-", control characters (CR, LF, NUL, ...) as "%" and two
// lower-case hex digits, and cuts the result at LOG_FIELD_MAX.
enum LogFieldStyle : int {
  LOGFIELD_PLAIN,   // native log: a blank becomes "%20"
  LOGFIELD_BARE,    // unquoted field of the extended log: also '"' becomes "%22"
  LOGFIELD_QUOTED,  // quoted field: a blank becomes "%20", '"' and '\' get a backslash
  LOGFIELD_TEXT,    // quoted free text (user agent, reason): blanks stay
};
std::string log_field(std::string_view value, LogFieldStyle style);

// The access-log record of one request. A connection embeds one (`log_entry`); the request
// loop calls Reset() at the start of every request, the pipeline fills the fields, and
// whoever ends the request calls Write() and apache_Write(). Not locked: it belongs to the
// thread serving the connection.
class LogEntry {
 public:
  LogEntry();

  // Per-request reset. The client address, the user name, the client id and the listener
  // fields are kept: they belong to the connection and are overwritten when they change.
  void Reset();

  void set_cachecode(int code) { cachecode_ = code; }
  void set_peercode(int code) { peercode_ = code; }
  int cachecode() const { return cachecode_; }
  int peercode() const { return peercode_; }

  // The native line (no newline), with the end time `end` or now.
  std::string Build() const;
  std::string Build(const struct timeval &end) const;
  // The extended line (no newline); its date is the local time of `end`.
  std::string apache_Build() const;
  std::string apache_Build(const struct timeval &end) const;

  // Append one line to the access log / extended log. Nothing happens without a path (-a,
  // -e). Returns true when the record was written.
  bool Write() const;
  bool apache_Write() const;

  std::string client = "-";   // client address, or the request's X-Forwarded-For value
  struct timeval start = {};  // start of the request
  int status = 0;             // HTTP status answered
  std::uint64_t size = 0;     // body bytes sent to the client
  std::string method;
  std::string url = "-";
  std::string username = "-";
  std::string peerhost = "-";  // LOG_PEER_SELF for pages made by the proxy
  std::string mime = "-";
  std::string useragent = "-";
  std::string referer = "-";
  std::string filter = "-";    // name of the refusing part
  std::string reason = "-";    // reason of a refusal
  std::string profiles = "-";  // the request's profiles joined with ","
  std::string interface;       // local address of the listener
  std::string port;            // local port of the listener
  unsigned client_id = 0;

 private:
  int cachecode_ = CACHECODE_UNSPECIFIED;
  int peercode_ = PEERCODE_NONE;
};

// Sets the access and extended log paths from the settings `slogfile` and `elogfile` and
// registers both files with logrotate(). Called at start-up; calling it again takes new
// paths (the files open with their next record).
void accesslog_init();

// The two files, exposed for rotation and for the tests.
LogFile &accesslog_file();
LogFile &extlog_file();
