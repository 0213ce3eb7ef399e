#include "compat.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "log.h"

PoolFlushHooks pool_flush_hooks;

namespace {

bool out_of_descriptors(int e) { return e == EMFILE || e == ENFILE; }

// Logging must not change the errno the caller of a wrapper looks at.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  ErrnoGuard(const ErrnoGuard &) = delete;
  ErrnoGuard &operator=(const ErrnoGuard &) = delete;
  int value() const { return saved_; }

 private:
  int saved_;
};

// Runs call; when it fails for want of descriptors, flushes the pools and runs it once
// more. *failed_again tells whether that retry failed too (the only failure logged).
template <class R, class Call>
R retry_on_exhaustion(Call call, R failure, bool *failed_again) {
  *failed_again = false;
  R result = call();
  if (result != failure || !out_of_descriptors(errno)) return result;
  fd_failure();
  result = call();
  *failed_again = result == failure;
  return result;
}

void run_hook(void (*hook)()) {
  if (hook) hook();
}

void log_accept_failure() {
  ErrnoGuard e;
  putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", e.value(),
         std::strerror(e.value()), "s_accept");
}

}  // namespace

void fd_failure() {
  {
    ErrnoGuard e;
    putlog(LOG_ERROR | LOG_NETWORK,
           "failure opening file descriptor, attempting to free resources");
  }
  run_hook(pool_flush_hooks.clean_client_pool);
  run_hook(pool_flush_hooks.clean_server_pool);
}

void client_pool_failure() {
  putlog(LOG_ERROR | LOG_NETWORK, "flushing client pool, attempting to free resources");
  run_hook(pool_flush_hooks.clean_client_pool);
}

void server_pool_failure() {
  putlog(LOG_ERROR | LOG_NETWORK, "flushing outbound connections, attempting to free resources");
  run_hook(pool_flush_hooks.clean_server_pool);
}

int s_open(const char *path, int flags, mode_t mode) {
  bool failed_again;
  int fd = retry_on_exhaustion([&] { return ::open(path, flags, mode); }, -1, &failed_again);
  if (failed_again) {
    ErrnoGuard e;
    putlog(LOG_ERROR, "%s: [system: open:%d:%s] failed to open file %s", "s_open", e.value(),
           std::strerror(e.value()), path);
  }
  return fd;
}

int s_open64(const char *path, int flags, mode_t mode) {
  bool failed_again;
  int fd = retry_on_exhaustion([&] { return ::open64(path, flags, mode); }, -1, &failed_again);
  if (failed_again) {
    ErrnoGuard e;
    putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, failed to open file %s", e.value(),
           std::strerror(e.value()), "s_open64", path);
  }
  return fd;
}

FILE *s_fopen(const char *path, const char *mode) {
  bool failed_again;
  FILE *f = retry_on_exhaustion([&] { return std::fopen(path, mode); },
                                static_cast<FILE *>(nullptr), &failed_again);
  if (failed_again) {
    ErrnoGuard e;
    putlog(LOG_ERROR, "[system: fopen:%d:%s], in %s, unable to open file", e.value(),
           std::strerror(e.value()), "s_fopen");
  }
  return f;
}

DIR *s_opendir(const char *path) {
  bool failed_again;
  DIR *d = retry_on_exhaustion([&] { return ::opendir(path); }, static_cast<DIR *>(nullptr),
                               &failed_again);
  if (failed_again) {
    ErrnoGuard e;
    putlog(LOG_ERROR, "[system: opendir:%d:%s], in %s, unable to open directory", e.value(),
           std::strerror(e.value()), "s_opendir");
  }
  return d;
}

int s_socket(int family, int type, int protocol) {
  bool failed_again;
  int fd = retry_on_exhaustion([&] { return ::socket(family, type, protocol); }, -1, &failed_again);
  if (failed_again) {
    ErrnoGuard e;
    putlog(LOG_ERROR | LOG_NETWORK, "%s: [system: socket:%d:%s] unable to create socket",
           "s_socket", e.value(), std::strerror(e.value()));
  }
  return fd;
}

