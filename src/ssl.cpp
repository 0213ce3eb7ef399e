#include "ssl.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "log.h"

namespace {

std::once_flag context_once, bio_once;
SSL_CTX *client_context = nullptr;
BIO_METHOD *socket_bio_method = nullptr;

int bio_fd(BIO *b) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))); }

bool retryable(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int socket_bio_write(BIO *b, const char *buf, int len) {
  BIO_clear_retry_flags(b);
  ssize_t w = ::send(bio_fd(b), buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (w < 0 && retryable(errno)) BIO_set_retry_write(b);
  return static_cast<int>(w);
}

int socket_bio_read(BIO *b, char *buf, int len) {
  BIO_clear_retry_flags(b);
  ssize_t r = ::recv(bio_fd(b), buf, static_cast<size_t>(len), MSG_DONTWAIT);
  if (r < 0 && retryable(errno)) BIO_set_retry_read(b);
  return static_cast<int>(r);
}

int socket_bio_puts(BIO *b, const char *text) {
  return socket_bio_write(b, text, static_cast<int>(std::char_traits<char>::length(text)));
}

long socket_bio_ctrl(BIO *b, int cmd, long, void *ptr) {
  switch (cmd) {
    case BIO_C_GET_FD: {
      int fd = bio_fd(b);
      if (ptr) *static_cast<int *>(ptr) = fd;
      return fd;
    }
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DUP:
    case BIO_CTRL_SET_CLOSE:
      return 1;
    case BIO_CTRL_GET_CLOSE:
      return BIO_NOCLOSE;
    default:
      return 0;
  }
}

int socket_bio_create(BIO *b) {
  BIO_set_data(b, reinterpret_cast<void *>(static_cast<intptr_t>(-1)));
  BIO_set_init(b, 1);
  return 1;
}

void build_bio_method() {
  BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                               "quillmoss socket");
  if (!m) return;
  BIO_meth_set_write(m, socket_bio_write);
  BIO_meth_set_read(m, socket_bio_read);
  BIO_meth_set_puts(m, socket_bio_puts);
  BIO_meth_set_ctrl(m, socket_bio_ctrl);
  BIO_meth_set_create(m, socket_bio_create);
  socket_bio_method = m;
}

void build_client_context() {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    putlog(LOG_ERROR, "TLS: cannot create the client context: %s", ssl_error_text().c_str());
    return;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // Servers that close without a close_notify are common; body framing catches truncation.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Pending output may be sent in parts and from a buffer that moves between retries.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  client_context = ctx;
}

}  // namespace

bool ssl_init() {
  // OpenSSL 3 locks its shared state itself: no thread-lock callbacks are installed.
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                       nullptr) != 1) {
    putlog(LOG_ERROR, "TLS: library initialisation failed: %s", ssl_error_text().c_str());
    return false;
  }
  if (RAND_status() != 1 && (RAND_poll() != 1 || RAND_status() != 1)) {
    putlog(LOG_ERROR, "TLS: the random generator cannot be seeded");
    return false;
  }
  return ssl_client_context() != nullptr;
}

ssl_ctx_st *ssl_client_context() {
  std::call_once(context_once, build_client_context);
  return client_context;
}

bio_st *ssl_socket_bio(int fd) {
  std::call_once(bio_once, build_bio_method);
  if (!socket_bio_method) return nullptr;
  BIO *b = BIO_new(socket_bio_method);
  if (b) BIO_set_data(b, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
  return b;
}

std::string ssl_error_text() {
  std::string text;
  char line[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

bool ssl_is_ip_literal(const std::string &name) {
  std::string host = name;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  unsigned char addr[16];
  return inet_pton(AF_INET, host.c_str(), addr) == 1 ||
         inet_pton(AF_INET6, host.c_str(), addr) == 1;
}
