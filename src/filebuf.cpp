#include "filebuf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "log.h"
#include "main.h"

namespace {

constexpr const char *MODULE = "src/filebuf";

// gzip member header (RFC 1952).
constexpr unsigned char GZIP_ID1 = 0x1f, GZIP_ID2 = 0x8b, GZIP_CM_DEFLATE = 8;
constexpr unsigned GZIP_FHCRC = 0x02, GZIP_FEXTRA = 0x04, GZIP_FNAME = 0x08,
                   GZIP_FCOMMENT = 0x10, GZIP_FRESERVED = 0xe0;
constexpr std::size_t GZIP_HEADER_MIN = 10, GZIP_TRAILER = 8;
// Anything this short cannot be a gzip member (header, empty stream and trailer take 20).
constexpr std::size_t GZIP_REFUSE_AT_MOST = 17;
// Header written by Compress: no flags, no time stamp, Unix.
constexpr unsigned char GZIP_HEADER_OUT[GZIP_HEADER_MIN] = {GZIP_ID1, GZIP_ID2, GZIP_CM_DEFLATE,
                                                            0, 0, 0, 0, 0, 0, 3};

constexpr int ZLIB_LEVEL = 9, ZLIB_MEMLEVEL = 9;
constexpr int WBITS_RAW = -15, WBITS_ZLIB = 15;

// Result of the stream initialisation failing; never a zlib status.
constexpr int INFLATE_INIT_FAILED = INT_MIN;

std::size_t round_to_step(std::size_t n) {
  if (n > FILEBUF_MAX) return 0;
  return (n + FILEBUF_STEP - 1) / FILEBUF_STEP * FILEBUF_STEP;
}

uint32_t get_le32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_le32(unsigned char *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// zlib counts input and output in 32-bit units; larger spans are fed in pieces.
uInt zchunk(std::size_t n) { return static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX)); }

// Length of the gzip member header at p, or 0 when it is not a valid header.
std::size_t gzip_header_length(const unsigned char *p, std::size_t n) {
  if (n < GZIP_HEADER_MIN || p[0] != GZIP_ID1 || p[1] != GZIP_ID2 || p[2] != GZIP_CM_DEFLATE)
    return 0;
  unsigned flags = p[3];
  if (flags & GZIP_FRESERVED) return 0;
  std::size_t pos = GZIP_HEADER_MIN;
  if (flags & GZIP_FEXTRA) {
    if (n - pos < 2) return 0;
    std::size_t xlen = p[pos] | static_cast<std::size_t>(p[pos + 1]) << 8;
    pos += 2;
    if (n - pos < xlen) return 0;
    pos += xlen;
  }
  for (unsigned field : {GZIP_FNAME, GZIP_FCOMMENT}) {
    if (!(flags & field)) continue;
    const void *nul = std::memchr(p + pos, 0, n - pos);
    if (!nul) return 0;
    pos = static_cast<std::size_t>(static_cast<const unsigned char *>(nul) - p) + 1;
  }
  if (flags & GZIP_FHCRC) {
    if (n - pos < 2) return 0;
    uint32_t crc = static_cast<uint32_t>(crc32_z(0, p, pos));
    if ((crc & 0xffff) != (p[pos] | static_cast<uint32_t>(p[pos + 1]) << 8)) return 0;
    pos += 2;
  }
  return pos;
}

// A zlib header: deflate method, window of at most 32 KiB, check bits right.
bool looks_zlib_wrapped(const unsigned char *p, std::size_t n) {
  return n >= 2 && (p[0] & 0x0f) == Z_DEFLATED && (p[0] >> 4) <= 7 &&
         ((static_cast<unsigned>(p[0]) << 8) | p[1]) % 31 == 0;
}

struct InflateResult {
  int status;             // Z_STREAM_END on success; Z_OK when the input ended first
  std::size_t consumed;   // input bytes used up to the end of the stream
  bool over_limit;        // output would exceed the limit
};

}  // namespace

