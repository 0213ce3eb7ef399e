#include "forward.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>

#include "dns.h"
#include "general.h"
#include "header.h"
#include "main.h"
#include "network.h"
#include "socket.h"

ForwardSection *forward_section = nullptr;

ForwardSection::ForwardSection() : Section(FORWARD_SPEC) {}

void ForwardSection::update() {}

int ForwardSection::forward_do(CONNECTION_T *) { return 0; }

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SOCKS4_VERSION = 4, SOCKS5_VERSION = 5, SOCKS_CMD_CONNECT = 1;
constexpr unsigned char SOCKS4_GRANTED = 90, SOCKS4_REJECTED = 91, SOCKS4_NO_IDENTD = 92,
                        SOCKS4_IDENT_MISMATCH = 93;
constexpr unsigned char SOCKS5_NO_AUTH = 0, SOCKS5_USERPASS = 2, SOCKS5_USERPASS_VERSION = 1;
constexpr unsigned char SOCKS5_ATYP_IPV4 = 1, SOCKS5_ATYP_DOMAIN = 3, SOCKS5_ATYP_IPV6 = 4;
constexpr std::size_t SOCKS4_REPLY_SIZE = 8;

// Reads exactly n bytes from the server within the connection's ctimeout.
bool read_exact(CONNECTION_T *conn, unsigned char *out, std::size_t n) {
  Socket *s = conn->server.get();
  if (!s) return false;
  const int limit = conn->ctimeout > 0 ? conn->ctimeout : GENERAL_DEFAULT_TIMEOUT;
  const auto deadline = Clock::now() + std::chrono::seconds(limit);
  std::size_t got = 0;
  while (got < n) {
    auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    ssize_t r = s->Read(reinterpret_cast<char *>(out) + got, static_cast<ssize_t>(n - got),
                        static_cast<int>(left));
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

bool send_all(CONNECTION_T *conn, const std::string &bytes) {
  Socket *s = conn->server.get();
  if (!s) return false;
  return s->Write(bytes.data(), static_cast<ssize_t>(bytes.size())) != SOCK_ERROR && s->Flush();
}

void put_port(std::string &out, int port) {
  out += static_cast<char>((port >> 8) & 0xff);
  out += static_cast<char>(port & 0xff);
}

}  // namespace

int proxy_socks4(CONNECTION_T *conn) {
  if (!conn->header || !conn->server) return -2;
  std::unique_ptr<HOSTENT> address = net_dns(conn->header->host.c_str());
  if (!address) return -3;
  std::string request;
  request += static_cast<char>(SOCKS4_VERSION);
  request += static_cast<char>(SOCKS_CMD_CONNECT);
  put_port(request, conn->header->port);
  request.append(reinterpret_cast<const char *>(&address->addr.s_addr), 4);
  // The user id ends at its first NUL: it is a C string on the wire.
  request += username.substr(0, username.find('\0'));
  request += '\0';
  if (!send_all(conn, request)) return -2;
  unsigned char reply[SOCKS4_REPLY_SIZE];
  if (!read_exact(conn, reply, sizeof reply)) return -2;
  switch (reply[1]) {
    case SOCKS4_GRANTED: return 1;
    case SOCKS4_REJECTED: return -2;
    case SOCKS4_NO_IDENTD:
    case SOCKS4_IDENT_MISMATCH: return -4;
    default: return -1;
  }
}

int proxy_socks5(CONNECTION_T *conn) {
  if (!conn->header || !conn->server) return -2;
  const std::string &host = conn->header->host;
  if (host.empty() || host.size() > SOCKS5_FIELD_MAX) return -2;

  const std::string greeting = {static_cast<char>(SOCKS5_VERSION), 2,
                                static_cast<char>(SOCKS5_NO_AUTH),
                                static_cast<char>(SOCKS5_USERPASS)};
  if (!send_all(conn, greeting)) return -2;
  unsigned char choice[2];
  if (!read_exact(conn, choice, sizeof choice)) return -2;
  if (choice[1] == SOCKS5_USERPASS) {
    const std::string &user = conn->proxy_user, &password = conn->proxy_password;
    if (user.empty() || password.empty() || user.size() > SOCKS5_FIELD_MAX ||
        password.size() > SOCKS5_FIELD_MAX)
      return -2;
    std::string login;
    login += static_cast<char>(SOCKS5_USERPASS_VERSION);
    login += static_cast<char>(user.size());
    login += user;
    login += static_cast<char>(password.size());
    login += password;
    if (!send_all(conn, login)) return -2;
    unsigned char status[2];
    if (!read_exact(conn, status, sizeof status) || status[1] != 0) return -2;
  } else if (choice[1] != SOCKS5_NO_AUTH) {
    return -2;
  }

  std::string request = {static_cast<char>(SOCKS5_VERSION), static_cast<char>(SOCKS_CMD_CONNECT),
                         0, static_cast<char>(SOCKS5_ATYP_DOMAIN)};
  request += static_cast<char>(host.size());
  request += host;
  put_port(request, conn->header->port);
  if (!send_all(conn, request)) return -2;
  unsigned char reply[4];
  if (!read_exact(conn, reply, sizeof reply) || reply[1] != 0) return -2;

  std::size_t rest;
  switch (reply[3]) {
    case SOCKS5_ATYP_DOMAIN: {
      unsigned char length;
      if (!read_exact(conn, &length, 1)) return -2;
      rest = std::size_t{length} + 2;
      break;
    }
    case SOCKS5_ATYP_IPV6: rest = 16 + 2; break;
    case SOCKS5_ATYP_IPV4: rest = 4 + 2; break;
    default: rest = 2; break;
  }
  unsigned char bound[SOCKS5_FIELD_MAX + 2];
  return read_exact(conn, bound, rest) ? 1 : -2;
}