int s_accept(int socket, struct sockaddr *address, socklen_t *length) {
  const socklen_t room = length ? *length : 0;
  int fd = ::accept(socket, address, length);
  if (fd >= 0 || errno == ENOTSOCK) return fd;
  log_accept_failure();
  if (!out_of_descriptors(errno)) return fd;
  fd_failure();
  if (length) *length = room;
  fd = ::accept(socket, address, length);
  if (fd < 0) log_accept_failure();
  return fd;
}

int create_recursive_directory(const char *path) {
  auto fail = [path](int e) {
    putlog(LOG_ERROR, "[system: mkdir:%d:%s], in %s, failed to create directory %s", e,
           std::strerror(e), "create_recursive_directory", path ? path : "");
    errno = e;
    return -1;
  };
  if (!path || !*path) return fail(ENOENT);

  const std::string_view whole(path);
  const bool absolute = whole.front() == '/';
  std::string built;
  std::size_t at = 0;
  while (at < whole.size()) {
    std::size_t end = whole.find('/', at);
    if (end == std::string_view::npos) end = whole.size();
    if (end > at) {
      if (absolute || !built.empty()) built.push_back('/');
      built.append(whole.substr(at, end - at));
      if (::mkdir(built.c_str(), 0755) != 0) {
        int e = errno;
        struct stat st;
        if (e != EEXIST) return fail(e);
        // Something that is not a directory is in the way.
        if (::stat(built.c_str(), &st) != 0) return fail(errno);
        if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
      }
    }
    at = end + 1;
  }
  return 1;
}

int p_poll(struct pollfd *fds, nfds_t count, int timeout) {
  for (nfds_t i = 0; i < count; ++i)
    if (fds[i].fd > 0) fds[i].revents = 0;
  return ::poll(fds, count, timeout);
}

std::optional<in_addr> p_gethostbyname(const char *name) {
  if (!name || !*name) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return std::nullopt;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, ::freeaddrinfo);
  for (const addrinfo *a = found; a; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin;
      std::memcpy(&sin, a->ai_addr, sizeof sin);
      return sin.sin_addr;
    }
  }
  return std::nullopt;
}

void *p_mremap(void *address, std::size_t old_size, std::size_t new_size) {
  return ::mremap(address, old_size, new_size, MREMAP_MAYMOVE);
}

int p_setenv(const char *name, const char *value, int overwrite) {
  return ::setenv(name, value, overwrite);
}

int p_clearenv() { return ::clearenv(); }

// ---- error names -----------------------------------------------------------------------

