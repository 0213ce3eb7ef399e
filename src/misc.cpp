#include "misc.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "log.h"

int html_line_length = 0;
long gmtoffset = 0;

namespace {

constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

// Decimal digits only, no sign, at most max_digits of them and a value of at most max.
std::optional<unsigned> parse_bounded(std::string_view s, std::size_t max_digits, unsigned max) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  unsigned long value = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + unsigned(c - '0');
    if (value > max) return std::nullopt;
  }
  return unsigned(value);
}

void html_escape_into(std::string &out, char c) {
  switch (c) {
    case '"': out += "&quot;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '&': out += "&amp;"; break;
    default: out += c;
  }
}

std::string html_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) html_escape_into(out, c);
  return out;
}

}  // namespace

// ---- bounded C strings --------------------------------------------------------------------

char *s_strncpy(char *dst, const char *src, std::size_t size) {
  if (dst == nullptr || size == 0) return dst;
  std::size_t n = s_strnlen(src, size - 1);
  if (n > 0) std::memcpy(dst, src, n);
  dst[n] = '\0';
  return dst;
}

std::string s_strncpy(std::string_view src, std::size_t size) {
  if (size == 0) return {};
  return std::string(src.substr(0, size - 1));
}

char *s_strncat(char *dst, const char *src, std::size_t size) {
  if (dst == nullptr || size == 0) return dst;
  std::size_t len = s_strnlen(dst, size);
  if (len >= size) return dst;  // not terminated within size: nothing is safe to do
  std::size_t n = s_strnlen(src, size - 1 - len);
  if (n > 0) std::memcpy(dst + len, src, n);
  dst[len + n] = '\0';
  return dst;
}

std::size_t s_strnlen(const char *s, std::size_t max) {
  if (s == nullptr) return 0;
  const void *end = std::memchr(s, '\0', max);
  return end ? std::size_t(static_cast<const char *>(end) - s) : max;
}

void s_strip_char(std::string &s, char c, char r) {
  if (r == '\0') {
    std::size_t pos = s.find(c);
    if (pos != std::string::npos) s.resize(pos);
    return;
  }
  std::replace(s.begin(), s.end(), c, r);
}

void s_strip_char(char *s, char c, char r) {
  if (s == nullptr) return;
  for (; *s; s++) {
    if (*s != c) continue;
    if (r == '\0') {
      *s = '\0';
      return;
    }
    *s = r;
  }
}

std::size_t s_strcasestr(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return 0;
  if (needle.size() > hay.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= hay.size(); i++)
    if (iequals(hay.substr(i, needle.size()), needle)) return i;
  return std::string_view::npos;
}

std::string &string_tolower(std::string &s) {
  for (char &c : s) c = ascii_lower(c);
  return s;
}

std::string &string_toupper(std::string &s) {
  for (char &c : s) c = ascii_upper(c);
  return s;
}

std::string &string_append(std::string &s, std::string_view t) { return s.append(t); }

std::vector<std::string> string_break(std::string_view s, char c) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find(c, pos);
    if (end == std::string_view::npos) end = s.size();
    if (end > pos) pieces.emplace_back(s.substr(pos, end - pos));
    pos = end + 1;
  }
  if (pieces.empty()) pieces.emplace_back();
  return pieces;
}

// ---- string lists -------------------------------------------------------------------------

bool array_find(const StringArray &array, std::string_view s) {
  return std::find(array.begin(), array.end(), s) != array.end();
}

void array_add(StringArray &array, std::string_view s) { array.emplace_back(s); }

void array_delete(StringArray &array, std::string_view s) {
  std::erase_if(array, [s](const std::string &e) { return e == s; });
}

std::string array_merge(const StringArray &array, char c) {
  std::string out;
  for (std::size_t i = 0; i < array.size(); i++) {
    if (i > 0) out += c;
    out += array[i];
  }
  return out;
}

// ---- small predicates and converters ------------------------------------------------------

bool isip(std::string_view s) {
  constexpr int OCTETS = 4;
  for (int i = 0; i < OCTETS; i++) {
    std::size_t dot = s.find('.');
    bool last = i == OCTETS - 1;
    if (last != (dot == std::string_view::npos)) return false;
    if (!parse_bounded(s.substr(0, dot), 3, 255)) return false;
    if (!last) s.remove_prefix(dot + 1);
  }
  return true;
}

