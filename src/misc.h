// Small shared routines: bounded copies, string lists, URL parsing and encoding, HTML
// escaping, time ranges of rules, time and size formatters, FTP PORT/PASV addresses.
//
// Every routine here is thread-safe and takes untrusted text: lengths are bounded, nothing
// reads past the end of its argument, and results are owned by the caller (values, no
// heap pointers).
#pragma once

#include <netinet/in.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- bounded C strings (fixed buffers at the edges of the program) ------------------------

// Copies at most size-1 characters of src into dst and always terminates it (size 1 gives an
// empty string; size 0 writes nothing, as there is no room even for the terminator). A null
// src copies as an empty string. Returns dst.
char *s_strncpy(char *dst, const char *src, std::size_t size);
// The same bound for std::string: the first size-1 characters of src (empty for size 0 or 1).
std::string s_strncpy(std::string_view src, std::size_t size);

// Appends as much of src to the terminated string in dst as fits in size bytes with the
// terminator. A dst with no terminator within size bytes is left untouched. Returns dst.
char *s_strncat(char *dst, const char *src, std::size_t size);

// Length of s, at most max; 0 for a null pointer.
std::size_t s_strnlen(const char *s, std::size_t max);

// Replaces every c with r; with r == '\0' the string is cut at the first c instead.
void s_strip_char(std::string &s, char c, char r);
void s_strip_char(char *s, char c, char r);  // in a terminated buffer; null is ignored

// Position of the first ASCII case-insensitive occurrence of needle in hay, or npos.
// An empty needle is found at 0.
std::size_t s_strcasestr(std::string_view hay, std::string_view needle);

// ASCII case conversion in place (independent of the locale); return s.
std::string &string_tolower(std::string &s);
std::string &string_toupper(std::string &s);

// Appends t to s; returns s.
std::string &string_append(std::string &s, std::string_view t);

// Splits s at c. Runs of c count as one separator and empty pieces are dropped, except that
// a text made only of c (or empty) gives one empty string: the result is never empty.
std::vector<std::string> string_break(std::string_view s, char c);

// ---- string lists -------------------------------------------------------------------------

using StringArray = std::vector<std::string>;

bool array_find(const StringArray &array, std::string_view s);  // an equal element exists
void array_add(StringArray &array, std::string_view s);         // appends a copy
void array_delete(StringArray &array, std::string_view s);      // removes every equal element
std::string array_merge(const StringArray &array, char c);      // elements joined by c

// ---- small predicates and converters ------------------------------------------------------

// True for a dotted-quad IPv4 address: exactly four decimal fields of 1 to 3 digits, each
// 0 to 255, and nothing else ("01.2.3.4" is one, "256.1.1.1" and "1..2.3" are not).
bool isip(std::string_view s);

// True when the first n characters of s (or all of it) hold no printable character other
// than space.
bool isempty(std::string_view s, std::size_t n = std::string_view::npos);

// The bytes of s as unsigned characters (no terminator); empty for an empty s.
std::vector<unsigned char> signed_to_unsigned_char(std::string_view s);

// 2 to the power n: 1 for n <= 0; n above 63 is taken as 63 (the largest power that fits).
std::uint64_t xpow(int n);

// ---- HTML ---------------------------------------------------------------------------------

// Flags of string_to_html; the four HTML characters (" < > &) are always escaped.
enum HtmlFlag : int {
  HTML_NEWLINES = 1,   // "\n" becomes "<br>"
  HTML_SPACES = 2,     // " " becomes "&nbsp;"
  HTML_BACKSLASH = 4,  // each of ';.?/\[]{}()+*|$ is preceded by a backslash
};

// Line length at which string_to_html(s, HTML_NEWLINES) breaks long lines; below 1 no break
// is inserted. Kept in step with the general section's setting.
extern int html_line_length;

// Escapes s for an HTML page (see HtmlFlag). When flags is exactly HTML_NEWLINES, a "<br>" is
// also inserted after every html_line_length characters of a line; a space restarts the
// count (long words are cut, text with spaces is left to the browser) and so does a newline.
std::string string_to_html(std::string_view s, int flags = 0);

// Navigation line for a directory path: a link to "/" and then one link per path element,
// each to the cumulative path ending in "/" ("<a href=\"/pub/\">pub/</a>"). The element texts
// are HTML-escaped. "/" or an empty path gives only the root link.
std::string path_to_url(std::string_view path);

// ---- URLs ---------------------------------------------------------------------------------

constexpr std::size_t URL_PATH_MAX = 2047;        // longer paths are cut by url_path_fix
constexpr std::size_t URL_CREDENTIAL_MAX = 128;   // longer user names or passwords: no URL
constexpr int URL_PORT_MAX = 65535;

struct URL {
  std::optional<std::string> username;  // as written (not URL-decoded); set with password
  std::optional<std::string> password;
  std::string proto;  // scheme, lower case
  std::string host;   // lower case, never empty
  std::string file;   // path, begins with "/"
  int port = 0;       // 1..65535, or protocol_port(proto) when the URL gave none (may be 0)

  bool operator==(const URL &) const = default;
};