namespace {

constexpr int WSA_LAST_ERRNO = 129;

struct ErrnoText {
  int code;
  const char *text;
};

// Numbers the platform leaves unused (41, 58) have no row.
constexpr ErrnoText ERRNO_TEXTS[] = {
    {EPERM, "EPERM: Operation not permitted"},
    {ENOENT, "ENOENT: No such file or directory"},
    {ESRCH, "ESRCH: No such process"},
    {EINTR, "EINTR: Interrupted function call ."},
    {EIO, "EIO: Input/output error"},
    {ENXIO, "ENXIO: No such device or address"},
    {E2BIG, "E2BIG: Argument list too long"},
    {ENOEXEC, "ENOEXEC: Exec format error"},
    {EBADF, "EBADF: Bad file descriptor"},
    {ECHILD, "ECHILD: No child processes"},
    {EAGAIN, "EAGAIN: Resource temporarily unavailable"},
    {ENOMEM, "ENOMEM: Cannot allocate memory"},
    {EACCES, "EACCES: Permission denied"},
    {EFAULT, "EFAULT: Bad address"},
    {ENOTBLK, "ENOTBLK: Block device required"},
    {EBUSY, "EBUSY: Device or resource busy"},
    {EEXIST, "EEXIST: File exists"},
    {EXDEV, "EXDEV: Invalid cross-device link"},
    {ENODEV, "ENODEV: No such device"},
    {ENOTDIR, "ENOTDIR: Not a directory"},
    {EISDIR, "EISDIR: Is a directory"},
    {EINVAL, "EINVAL: Invalid argument"},
    {ENFILE, "ENFILE: Too many open files in system"},
    {EMFILE, "EMFILE: Too many open files"},
    {ENOTTY, "ENOTTY: Inappropriate ioctl for device"},
    {ETXTBSY, "ETXTBSY: Text file busy"},
    {EFBIG, "EFBIG: File too large"},
    {ENOSPC, "ENOSPC: No space left on device"},
    {ESPIPE, "ESPIPE: Illegal seek"},
    {EROFS, "EROFS: Read-only file system"},
    {EMLINK, "EMLINK: Too many links"},
    {EPIPE, "EPIPE: Broken pipe"},
    {EDOM, "EDOM: Numerical argument out of domain"},
    {ERANGE, "ERANGE: Numerical result out of range"},
    {EDEADLK, "EDEADLK: Resource deadlock avoided"},
    {ENAMETOOLONG, "ENAMETOOLONG: File name too long"},
    {ENOLCK, "ENOLCK: No locks available"},
    {ENOSYS, "ENOSYS: Function not implemented"},
    {ENOTEMPTY, "ENOTEMPTY: Directory not empty"},
    {ELOOP, "ELOOP: Too many levels of symbolic links"},
    {ENOMSG, "ENOMSG: No message of desired type"},
    {EIDRM, "EIDRM: Identifier removed"},
    {ECHRNG, "ECHRNG: Channel number out of range"},
    {EL2NSYNC, "EL2NSYNC: Level 2 not synchronized"},
    {EL3HLT, "EL3HLT: Level 3 halted"},
    {EL3RST, "EL3RST: Level 3 reset"},
    {ELNRNG, "ELNRNG: Link number out of range"},
    {EUNATCH, "EUNATCH: Protocol driver not attached"},
    {ENOCSI, "ENOCSI: No CSI structure available"},
    {EL2HLT, "EL2HLT: Level 2 halted"},
    {EBADE, "EBADE: Invalid exchange"},
    {EBADR, "EBADR: Invalid request descriptor"},
    {EXFULL, "EXFULL: Exchange full"},
    {ENOANO, "ENOANO: No anode"},
    {EBADRQC, "EBADRQC: Invalid request code"},
    {EBADSLT, "EBADSLT: Invalid slot"},
    {EBFONT, "EBFONT: Bad font file format"},
    {ENOSTR, "ENOSTR: Device not a stream"},
    {ENODATA, "ENODATA: No data available"},
    {ETIME, "ETIME: Timer expired"},
    {ENOSR, "ENOSR: Out of streams resources"},
    {ENONET, "ENONET: Machine is not on the network"},
    {ENOPKG, "ENOPKG: Package not installed"},
    {EREMOTE, "EREMOTE: Object is remote"},
    {ENOLINK, "ENOLINK: Link has been severed"},
    {EADV, "EADV: Advertise error"},
    {ESRMNT, "ESRMNT: Srmount error"},
    {ECOMM, "ECOMM: Communication error on send"},
    {EPROTO, "EPROTO: Protocol error"},
    {EMULTIHOP, "EMULTIHOP: Multihop attempted"},
    {EDOTDOT, "EDOTDOT: RFS specific error"},
    {EBADMSG, "EBADMSG: Bad message"},
    {EOVERFLOW, "EOVERFLOW: Value too large for defined data type"},
    {ENOTUNIQ, "ENOTUNIQ: Name not unique on network"},
    {EBADFD, "EBADFD: File descriptor in bad state"},
    {EREMCHG, "EREMCHG: Remote address changed"},
    {ELIBACC, "ELIBACC: Can not access a needed shared library"},
    {ELIBBAD, "ELIBBAD: Accessing a corrupted shared library"},
    {ELIBSCN, "ELIBSCN: .lib section in a.out corrupted"},
    {ELIBMAX, "ELIBMAX: Attempting to link in too many shared libraries"},
    {ELIBEXEC, "ELIBEXEC: Cannot exec a shared library directly"},
    {EILSEQ, "EILSEQ: Invalid or incomplete multibyte or wide character"},
    {ERESTART, "ERESTART: Interrupted system call should be restarted"},
    {ESTRPIPE, "ESTRPIPE: Streams pipe error"},
    {EUSERS, "EUSERS: Too many users"},
    {ENOTSOCK, "ENOTSOCK: Socket operation on non-socket"},
    {EDESTADDRREQ, "EDESTADDRREQ: Destination address required"},
    {EMSGSIZE, "EMSGSIZE: Message too long"},
    {EPROTOTYPE, "EPROTOTYPE: Protocol wrong type for socket"},
    {ENOPROTOOPT, "ENOPROTOOPT: Protocol not available"},
    {EPROTONOSUPPORT, "EPROTONOSUPPORT: Protocol not supported"},
    {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT: Socket type not supported"},
    {EOPNOTSUPP, "EOPNOTSUPP: Operation not supported"},
    {EPFNOSUPPORT, "EPFNOSUPPORT: Protocol family not supported"},
    {EAFNOSUPPORT, "EAFNOSUPPORT: Address family not supported by protocol"},
    {EADDRINUSE, "EADDRINUSE: Address already in use"},
    {EADDRNOTAVAIL, "EADDRNOTAVAIL: Cannot assign requested address"},
    {ENETDOWN, "ENETDOWN: Network is down"},
    {ENETUNREACH, "ENETUNREACH: Network is unreachable"},
    {ENETRESET, "ENETRESET: Network dropped connection on reset"},
    {ECONNABORTED, "ECONNABORTED: Software caused connection abort"},
    {ECONNRESET, "ECONNRESET: Connection reset by peer"},
    {ENOBUFS, "ENOBUFS: No buffer space available"},
    {EISCONN, "EISCONN: Transport endpoint is already connected"},
    {ENOTCONN, "ENOTCONN: Transport endpoint is not connected"},
    {ESHUTDOWN, "ESHUTDOWN: Cannot send after transport endpoint shutdown"},
    {ETOOMANYREFS, "ETOOMANYREFS: Too many references: cannot splice"},
    {ETIMEDOUT, "ETIMEDOUT: Connection timed out"},
    {ECONNREFUSED, "ECONNREFUSED: Connection refused"},
    {EHOSTDOWN, "EHOSTDOWN: Host is down"},
    {EHOSTUNREACH, "EHOSTUNREACH: No route to host"},
    {EALREADY, "EALREADY: Operation already in progress"},
    {EINPROGRESS, "EINPROGRESS: Operation now in progress"},
    {ESTALE, "ESTALE: Stale file handle"},
    {EUCLEAN, "EUCLEAN: Structure needs cleaning"},
    {ENOTNAM, "ENOTNAM: Not a XENIX named type file"},
    {ENAVAIL, "ENAVAIL: No XENIX semaphores available"},
    {EISNAM, "EISNAM: Is a named type file"},
    {EREMOTEIO, "EREMOTEIO: Remote I/O error"},
    {EDQUOT, "EDQUOT: Disk quota exceeded"},
    {ENOMEDIUM, "ENOMEDIUM: No medium found"},
    {EMEDIUMTYPE, "EMEDIUMTYPE: Wrong medium type"},
    {ECANCELED, "ECANCELED: Operation canceled"},
    {ENOKEY, "ENOKEY: Required key not available"},
    {EKEYEXPIRED, "EKEYEXPIRED: Key has expired"},
    {EKEYREVOKED, "EKEYREVOKED: Key has been revoked"},
    {EKEYREJECTED, "EKEYREJECTED: Key was rejected by service"},
};

constexpr auto ERRNO_TABLE = [] {
  std::array<const char *, WSA_LAST_ERRNO + 1> table{};
  for (const ErrnoText &row : ERRNO_TEXTS)
    if (row.code > 0 && row.code <= WSA_LAST_ERRNO)
      table[static_cast<std::size_t>(row.code)] = row.text;
  return table;
}();

}  // namespace

const char *wsa_strerror(int code) {
  if (code == 0) return "";
  if (code < 0 || code > WSA_LAST_ERRNO) return "OK";
  const char *text = ERRNO_TABLE[static_cast<std::size_t>(code)];
  return text ? text : "OK";
}

// ---- Base64 ----------------------------------------------------------------------------

namespace {

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr auto B64_VALUES = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(B64_ALPHABET[i])] = static_cast<signed char>(i);
  return values;
}();