bool isempty(std::string_view s, std::size_t n) {
  s = s.substr(0, n);
  return std::none_of(s.begin(), s.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::vector<unsigned char> signed_to_unsigned_char(std::string_view s) {
  return std::vector<unsigned char>(s.begin(), s.end());
}

std::uint64_t xpow(int n) {
  if (n <= 0) return 1;
  return std::uint64_t(1) << std::min(n, 63);
}

// ---- HTML ---------------------------------------------------------------------------------

std::string string_to_html(std::string_view s, int flags) {
  constexpr std::string_view SCRIPT_SPECIALS = "';.?/\\[]{}()+*|$";
  const int line_length = flags == HTML_NEWLINES ? html_line_length : 0;
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  int column = 0;
  for (char c : s) {
    if ((flags & HTML_NEWLINES) && c == '\n') {
      out += "<br>";
      column = 0;
      continue;
    }
    if ((flags & HTML_SPACES) && c == ' ') {
      out += "&nbsp;";
    } else if ((flags & HTML_BACKSLASH) && SCRIPT_SPECIALS.find(c) != std::string_view::npos) {
      out += '\\';
      out += c;
    } else {
      html_escape_into(out, c);
    }
    if (line_length > 0) {
      if (c == ' ') column = 0;
      if (++column % line_length == 0) out += "<br>";
    }
  }
  return out;
}

std::string path_to_url(std::string_view path) {
  std::string out = "<a href=\"/\">/</a>";
  std::string cumulative = "/";
  for (const std::string &element : string_break(path, '/')) {
    if (element.empty()) continue;  // the root, already linked
    cumulative += element;
    cumulative += '/';
    std::string text = html_escape(element);
    out += "<a href=\"" + html_escape(cumulative) + "\">" + text + "/</a>";
  }
  return out;
}

// ---- URLs ---------------------------------------------------------------------------------

std::optional<URL> url_parse(std::string_view text) {
  URL url;

  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view scheme = text.substr(0, colon);
  if (!is_alpha(scheme[0])) return std::nullopt;
  for (char c : scheme)
    if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  url.proto = scheme;
  string_tolower(url.proto);

  std::string_view rest = text.substr(colon + 1);
  if (!rest.starts_with("//")) return std::nullopt;
  rest.remove_prefix(2);

  std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);

  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userinfo = authority.substr(0, at);
    std::size_t sep = userinfo.find(':');
    if (sep == std::string_view::npos) return std::nullopt;
    std::string_view user = userinfo.substr(0, sep), password = userinfo.substr(sep + 1);
    if (user.empty() || password.empty() || user.size() > URL_CREDENTIAL_MAX ||
        password.size() > URL_CREDENTIAL_MAX)
      return std::nullopt;
    url.username = std::string(user);
    url.password = std::string(password);
    authority.remove_prefix(at + 1);
  }

  std::size_t port_sep = authority.find(':');
  if (port_sep != std::string_view::npos) {
    // The port runs to the end of the authority, so anything but digits after it rejects.
    std::optional<unsigned> port =
        parse_bounded(authority.substr(port_sep + 1), 5, unsigned(URL_PORT_MAX));
    if (!port || *port == 0) return std::nullopt;
    url.port = int(*port);
    authority = authority.substr(0, port_sep);
  } else {
    url.port = protocol_port(url.proto);
  }

  url.host = authority;
  url_strip(url.host);
  string_tolower(url.host);
  if (url.host.empty()) return std::nullopt;

  url.file = path.empty() ? std::string("/") : url_path_fix(path);
  return url;
}

std::string url_create(const URL &url) {
  // Port 0 means the scheme has no known default; ":0" would not parse back.
  if (url.port == 0) return url.proto + "://" + url.host + url.file;
  return url.proto + "://" + url.host + ":" + std::to_string(url.port) + url.file;
}

std::string url_encode(std::string_view s, std::size_t n) {
  static constexpr char HEX[] = "0123456789abcdef";
  s = s.substr(0, n);
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == ' ') {
      out += '+';
    } else if ((c >= ',' && c <= '9') || is_alpha(ch) || c >= 0x80) {
      out += ch;
    } else {
      out += '%';
      out += HEX[c >> 4];
      out += HEX[c & 0xf];
    }
  }
  return out;
}

