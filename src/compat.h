// Wrappers around descriptor-creating system calls (every descriptor the proxy opens goes
// through them), portability wrappers, network error names and Base64.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// What the descriptor wrappers do to free descriptors: the connection pools install their
// Clean routines at start-up; a null hook means there is nothing to flush.
struct PoolFlushHooks {
  void (*clean_client_pool)() = nullptr;
  void (*clean_server_pool)() = nullptr;
};
extern PoolFlushHooks pool_flush_hooks;

// When the call fails because the process or the system is out of descriptors (EMFILE,
// ENFILE), the pools are flushed and the call is made once more; only a failed retry is
// logged. Other failures are returned silently. errno holds the cause of a failure.
int s_open(const char *path, int flags, mode_t mode = 0);
int s_open64(const char *path, int flags, mode_t mode = 0);
FILE *s_fopen(const char *path, const char *mode);
DIR *s_opendir(const char *path);
int s_socket(int family, int type, int protocol);
// Like the others, but every failure except ENOTSOCK is logged.
int s_accept(int socket, struct sockaddr *address, socklen_t *length);

// Flush both pools, or one of them, to free descriptors.
void fd_failure();
void client_pool_failure();
void server_pool_failure();

// Creates every directory of path (mode 0755), element by element; relative paths start
// from the working directory. Existing directories are fine. 1 on success, -1 (logged)
// on failure.
int create_recursive_directory(const char *path);

// poll() after clearing the result events of every entry with a descriptor above 0.
int p_poll(struct pollfd *fds, nfds_t count, int timeout);
// First IPv4 address of name (thread-safe lookup), or nothing.
std::optional<in_addr> p_gethostbyname(const char *name);
// Resizes a mapping, which may move; MAP_FAILED on failure.
void *p_mremap(void *address, std::size_t old_size, std::size_t new_size);
int p_setenv(const char *name, const char *value, int overwrite);
int p_clearenv();

// "NAME: description" for the error numbers 1 to 129 the platform defines, the empty text
// for 0, "OK" for any other value.
const char *wsa_strerror(int code);

// Base64, RFC 4648 alphabet with "=" padding.
// Bytes to64frombits writes for n input bytes, terminator included.
constexpr std::size_t base64_encoded_size(std::size_t n) { return (n + 2) / 3 * 4 + 1; }
// Encodes n bytes of data into out, which must hold base64_encoded_size(n) bytes, and
// terminates it.
void to64frombits(unsigned char *out, const unsigned char *data, int n);
// Decodes text into out, writing at most capacity bytes. A leading "+ " is skipped;
// decoding stops at the end of the text, a carriage return, or after a padded group; a
// short last group is decoded as if padded. Returns the number of bytes written (0 for a
// text starting with a carriage return), or -1 for an invalid character, a group of one
// character, or output that would not fit.
int from64tobits(unsigned char *out, std::size_t capacity, const char *text);
std::string base64_encode(std::string_view data);
// Same grammar as from64tobits; nothing for invalid input.
std::optional<std::string> base64_decode(std::string_view text);
