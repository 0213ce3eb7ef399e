// HTTP message heads: the parsed record, reading heads from sockets, parsing requests and
// responses, and writing heads back in the proxy's own order.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

// One header line. `pass` lines are copied by the writer; lines whose value lives in a slot
// of HEADER, and dropped lines, are kept with `pass` false.
struct HTTP_HEADER {
  bool pass = true;
  std::string name;
  std::string value;
};

enum HeaderType : int {
  HEADER_CONNECT = 0,
  HEADER_RESPONSE = 1,
  HEADER_PROXY = 2,
  HEADER_TRANSPARENT = 3,
  HEADER_ICAP_REQUEST = 4,
  HEADER_ICAP_RESPONSE = 5,
  HEADER_ICAP_RESPONSE2 = 6,
};

enum HeaderFlag : int {
  HDR_FILTERED = 0x1,
  HDR_LENGTH = 0x2,
  HDR_DEFAULTPORT = 0x4,
  HDR_PRIVATE = 0x8,
  HDR_COOKIE = 0x10,
};

// A parsed message head. Absent values are empty strings; `has_*`-style questions are
// answered by emptiness, except where a flag says so (HDR_LENGTH for content_length).
struct HEADER {
  std::string raw;
  std::string url;
  int type = 0;
  int version = 0;
  int port = 0;
  int code = -1;
  uint64_t content_length = 0;  // valid when HDR_LENGTH is set
  int chunked = 0;
  int keep_alive = -1;
  int proxy_keep_alive = -1;
  std::string username, password;
  std::string method, proto, host, file;
  std::string referer, user_agent, location, content_type, content_encoding, accept_encoding,
      www_authenticate, authorization, range, proxy_authenticate, proxy_authorization,
      host_header, mime, cache_control, expires, if_modified_since, last_modified, warning, age,
      x_cache, x_forwarded_for, via, encapsulated;
  std::list<HTTP_HEADER> headers;
  std::list<HTTP_HEADER> filtered;
  int flags = 0;
};

inline std::unique_ptr<HEADER> header_new() { return std::make_unique<HEADER>(); }