std::string url_decode(std::string_view s, std::size_t n) {
  s = s.substr(0, n);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); i++) {
    char c = s[i];
    if (c == '+') {
      out += ' ';
      continue;
    }
    if (c == '%' && i + 2 < s.size()) {
      int hi = hex_value(s[i + 1]), lo = hex_value(s[i + 2]);
      int byte = hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
      if (byte > 0) {  // "%00" stays as written
        out += char(byte);
        i += 2;
        continue;
      }
    }
    out += c;
  }
  return out;
}

void url_strip(std::string &s) {
  std::erase_if(s, [](char c) { return static_cast<unsigned char>(c) < '!'; });
}

std::string url_path_fix(std::string_view path) {
  path = path.substr(0, URL_PATH_MAX);
  path = path.substr(0, path.find('#'));
  std::string out(path);
  url_strip(out);
  return out;
}

int protocol_port(std::string_view scheme) {
  if (iequals(scheme, "http")) return 80;
  if (iequals(scheme, "ftp")) return 21;
  return 0;
}

// ---- time ranges --------------------------------------------------------------------------

namespace {

using TmField = int tm::*;
using PartField = tm_partial::Part tm_partial::*;

struct DatePart {
  PartField bound;
  TmField value;
};

// The date parts in the order of comparison; the minute is handled apart.
constexpr std::array<DatePart, 5> DATE_PARTS = {{
    {&tm_partial::year, &tm::tm_year},
    {&tm_partial::month, &tm::tm_mon},
    {&tm_partial::day, &tm::tm_mday},
    {&tm_partial::weekday, &tm::tm_wday},
    {&tm_partial::hour, &tm::tm_hour},
}};

// (hour, minute) for comparing a time of day with a bound, in that order; a part the bound
// leaves unset counts as 0 on both sides, so it never decides.
std::pair<int, int> time_of_day(const tm_partial &bound, int hour, int minute) {
  return {bound.hour.set ? hour : 0, bound.minute.set ? minute : 0};
}

}  // namespace

bool in_absolutetimerange(const struct tm &t, const tm_partial &from, const tm_partial &to) {
  bool after_from = false;
  for (const DatePart &p : DATE_PARTS) {
    const tm_partial::Part &b = from.*p.bound;
    if (!b.set) continue;
    if (t.*p.value < b.value) return false;
    if (t.*p.value > b.value) {
      after_from = true;
      break;
    }
  }
  if (!after_from && from.minute.set && t.tm_min < from.minute.value) return false;

  for (const DatePart &p : DATE_PARTS) {
    const tm_partial::Part &b = to.*p.bound;
    if (!b.set) continue;
    if (t.*p.value > b.value) return false;
    if (t.*p.value < b.value) return true;
  }
  return !to.minute.set || t.tm_min <= to.minute.value;
}

bool in_alltimerange(const struct tm &t, const tm_partial &from, const tm_partial &to) {
  // Year, month, day and weekday: the first four of DATE_PARTS.
  for (std::size_t i = 0; i < 4; i++) {
    const DatePart &p = DATE_PARTS[i];
    const tm_partial::Part &lo = from.*p.bound, &hi = to.*p.bound;
    if (lo.set && t.*p.value < lo.value) return false;
    if (hi.set && t.*p.value > hi.value) return false;
  }
  if (time_of_day(from, t.tm_hour, t.tm_min) < time_of_day(from, from.hour.value, from.minute.value))
    return false;
  return time_of_day(to, t.tm_hour, t.tm_min) <= time_of_day(to, to.hour.value, to.minute.value);
}

const char *month_name(int month) {
  static constexpr const char *NAMES[] = {"January", "February", "March",     "April",
                                          "May",     "June",     "July",      "August",
                                          "September", "October", "November", "December"};
  return month >= 1 && month <= 12 ? NAMES[month - 1] : "Invalid";
}

const char *weekday_name(int weekday) {
  static constexpr const char *NAMES[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
  return weekday >= 1 && weekday <= 7 ? NAMES[weekday - 1] : "Invalid";
}

// ---- time ---------------------------------------------------------------------------------

std::uint64_t timeval_diff_ms(const struct timeval &a, const struct timeval &b) {
  long long us = (static_cast<long long>(b.tv_sec) - a.tv_sec) * 1000000LL +
                 (static_cast<long long>(b.tv_usec) - a.tv_usec);
  return us <= 0 ? 0 : std::uint64_t(us / 1000);
}

long timeval_cmp(const struct timeval &a, const struct timeval &b) {
  if (a.tv_sec != b.tv_sec) return long(a.tv_sec - b.tv_sec);
  return long(a.tv_usec - b.tv_usec);
}

std::string timeval_to_string(const struct timeval &t) {
  long long sec = t.tv_sec < 0 ? 0 : static_cast<long long>(t.tv_sec);
  long hundredths = t.tv_sec < 0 || t.tv_usec < 0 ? 0 : long(t.tv_usec / 10000 % 100);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2lld:%.2lld:%.2lld.%.2ld", sec / 3600, sec / 60 % 60,
                sec % 60, hundredths);
  return buf;
}