// Parses "scheme://[user:password@]host[:port][/path]". Rejected (nullopt): no scheme or a
// scheme with characters other than letters, digits, "+", "-", "."; no "://" after it;
// credentials without both a non-empty user and a non-empty password, or longer than
// URL_CREDENTIAL_MAX; an empty host; a port that is not a decimal number in 1..65535
// directly followed by "/" or the end. Credentials come only from the authority (the text
// up to the first "/"): it is split at its last "@", user and password at the first ":".
// The host is stripped of control characters and spaces; the path goes through
// url_path_fix ("/" when absent).
std::optional<URL> url_parse(std::string_view text);

// "proto://host:port/file"; "proto://host/file" for port 0 (a scheme without a known
// default port), so that the text always parses back. Credentials are never written.
std::string url_create(const URL &url);

// Releases a parsed URL (kept for callers that hold one in a longer-lived record).
inline void url_free(std::optional<URL> &url) { url.reset(); }

// Encodes at most n characters of s: space becomes "+"; ",-./", digits, ASCII letters and
// bytes 128..255 stay; every other byte (including "+") becomes "%" and two lower-case hex
// digits, so that url_decode(url_encode(s)) == s.
std::string url_encode(std::string_view s, std::size_t n = std::string_view::npos);

// Decodes at most n characters of s: "+" becomes a space, "%" followed by two hex digits
// becomes that byte, except "%00", which stays as written (no NUL is ever produced); any
// other "%" is copied as it is.
std::string url_decode(std::string_view s, std::size_t n = std::string_view::npos);

// Removes every byte below "!" (controls and space) in place.
void url_strip(std::string &s);

// A path cut to URL_PATH_MAX characters and at the first "#", then url_strip-ped.
std::string url_path_fix(std::string_view path);

// Default port of a scheme: 80 for "http", 21 for "ftp" (case-insensitive), else 0.
int protocol_port(std::string_view scheme);

// ---- time ranges of rules -----------------------------------------------------------------

// A partial point in time: each part counts only when set. Values follow struct tm: year
// since 1900, month 0..11, day of month 1..31, weekday 0 = Sunday, hour 0..23, minute 0..59.
struct tm_partial {
  struct Part {
    bool set = false;
    int value = 0;
  };
  Part year, month, day, weekday, hour, minute;
};

// One span from `from` to `to`, compared as dates part by part (year, month, day, weekday,
// hour, then minute) over the set parts only; both ends are inside. A bound with no set part
// does not limit its side.
bool in_absolutetimerange(const struct tm &t, const tm_partial &from, const tm_partial &to);

// A repeating window: every set part among year, month, day and weekday lies within its own
// bounds, and the time of day (hour and minute together) lies between from's and to's, ends
// included; an unset hour leaves only the minute to compare. Windows that wrap (22:00 to
// 06:00, Friday to Monday) contain nothing.
bool in_alltimerange(const struct tm &t, const tm_partial &from, const tm_partial &to);

// "January".."December" for 1..12, "Sunday".."Saturday" for 1..7, else "Invalid".
const char *month_name(int month);
const char *weekday_name(int weekday);

// Milliseconds from a to b; 0 when b is before a.
std::uint64_t timeval_diff_ms(const struct timeval &a, const struct timeval &b);
// Sign of a - b: the difference in seconds, or in microseconds when the seconds are equal.
long timeval_cmp(const struct timeval &a, const struct timeval &b);
// A duration as "HH:MM:SS.hh" (hours, minutes, seconds, hundredths); negative gives zero.
std::string timeval_to_string(const struct timeval &t);

// Seconds to add to a local wall-clock time to get UTC (like POSIX `timezone`: positive
// west of Greenwich, -3600 for Central European winter time, 0 on a UTC host). Computed
// once at start-up by gmtoffset_compute(); read-only afterwards.
extern long gmtoffset;
// Sets gmtoffset from the offset the C library applies to the current local time
// (tm_gmtoff of localtime_r, daylight saving included), and returns it. Computed once, so
// a daylight-saving change while running is not followed: the cache's time stamps must not
// jump, and the HTTP dates they are compared with are converted with the same offset.
long gmtoffset_compute();

// The time base of the cache: time() plus gmtoffset, which is what mktime gives for the
// broken-down UTC time of now. Also stored in *out when out is not null.
time_t utc_time(time_t *out = nullptr);
// mktime(tm) minus gmtoffset: seconds since the epoch of a broken-down UTC time (such as an
// HTTP date). mktime normalises *tm.
time_t local_mktime(struct tm *tm);

// Human size: "%.1f B" below 1024, then KB, MB from 1048576, GB from 1073741824.
std::string filesize(std::uint64_t n);

// ---- FTP ----------------------------------------------------------------------------------

// Address of a PASV answer or PORT argument: six comma-separated decimal numbers 0..255
// (h1..h4, p1, p2; spaces before a number are allowed), giving h1.h2.h3.h4 port p1*256+p2.
// The sixth number may be followed by anything but a digit or a comma (the ")" of a 227
// line). Other texts give nullopt.
std::optional<sockaddr_in> ftpport_parse(std::string_view text);
// "h1,h2,h3,h4,p1,p2" of an IPv4 address, most significant bytes first.
std::string ftpport_create(const sockaddr_in &address);

// Permission bits of an ls mode text ("drwxr-sr-t"); 0 for texts shorter than 10 characters.
mode_t mode_parse(std::string_view text);