void zlib_error(int code) {
  switch (code) {
    case Z_NEED_DICT: putlog(LOG_ERROR, "zlib: dictionary error"); break;
    case Z_STREAM_ERROR: putlog(LOG_ERROR, "zlib: stream error"); break;
    case Z_DATA_ERROR: putlog(LOG_ERROR, "zlib: data error"); break;
    case Z_MEM_ERROR: putlog(LOG_ERROR, "zlib: memory error"); break;
    case Z_BUF_ERROR: putlog(LOG_ERROR, "zlib: buffer error"); break;
    default: putlog(LOG_ERROR, "zlib: unknown error %d", code); break;
  }
}

// ---- storage -----------------------------------------------------------------------------

Filebuf::Filebuf(Filebuf &&other) noexcept
    : storage_(std::exchange(other.storage_, {})), length_(std::exchange(other.length_, 0)) {}

Filebuf &Filebuf::operator=(Filebuf &&other) noexcept {
  if (this != &other) {
    storage_ = std::exchange(other.storage_, {});
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

void Filebuf::reallocate(std::size_t new_capacity) {
  if (new_capacity == 0 || new_capacity > FILEBUF_MAX)
    fatal_assertion(MODULE, __LINE__, __func__, new_capacity ? new_capacity : SIZE_MAX);
  try {
    std::vector<char, UninitAllocator<char>> fresh;
    fresh.reserve(new_capacity);
    std::size_t keep = std::min(length_, new_capacity);
    fresh.assign(storage_.data(), storage_.data() + keep);
    fresh.resize(new_capacity);
    storage_.swap(fresh);
  } catch (const std::bad_alloc &) {
    fatal_assertion(MODULE, __LINE__, __func__, new_capacity);
  }
}

void Filebuf::reserve_for(std::size_t n) {
  std::size_t cap = storage_.size();
  if (n <= cap && cap != 0) return;
  std::size_t target = n;
  if (n > cap && cap / 2 <= FILEBUF_MAX - cap) target = std::max(n, cap + cap / 2);
  std::size_t rounded = round_to_step(target);
  if (rounded == 0) rounded = round_to_step(n);  // the geometric step overshot the limit
  if (rounded == 0) fatal_assertion(MODULE, __LINE__, __func__, n);
  reallocate(rounded);
}

void Filebuf::Resize(std::size_t n) {
  if (n == 0) {
    length_ = 0;
    return;
  }
  std::size_t cap = storage_.size();
  if (cap == 0 || cap < n) {
    reserve_for(n);
  } else if (cap - n > FILEBUF_STEP && n < cap / 2) {
    reallocate(round_to_step(n));
  }
  length_ = n;
}

void Filebuf::Shorten() {
  if (length_ > 0 && length_ < storage_.size()) reallocate(length_);
}

void Filebuf::Add(const char *src, std::size_t n) {
  if (n == 0) return;
  if (n > FILEBUF_MAX - length_) fatal_assertion(MODULE, __LINE__, __func__, n);
  // The source may lie in this buffer's own storage, which Resize can move.
  const char *base = storage_.data();
  const bool inside = !storage_.empty() && std::less_equal<const char *>()(base, src) &&
                      std::less<const char *>()(src, base + storage_.size());
  const std::size_t offset = inside ? static_cast<std::size_t>(src - base) : 0;
  std::size_t old = length_;
  Resize(old + n);
  std::memmove(storage_.data() + old, inside ? storage_.data() + offset : src, n);
}

void Filebuf::Addf(const char *fmt, ...) {
  va_list ap, ap2;
  va_start(ap, fmt);
  va_copy(ap2, ap);
  int need = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (need > 0) {
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(need), FILEBUF_ADDF_MAX - 1);
    if (length_ + n + 1 <= storage_.size()) {
      std::vsnprintf(storage_.data() + length_, n + 1, fmt, ap2);  // room for the NUL too
      length_ += n;
    } else {
      // Formatted aside: an argument may point into the storage that growing moves.
      std::string text(n + 1, '\0');
      std::vsnprintf(text.data(), n + 1, fmt, ap2);
      Add(text.data(), n);
    }
  }
  va_end(ap2);
}

bool Filebuf::Replace(std::size_t start, std::size_t end, std::string_view text) {
  if (start > end || end > length_) return false;
  const char *base = storage_.data();
  if (!text.empty() && !storage_.empty() && std::less_equal<const char *>()(base, text.data()) &&
      std::less<const char *>()(text.data(), base + storage_.size())) {
    const std::string copy(text);  // the text lies in the bytes about to move
    return Replace(start, end, copy);
  }
  std::size_t removed = end - start;
  std::size_t tail = length_ - end;
  if (text.size() > removed) {
    std::size_t grow = text.size() - removed;
    if (grow > FILEBUF_MAX - length_) fatal_assertion(MODULE, __LINE__, __func__, grow);
    std::size_t old = length_;
    Resize(old + grow);
    std::memmove(storage_.data() + end + grow, storage_.data() + end, tail);
  } else if (text.size() < removed) {
    std::size_t shrink = removed - text.size();
    std::memmove(storage_.data() + end - shrink, storage_.data() + end, tail);
    Resize(length_ - shrink);
  }
  if (!text.empty()) std::memcpy(storage_.data() + start, text.data(), text.size());
  return true;
}

Filebuf Filebuf::Dup() const {
  Filebuf copy;
  if (length_ == 0) {
    putlog(LOG_ERROR, "duplicated a 0 size Filebuf");
    return copy;
  }
  try {
    copy.storage_.reserve(length_);
    copy.storage_.assign(storage_.data(), storage_.data() + length_);
  } catch (const std::bad_alloc &) {
    fatal_assertion(MODULE, __LINE__, __func__, length_);
  }
  copy.length_ = length_;
  return copy;
}

void Filebuf::Swap(Filebuf *other) {
  if (other == this) return;
  if (other) {
    *this = std::move(*other);
  } else {
    storage_ = {};
    length_ = 0;
  }
}

// ---- files -------------------------------------------------------------------------------

ssize_t Filebuf::Save(int fd) const {
  std::size_t done = 0;
  while (done < length_) {
    ssize_t w = ::write(fd, storage_.data() + done, length_ - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return -1;
    if (w == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<std::size_t>(w);
  }
  return static_cast<ssize_t>(done);
}

bool Filebuf::Save(const std::string &path) const {
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    int err = errno;
    putlog(LOG_ERROR, "[system: mkstemp:%d:%s], in Filebuf::Save failed to create %s", err,
           std::strerror(err), tmp.c_str());
    return false;
  }
  struct stat st;
  mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0 && Save(fd) == static_cast<ssize_t>(length_) &&
            ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    putlog(LOG_ERROR, "[system: write:%d:%s], in Filebuf::Save failed to save %s", err,
           std::strerror(err), path.c_str());
    ::unlink(tmp.c_str());
  }
  return ok;
}

ssize_t Filebuf::Read(const char *path, std::size_t limit) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const std::size_t start = length_;
  const std::size_t block = BLOCKSIZE > 0 ? static_cast<std::size_t>(BLOCKSIZE) : 8192;
  std::size_t total = 0;
  bool failed = false;
  for (;;) {
    std::size_t want = block;
    if (limit - total < want) want = limit - total + 1;  // one byte more shows "too large"
    Resize(start + total + want);
    ssize_t r = ::read(fd, storage_.data() + start + total, want);
    if (r < 0 && errno == EINTR) {
      Resize(start + total);
      continue;
    }
    if (r <= 0) {
      failed = r < 0;
      break;
    }
    total += static_cast<std::size_t>(r);
    if (total > limit) {
      failed = true;
      break;
    }
  }
  ::close(fd);
  Resize(failed ? start : start + total);
  return failed ? -1 : static_cast<ssize_t>(total);
}

