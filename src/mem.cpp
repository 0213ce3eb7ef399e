#include "mem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log.h"

void *xmalloc(std::size_t n) {
  if (n == 0) QM_FATAL("src/mem");
  void *p = std::calloc(1, n);
  if (!p) {
    int e = errno;
    putlog(LOG_ERROR, "[system: malloc:%d:%s], in %s, unable to allocate memory", e,
           std::strerror(e), "xmalloc");
  }
  return p;
}

void *xrealloc(void *p, std::size_t n) {
  if (n == 0) QM_FATAL("src/mem");
  void *q = p ? std::realloc(p, n) : std::calloc(1, n);
  if (!q) {
    int e = errno;
    putlog(LOG_ERROR, "[system: realloc:%d:%s], in %s, unable to reallocate %zu memory", e,
           std::strerror(e), "xrealloc", n);
  }
  return q;
}

char *xstrdup(const char *s) {
  if (!s) return nullptr;
  return xstrndup(s, std::strlen(s));
}

char *xstrndup(const char *s, std::size_t n) {
  if (!s) return nullptr;
  std::size_t len = strnlen(s, n);
  auto *copy = static_cast<char *>(xmalloc(len + 1));
  if (!copy) fatal_assertion("src/mem", __LINE__, __func__, len + 1);
  std::memcpy(copy, s, len);
  copy[len] = '\0';
  return copy;
}

[[noreturn]] void out_of_memory() {
  putlog(LOG_ERROR, "Out of memory: %s:%d in function %s", "src/mem", __LINE__, "out_of_memory");
  std::abort();
}

void mem_init() { std::set_new_handler(out_of_memory); }
