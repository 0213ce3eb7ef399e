// Allocation helpers for the C-style edges of the program (buffers handed to system and
// library calls); everything else uses the standard containers.
#pragma once

#include <cstddef>

// Zero-filled block of n bytes, released with free(). n = 0 is an invariant violation.
// A refused allocation is logged and gives null; the caller takes the fatal path.
void *xmalloc(std::size_t n);

// Resizes p to n bytes (n = 0 is an invariant violation). When p is null the new block is
// zero-filled; a grown block keeps its old bytes and the rest is left undefined. A refusal
// is logged and gives null, p staying valid.
void *xrealloc(void *p, std::size_t n);

// Heap copies released with free(). xstrdup(null) is null; xstrndup copies at most n
// characters and always terminates the copy.
char *xstrdup(const char *s);
char *xstrndup(const char *s, std::size_t n);

// Handler of failed object allocations: logs the failure and aborts the process.
[[noreturn]] void out_of_memory();

// Installs out_of_memory as the new-handler; called once at start-up.
void mem_init();