STACK_T Filebuf::to_stack() const {
  STACK_T lines;
  std::string_view rest = view();
  while (!rest.empty()) {
    std::size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) {
      lines.emplace_back(rest);
      break;
    }
    lines.emplace_back(rest.substr(0, nl));
    rest.remove_prefix(nl + 1);
  }
  return lines;
}

// ---- content coding ----------------------------------------------------------------------

namespace {

// Inflates one stream from in[0, n), appending to out; at most limit bytes of output.
InflateResult inflate_into(Filebuf &out, const unsigned char *in, std::size_t n, int wbits,
                           std::size_t limit) {
  z_stream zs{};
  if (inflateInit2(&zs, wbits) != Z_OK) return {INFLATE_INIT_FAILED, 0, false};
  const std::size_t start = out.length();
  std::size_t fed = 0;
  InflateResult res{Z_OK, 0, false};
  for (;;) {
    if (zs.avail_in == 0 && fed < n) {
      zs.next_in = const_cast<Bytef *>(in + fed);
      zs.avail_in = zchunk(n - fed);
      fed += zs.avail_in;
    }
    std::size_t len = out.length();
    out.Resize(len + FILEBUF_ZSTEP);
    zs.next_out = reinterpret_cast<Bytef *>(out.data() + len);
    zs.avail_out = static_cast<uInt>(FILEBUF_ZSTEP);
    int st = inflate(&zs, fed < n ? Z_NO_FLUSH : Z_SYNC_FLUSH);
    out.Resize(len + (FILEBUF_ZSTEP - zs.avail_out));
    if (out.length() - start > limit) {
      res.over_limit = true;
      res.status = st == Z_STREAM_END ? Z_OK : st;
      break;
    }
    if (st == Z_STREAM_END) {
      res.status = st;
      break;
    }
    if (st == Z_BUF_ERROR && zs.avail_in == 0 && fed == n) {
      res.status = Z_OK;  // the input ended before the stream did
      break;
    }
    if (st != Z_OK) {
      res.status = st;
      break;
    }
  }
  res.consumed = fed - zs.avail_in;
  inflateEnd(&zs);
  return res;
}

void log_over_limit(std::size_t limit) {
  putlog(LOG_ERROR, "zlib: decoded content exceeds %zu bytes", limit);
}

}  // namespace

