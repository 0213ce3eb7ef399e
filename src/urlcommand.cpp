#include "urlcommand.h"

#include <optional>

#include "header.h"
#include "log.h"
#include "misc.h"

namespace {

constexpr std::string_view LABEL_START = "xx--";

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i++)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

struct Label {
  std::size_t length;  // label and its "."
  std::string_view name;
  std::string_view options;
  bool has_options;
};

// The command label at the start of text. Options may hold dots: a "[" before the label's
// first "." opens them, and the label ends at the first "." after the matching "]".
std::optional<Label> label_at(std::string_view text) {
  if (text.size() < LABEL_START.size() || !iequals(text.substr(0, LABEL_START.size()), LABEL_START))
    return std::nullopt;
  std::string_view rest = text.substr(LABEL_START.size());
  const std::size_t dot = rest.find('.'), open = rest.find('[');
  Label l{0, {}, {}, false};
  std::size_t end = dot;
  if (open != std::string_view::npos && (dot == std::string_view::npos || open < dot)) {
    l.name = rest.substr(0, open);
    std::size_t close = rest.find(']', open + 1);
    if (close != std::string_view::npos) {
      l.options = rest.substr(open + 1, close - open - 1);
      l.has_options = true;
      end = rest.find('.', close + 1);
    }
  } else {
    l.name = rest.substr(0, dot);
  }
  // Without its "." the label cannot be split off the host: it is no command.
  if (end == std::string_view::npos) return std::nullopt;
  l.length = LABEL_START.size() + end + 1;
  return l;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<int> port_of(std::string_view s) {
  if (s.empty() || s.size() > 5) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > URL_PORT_MAX) return std::nullopt;
  return v;
}

// Host and port of a request, from the URL or else from its Host line.
void request_authority(const HEADER &h, std::string *host, int *port) {
  *host = h.host;
  *port = h.port;
  if (!host->empty()) return;
  std::string_view hv = h.host_header;
  std::size_t colon = hv.find(':');
  *host = hv.substr(0, colon);
  if (colon != std::string_view::npos)
    if (std::optional<int> p = port_of(hv.substr(colon + 1))) *port = *p;
}

// Raw characters of s that decode (as header_percent_decode does) to its first n characters.
std::size_t raw_length_of_decoded(std::string_view s, std::size_t n) {
  auto hex = [](char c) {
    c = lower(c);
    return is_digit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
  };
  std::size_t i = 0;
  for (std::size_t done = 0; done < n && i < s.size(); done++) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hex(s[i + 1]), lo = hex(s[i + 2]);
      if (hi >= 0 && lo >= 0 && (hi | lo) != 0) {
        i += 3;
        continue;
      }
    }
    i++;
  }
  return i;
}

bool is_absolute(std::string_view url) {
  std::size_t p = url.find("://");
  if (p == std::string_view::npos || p == 0) return false;
  for (char c : url.substr(0, p))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '+' ||
          c == '-' || c == '.'))
      return false;
  return true;
}

}  // namespace

std::size_t url_command_prefix_length(std::string_view text) {
  std::size_t total = 0;
  while (std::optional<Label> l = label_at(text.substr(total))) total += l->length;
  return total;
}

UrlCommandList url_command_parse(std::string &text) {
  UrlCommandList list;
  std::size_t total = 0;
  std::string_view view = text;
  while (std::optional<Label> l = label_at(view.substr(total))) {
    list.push_back({std::string(l->name), std::string(l->options), l->has_options});
    total += l->length;
  }
  text.erase(0, total);
  return list;
}

std::string url_command_create(const UrlCommandList &list) {
  std::string out;
  for (const url_command_t &c : list) {
    out += LABEL_START;
    out += c.name;
    if (c.has_options) out += "[" + c.options + "]";
    out += '.';
  }
  return out;
}

const url_command_t *url_command_find(const UrlCommandList &list, std::string_view name) {
  for (const url_command_t &c : list)
    if (iequals(c.name, name)) return &c;
  return nullptr;
}

void url_command_log(const UrlCommandList &list) {
  for (const url_command_t &c : list) {
    if (c.has_options)
      putlog(LOG_URLCOMMAND, "command: %s, options: %s", c.name.c_str(), c.options.c_str());
    else
      putlog(LOG_URLCOMMAND, "command: %s", c.name.c_str());
  }
}

std::string url_command_redirect_location(const HEADER &request, const UrlCommandList &list) {
  std::string host;
  int port = 0;
  request_authority(request, &host, &port);
  return request.proto + "://" + url_command_create(list) + host + ":" + std::to_string(port) +
         request.file;
}