template <class Emit>
void encode_core(const unsigned char *data, std::size_t n, Emit emit) {
  for (std::size_t i = 0; i < n; i += 3) {
    const std::size_t left = n - i;
    const unsigned b0 = data[i], b1 = left > 1 ? data[i + 1] : 0, b2 = left > 2 ? data[i + 2] : 0;
    emit(B64_ALPHABET[b0 >> 2]);
    emit(B64_ALPHABET[((b0 & 0x03) << 4) | (b1 >> 4)]);
    emit(left > 1 ? B64_ALPHABET[((b1 & 0x0f) << 2) | (b2 >> 6)] : '=');
    emit(left > 2 ? B64_ALPHABET[b2 & 0x3f] : '=');
  }
}

// Decodes text, handing each byte to emit, which returns false when it cannot take it.
// Returns the number of bytes emitted, or -1.
template <class Emit>
long long decode_core(std::string_view text, Emit emit) {
  if (text.size() >= 2 && text[0] == '+' && text[1] == ' ') text.remove_prefix(2);
  auto at_end = [&](std::size_t i) { return i >= text.size() || text[i] == '\r'; };

  long long written = 0;
  std::size_t at = 0;
  while (!at_end(at)) {
    int v[4] = {0, 0, 0, 0};
    int digits = 0;
    bool padded = false;
    for (; digits < 4 && !at_end(at + static_cast<std::size_t>(digits)); ++digits) {
      const char ch = text[at + static_cast<std::size_t>(digits)];
      if (ch == '=') {
        padded = true;
        for (std::size_t k = at + static_cast<std::size_t>(digits) + 1; k < at + 4 && !at_end(k);
             ++k)
          if (text[k] != '=') return -1;
        break;
      }
      v[digits] = B64_VALUES[static_cast<unsigned char>(ch)];
      if (v[digits] < 0) return -1;
    }
    if (digits < 2) return -1;  // one character cannot make a byte

    const unsigned char bytes[3] = {
        static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
        static_cast<unsigned char>(((v[1] & 0x0f) << 4) | (v[2] >> 2)),
        static_cast<unsigned char>(((v[2] & 0x03) << 6) | v[3]),
    };
    for (int i = 0; i < digits - 1; ++i) {
      if (!emit(bytes[i])) return -1;
      ++written;
    }
    if (padded || digits < 4) break;
    at += 4;
  }
  return written;
}

}  // namespace

void to64frombits(unsigned char *out, const unsigned char *data, int n) {
  encode_core(data, n > 0 ? static_cast<std::size_t>(n) : 0,
              [&](char c) { *out++ = static_cast<unsigned char>(c); });
  *out = '\0';
}

int from64tobits(unsigned char *out, std::size_t capacity, const char *text) {
  if (!text) return -1;
  const std::size_t room = capacity < static_cast<std::size_t>(INT_MAX) ? capacity : INT_MAX;
  std::size_t used = 0;
  long long n = decode_core(text, [&](unsigned char b) {
    if (used >= room) return false;
    out[used++] = b;
    return true;
  });
  return static_cast<int>(n);
}

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve(base64_encoded_size(data.size()) - 1);
  encode_core(reinterpret_cast<const unsigned char *>(data.data()), data.size(),
              [&](char c) { out.push_back(c); });
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  if (decode_core(text, [&](unsigned char b) {
        out.push_back(static_cast<char>(b));
        return true;
      }) < 0)
    return std::nullopt;
  return out;
}
