// Filebuf: the growable byte buffer that holds bodies, pages, header blocks and files, with
// formatted append and the content-coding step (gzip and deflate through zlib).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

// Capacity is handed out in steps of this size.
constexpr std::size_t FILEBUF_STEP = 65536;
// Formatted appends longer than this are cut to FILEBUF_ADDF_MAX - 1 characters.
constexpr std::size_t FILEBUF_ADDF_MAX = 16384;
// zlib output is collected in steps of this size.
constexpr std::size_t FILEBUF_ZSTEP = 8192;
// Largest content a buffer may hold; asking for more is treated as an allocation failure.
constexpr std::size_t FILEBUF_MAX = static_cast<std::size_t>(PTRDIFF_MAX) - FILEBUF_STEP;

// Content codings of Compress and Uncompress.
enum FilebufCoding : int {
  FILEBUF_DEFLATE = 0,  // zlib-wrapped deflate; raw deflate is also accepted when decoding
  FILEBUF_GZIP = 1,
};

// Lines of a buffer, for line-oriented parsers (to_stack).
using STACK_T = std::list<std::string>;

// Allocator whose default construction leaves the bytes as they are: growing a buffer must
// not cost a pass of zeroes over room that is written next anyway.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U> &) noexcept {}
  template <class U>
  void construct(U *p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void *>(p)) U;
  }
  template <class U, class... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
};

// Byte buffer owned by one holder at a time; not locked. The content is arbitrary bytes and
// is not NUL-terminated. Allocation failure takes the fatal-assertion path.
class Filebuf {
 public:
  Filebuf() = default;
  Filebuf(const Filebuf &) = delete;             // copies are explicit: Dup()
  Filebuf &operator=(const Filebuf &) = delete;
  Filebuf(Filebuf &&other) noexcept;
  Filebuf &operator=(Filebuf &&other) noexcept;
  ~Filebuf() = default;

  char *data() { return storage_.empty() ? nullptr : storage_.data(); }
  const char *data() const { return storage_.empty() ? nullptr : storage_.data(); }
  std::size_t length() const { return length_; }
  std::size_t capacity() const { return storage_.size(); }
  bool empty() const { return length_ == 0; }
  std::string_view view() const { return {data(), length_}; }

  void Add(const char *src, std::size_t n);
  void Add(std::string_view text) { Add(text.data(), text.size()); }
  // printf-style append; output of FILEBUF_ADDF_MAX characters or more is cut.
  void Addf(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

  // Sets the length to n. Content up to min(old length, n) stays; bytes beyond the old
  // length are unspecified. Capacity is a multiple of FILEBUF_STEP; it grows by at least
  // half so that appending a large body stays linear, and shrinks when more than one step
  // and more than half of it would be spare. Resize(0) keeps the storage.
  void Resize(std::size_t n);
  // Trims the storage to exactly the content.
  void Shorten();
  // Replaces [start, end) by text; the tail moves. False (nothing changed) when the range
  // does not lie inside the content.
  bool Replace(std::size_t start, std::size_t end, std::string_view text);
  // A copy of the content whose capacity equals its length.
  Filebuf Dup() const;
  // Drops this content and takes over other's storage; other is left empty. Null: empty.
  void Swap(Filebuf *other);

  // Writes the whole content to fd (retrying short writes). Returns the bytes written, or
  // -1 with errno set.
  ssize_t Save(int fd) const;
  // Writes the content to path through a temporary file in the same folder, flushed and
  // renamed over path, so that readers see either the old or the new file. False on failure
  // (the old file is left in place).
  bool Save(const std::string &path) const;
  // Appends the file at path in BLOCKSIZE chunks, at most limit bytes. Returns the bytes
  // appended, or -1 when the file cannot be opened or read, or is larger than limit (the
  // content is then unchanged).
  ssize_t Read(const char *path, std::size_t limit = FILEBUF_MAX);

  // Splits the content at each "\n" (dropped; a "\r" before it stays). A final "\n" makes
  // no empty last line. Empty content gives an empty list.
  STACK_T to_stack() const;

  // Compresses the content in place (gzip, or zlib-wrapped deflate). True on success; on
  // failure the content is unchanged.
  bool Compress(int type);
  // Decompresses the content in place. gzip: one or more members, every header field
  // accepted, CRC-32 and length verified. Deflate: zlib-wrapped or raw. Output larger than
  // limit bytes is a failure. On failure the content is unchanged.
  bool Uncompress(int type, std::size_t limit);

  // Compresses a response body for the client. Nothing happens when the proxy itself asked
  // the server for the coding (conn_decode), when the client sent no Accept-Encoding
  // (accept_encoding null), or when compressout is not 1. Prefers gzip over deflate. On
  // success *content_encoding is set to the coding's name. True when the content was
  // encoded.
  bool Encode(bool conn_decode, const char *accept_encoding, int compressout,
              std::string *content_encoding);
  // Decompresses a response body by the server's Content-Encoding value, with decoded
  // output capped at limit bytes. The caller rewrites the header. True when decoded.
  bool Decode(const char *content_encoding, std::size_t limit);

 private:
  void reallocate(std::size_t new_capacity);
  void reserve_for(std::size_t n);  // ensures capacity >= n without changing the length

  std::vector<char, UninitAllocator<char>> storage_;  // size() is the capacity
  std::size_t length_ = 0;
};

// Logs the text for a zlib status code.
void zlib_error(int code);