int url_command_extract(CONNECTION_T *conn) {
  conn->url_commands.clear();
  HEADER *h = conn->header.get();
  if (!h) return 1;

  UrlCommandList own;
  if (h->type == HEADER_TRANSPARENT) {
    if (!h->host_header.empty()) {
      own = url_command_parse(h->host_header);
    } else if (h->file.size() > 1 && h->file[0] == '/') {
      std::size_t slash = h->file.find('/', 1);
      if (slash != std::string::npos) {
        std::string element = header_percent_decode(std::string_view(h->file).substr(1, slash - 1));
        own = url_command_parse(element);
        if (!own.empty()) h->file.erase(0, slash);
      }
    }
  } else {
    own = url_command_parse(h->host);
    if (!own.empty()) header_complete(h);
  }

  if (!h->referer.empty()) {
    std::string_view ref = h->referer;
    std::size_t sep = ref.find("://");
    std::string_view after = sep == std::string_view::npos ? ref : ref.substr(sep + 3);
    std::string decoded = header_percent_decode(after);
    std::size_t prefix = url_command_prefix_length(decoded);
    if (prefix > 0) {
      UrlCommandList inherited = url_command_parse(decoded);
      // The rest of the Referer keeps its own escapes: only the labels are cut off.
      h->referer = h->proto + "://" + std::string(after.substr(raw_length_of_decoded(after, prefix)));
      if (own.empty()) {
        if (!iequals(h->method, "GET") || (h->host.empty() && h->host_header.empty())) {
          own = std::move(inherited);
        } else {
          auto r = header_new();
          r->type = HEADER_RESPONSE;
          r->version = 2;
          r->code = 302;
          r->location = url_command_redirect_location(*h, inherited);
          r->content_length = 0;
          r->flags = HDR_LENGTH;
          r->host = h->host;
          r->file = h->file;
          putlog(LOG_DEBUG | LOG_URLCOMMAND, "%s:%d commands of the referring page: %s",
                 "url_command_extract", __LINE__, r->location.c_str());
          header_send(r.get(), conn, 0, HEADER_SEND_CLIENT);
          return 0;
        }
      }
    }
  }
  conn->url_commands = std::move(own);
  return 1;
}

std::string url_command_add(const CONNECTION_T *conn, std::string_view url) {
  if (!conn->header) return std::string(url);
  const HEADER &h = *conn->header;
  std::string host;
  int port = 0;
  request_authority(h, &host, &port);
  const std::string origin = h.proto + "://" + url_command_create(conn->url_commands);
  const std::string here = origin + host + ":" + std::to_string(port);
  std::string out;
  if (is_absolute(url)) {
    out = origin + std::string(url.substr(url.find("://") + 3));
  } else if (url.starts_with("//")) {
    out = origin + std::string(url.substr(2));
  } else if (url.starts_with("/")) {
    out = here + std::string(url);
  } else if (url.starts_with("?")) {
    out = here + h.file.substr(0, h.file.find('?')) + std::string(url);
  } else {
    std::string_view path = std::string_view(h.file).substr(0, h.file.find('?'));
    std::size_t last = path.rfind('/');
    out = here + std::string(last == std::string_view::npos ? "/" : path.substr(0, last + 1)) +
          std::string(url);
  }
  if (out.size() > URLCOMMAND_URL_MAX) return std::string(url);
  return out;
}

void bypass_check(CONNECTION_T *conn) {
  if (!(conn->access_flags & URLCOMMAND_ACCESS_BYPASS)) return;
  const url_command_t *c = url_command_find(conn->url_commands, "bypass");
  if (!c) return;
  if (!c->has_options) {
    conn->bypass = BYPASS_ALL;
    return;
  }
  static constexpr struct {
    char letter;
    uint32_t bit;
  } LETTERS[] = {
      {'f', BYPASS_URLFILTER}, {'h', BYPASS_HEADER},   {'m', BYPASS_MIME},
      {'r', BYPASS_REDIRECT},  {'c', BYPASS_COOKIE},   {'w', BYPASS_REWRITE},
      {'e', BYPASS_EXTERNAL},  {'p', BYPASS_FORWARD},  {'k', BYPASS_KEYWORD},
      {'d', BYPASS_DNSBL},     {'a', BYPASS_ANTIVIRUS}, {'i', BYPASS_ICAP},
  };
  bool set = true;
  for (char ch : c->options) {
    if (ch == '+') {
      set = true;
      continue;
    }
    if (ch == '-') {
      set = false;
      continue;
    }
    for (const auto &l : LETTERS)
      if (l.letter == lower(ch)) {
        if (set) conn->bypass |= l.bit;
        else conn->bypass &= ~l.bit;
      }
  }
}
