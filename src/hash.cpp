#include "hash.h"

namespace {
constexpr std::uint32_t HASH_BYTE_BIAS = 8111;

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

unsigned hash_key(unsigned n, std::string_view key) {
  if (n == 0) QM_FATAL("src/hash");
  std::uint32_t sum = 0;
  for (char ch : key) {
    // The byte is signed on purpose: the stored cache layout depends on these values.
    const int c = static_cast<signed char>(ch);
    const int term = c * 20 + (c >> 2) + (c >> 4);             // within [-2600, 2578]: no overflow
    sum += static_cast<std::uint32_t>(term) + HASH_BYTE_BIAS;  // wraps modulo 2^32
  }
  return sum % n;
}

bool hash_key_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}