bool Filebuf::Compress(int type) {
  if (type != FILEBUF_GZIP && type != FILEBUF_DEFLATE) return false;
  const bool gzip = type == FILEBUF_GZIP;
  z_stream zs{};
  if (deflateInit2(&zs, ZLIB_LEVEL, Z_DEFLATED, gzip ? WBITS_RAW : WBITS_ZLIB, ZLIB_MEMLEVEL,
                   Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  Filebuf out;
  if (gzip) out.Add(reinterpret_cast<const char *>(GZIP_HEADER_OUT), sizeof GZIP_HEADER_OUT);
  const auto *in = reinterpret_cast<const Bytef *>(data());
  std::size_t fed = 0;
  for (;;) {
    if (zs.avail_in == 0 && fed < length_) {
      zs.next_in = const_cast<Bytef *>(in + fed);
      zs.avail_in = zchunk(length_ - fed);
      fed += zs.avail_in;
    }
    int flush = (fed == length_ && zs.avail_in == 0) ? Z_FINISH : Z_NO_FLUSH;
    std::size_t len = out.length();
    out.Resize(len + FILEBUF_ZSTEP);
    zs.next_out = reinterpret_cast<Bytef *>(out.data() + len);
    zs.avail_out = static_cast<uInt>(FILEBUF_ZSTEP);
    int st = deflate(&zs, flush);
    out.Resize(len + (FILEBUF_ZSTEP - zs.avail_out));
    if (st == Z_STREAM_END) break;
    if (st != Z_OK) {
      zlib_error(st);
      deflateEnd(&zs);
      return false;
    }
  }
  deflateEnd(&zs);
  if (gzip) {
    unsigned char trailer[GZIP_TRAILER];
    put_le32(trailer, static_cast<uint32_t>(crc32_z(0, in, length_)));
    put_le32(trailer + 4, static_cast<uint32_t>(length_ & 0xffffffffu));
    out.Add(reinterpret_cast<const char *>(trailer), sizeof trailer);
  }
  out.Shorten();
  Swap(&out);
  return true;
}

bool Filebuf::Uncompress(int type, std::size_t limit) {
  const auto *in = reinterpret_cast<const unsigned char *>(data());
  const std::size_t n = length_;
  Filebuf out;
  if (type == FILEBUF_GZIP) {
    if (n <= GZIP_REFUSE_AT_MOST) return false;
    std::size_t pos = 0;
    while (pos < n) {
      if (pos > 0 && in[pos] == 0 &&
          std::all_of(in + pos, in + n, [](unsigned char c) { return c == 0; }))
        break;  // zero padding after the last member
      std::size_t header = gzip_header_length(in + pos, n - pos);
      if (header == 0) {
        putlog(LOG_ERROR, "gzip: invalid member header");
        return false;
      }
      pos += header;
      const std::size_t member_start = out.length();
      InflateResult r = inflate_into(out, in + pos, n - pos, WBITS_RAW, limit - member_start);
      if (r.status == INFLATE_INIT_FAILED) return false;
      if (r.over_limit) {
        log_over_limit(limit);
        return false;
      }
      if (r.status != Z_STREAM_END) {
        zlib_error(r.status);
        return false;
      }
      pos += r.consumed;
      if (n - pos < GZIP_TRAILER) {
        zlib_error(Z_OK);
        return false;
      }
      const std::size_t produced = out.length() - member_start;
      const auto *produced_at = reinterpret_cast<const Bytef *>(out.data() + member_start);
      uint32_t crc = static_cast<uint32_t>(crc32_z(0, produced_at, produced));
      if (get_le32(in + pos) != crc ||
          get_le32(in + pos + 4) != static_cast<uint32_t>(produced & 0xffffffffu)) {
        putlog(LOG_ERROR, "gzip: CRC or length mismatch");
        return false;
      }
      pos += GZIP_TRAILER;
    }
  } else if (type == FILEBUF_DEFLATE) {
    // "deflate" means zlib-wrapped, but servers have long sent raw streams under that name.
    InflateResult r{Z_DATA_ERROR, 0, false};
    bool wrapped = looks_zlib_wrapped(in, n);
    if (wrapped) {
      r = inflate_into(out, in, n, WBITS_ZLIB, limit);
      if (r.over_limit) {
        log_over_limit(limit);
        return false;
      }
    }
    if (r.status != Z_STREAM_END || r.consumed != n) {
      InflateResult first = r;
      out = Filebuf();
      r = inflate_into(out, in, n, WBITS_RAW, limit);
      if (r.status == INFLATE_INIT_FAILED) return false;
      if (r.over_limit) {
        log_over_limit(limit);
        return false;
      }
      if (r.status != Z_STREAM_END || r.consumed != n) {
        const InflateResult &shown = wrapped ? first : r;
        if (shown.status == INFLATE_INIT_FAILED) return false;
        zlib_error(shown.status == Z_STREAM_END ? Z_DATA_ERROR : shown.status);
        return false;
      }
    }
  } else {
    return false;
  }
  out.Shorten();
  Swap(&out);
  return true;
}

bool Filebuf::Encode(bool conn_decode, const char *accept_encoding, int compressout,
                     std::string *content_encoding) {
  if (conn_decode || !accept_encoding || compressout != 1) return false;
  int type;
  const char *name;
  if (strcasestr(accept_encoding, "gzip")) {
    type = FILEBUF_GZIP;
    name = "gzip";
  } else if (strcasestr(accept_encoding, "deflate")) {
    type = FILEBUF_DEFLATE;
    name = "deflate";
  } else {
    return false;
  }
  if (!Compress(type)) {
    putlog(LOG_ERROR, "failed to %s encoded file", name);
    return false;
  }
  if (content_encoding) *content_encoding = name;
  putlog(LOG_DEBUG, "%s encoded file", name);
  return true;
}

bool Filebuf::Decode(const char *content_encoding, std::size_t limit) {
  const char *coding = content_encoding ? content_encoding : "";
  int type;
  const char *name;
  if (strcasestr(coding, "gzip")) {
    type = FILEBUF_GZIP;
    name = "gzip";
  } else if (strcasestr(coding, "deflate")) {
    type = FILEBUF_DEFLATE;
    name = "deflate";
  } else {
    putlog(LOG_WARNING | LOG_REQUEST, "unhandled content encoding: %s", coding);
    return false;
  }
  if (!Uncompress(type, limit)) {
    putlog(LOG_ERROR | LOG_REQUEST, "failed to decompress %s encoded content", name);
    return false;
  }
  putlog(LOG_DEBUG | LOG_REQUEST, "decompressed %s encoded file", name);
  return true;
}