long gmtoffset_compute() {
  // tm_gmtoff is what the C library itself uses for this zone now, daylight saving
  // included; a round trip through gmtime and mktime would depend on how mktime guesses
  // tm_isdst for a time that was never local.
  time_t now = time(nullptr);
  struct tm local {};
  gmtoffset = localtime_r(&now, &local) ? -local.tm_gmtoff : 0;
  return gmtoffset;
}

time_t utc_time(time_t *out) {
  time_t now = time(nullptr) + gmtoffset;
  if (out) *out = now;
  return now;
}

time_t local_mktime(struct tm *tm) { return mktime(tm) - gmtoffset; }

std::string filesize(std::uint64_t n) {
  constexpr std::uint64_t KB = 1024, MB = KB * 1024, GB = MB * 1024;
  char buf[64];
  if (n < KB)
    std::snprintf(buf, sizeof buf, "%.1f B", double(n));
  else if (n >= GB)
    std::snprintf(buf, sizeof buf, "%.1f GB", double(n) / double(GB));
  else if (n >= MB)
    std::snprintf(buf, sizeof buf, "%.1f MB", double(n) / double(MB));
  else
    std::snprintf(buf, sizeof buf, "%.1f KB", double(n) / double(KB));
  return buf;
}

// ---- FTP ----------------------------------------------------------------------------------

std::optional<sockaddr_in> ftpport_parse(std::string_view text) {
  constexpr int FIELDS = 6;
  std::array<unsigned, FIELDS> v{};
  std::size_t pos = 0;
  for (int i = 0; i < FIELDS; i++) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != ',') return std::nullopt;
      pos++;
    }
    while (pos < text.size() && text[pos] == ' ') pos++;
    std::size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) pos++;
    std::optional<unsigned> n = parse_bounded(text.substr(start, pos - start), 3, 255);
    if (!n) return std::nullopt;
    v[i] = *n;
  }
  if (pos < text.size() && text[pos] == ',') return std::nullopt;

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3]);
  address.sin_port = htons(static_cast<uint16_t>(v[4] << 8 | v[5]));
  return address;
}

std::string ftpport_create(const sockaddr_in &address) {
  std::uint32_t ip = ntohl(address.sin_addr.s_addr);
  unsigned port = ntohs(address.sin_port);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u,%u,%u,%u,%u,%u", ip >> 24, ip >> 16 & 0xff, ip >> 8 & 0xff,
                ip & 0xff, port >> 8, port & 0xff);
  putlog(LOG_DEBUG, "ftp: ftpport_create: %s", buf);
  return buf;
}

mode_t mode_parse(std::string_view text) {
  constexpr std::size_t MODE_TEXT_MIN = 10;
  if (text.size() < MODE_TEXT_MIN) return 0;
  struct Group {
    mode_t read, write, exec, special;
    char special_exec, special_only;  // letters for "execute + special" and "special only"
  };
  static constexpr Group GROUPS[3] = {
      {S_IRUSR, S_IWUSR, S_IXUSR, S_ISUID, 's', 'S'},
      {S_IRGRP, S_IWGRP, S_IXGRP, S_ISGID, 's', 'S'},
      {S_IROTH, S_IWOTH, S_IXOTH, S_ISVTX, 't', 'T'},
  };
  mode_t mode = 0;
  for (int g = 0; g < 3; g++) {
    const Group &group = GROUPS[g];
    std::string_view bits = text.substr(1 + 3 * g, 3);
    if (bits[0] == 'r') mode |= group.read;
    if (bits[1] == 'w') mode |= group.write;
    if (bits[2] == 'x') mode |= group.exec;
    if (bits[2] == group.special_exec) mode |= group.exec | group.special;
    if (bits[2] == group.special_only) mode |= group.special;
  }
  return mode;
}
