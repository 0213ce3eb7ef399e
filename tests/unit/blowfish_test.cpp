#include "blowfish.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string from_hex(const std::string &hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::uint32_t word(const std::string &hex, std::size_t at) {
  return static_cast<std::uint32_t>(std::stoul(hex.substr(at, 8), nullptr, 16));
}

struct Vector {
  const char *key, *plain, *cipher;
};

// Published test vectors of the cipher; the last rows take growing prefixes of one key,
// which exercises the cycling of short keys over the P-array.
const Vector VECTORS[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"F0", "FEDCBA9876543210", "F9AD597C49DB005E"},
    {"F0E1", "FEDCBA9876543210", "E91D21C1D961A6D6"},
    {"F0E1D2", "FEDCBA9876543210", "E9C2B70A1BC65CF3"},
    {"F0E1D2C3", "FEDCBA9876543210", "BE1E639408640F05"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
};

TEST(Blowfish, BlockCipherMatchesPublishedVectors) {
  for (const Vector &v : VECTORS) {
    const BlowfishSchedule k = blowfish_key_schedule(from_hex(v.key));
    std::uint32_t l = word(v.plain, 0), r = word(v.plain, 8);
    blowfish_encipher(k, l, r);
    EXPECT_EQ(l, word(v.cipher, 0)) << v.key;
    EXPECT_EQ(r, word(v.cipher, 8)) << v.key;
  }
}

TEST(Blowfish, EncryptWritesTwelveCharactersPerBlock) {
  struct Row {
    const char *key, *plain, *text;
  };
  // Right half first, six bits at a time from the least significant end.
  // 0x6198DD78 -> 56 53 13 38 33 1 -> "SPbAv/"; 0x4EF99745 -> "3rnYc/"
  // 0xB85ECB8A -> 10 46 44 23 56 2 -> "8IGlS0"; 0x51866FD5 -> "jZAvf/"
  // 0x2281B096 -> 22 2 27 32 34 0 -> "k0puw."; 0x61F9C380 -> ".cqYv/"
  const Row rows[] = {
      {"0000000000000000", "0000000000000000", "SPbAv/3rnYc/"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "8IGlS0jZAvf/"},
      {"0123456789ABCDEF", "1111111111111111", "k0puw..cqYv/"},
  };
  for (const Row &r : rows)
    EXPECT_EQ(blowfish_encrypt(from_hex(r.key), from_hex(r.plain)), r.text) << r.key;
}

TEST(Blowfish, TextIsPaddedWithZeroBytes) {
  const std::string key = "user:secret";
  EXPECT_EQ(blowfish_encrypt(key, ""), "");
  for (std::size_t n = 1; n <= 17; ++n) {
    const std::string text(n, 'p');
    const std::string padded = text + std::string((8 - n % 8) % 8, '\0');
    const std::string out = blowfish_encrypt(key, text);
    EXPECT_EQ(out.size(), (n + 7) / 8 * 12) << n;
    EXPECT_EQ(out, blowfish_encrypt(key, padded)) << n;
    for (char c : out)
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/');
  }
  // Blocks are enciphered one by one.
  EXPECT_EQ(blowfish_encrypt(key, "abcdefgh12345678"),
            blowfish_encrypt(key, "abcdefgh") + blowfish_encrypt(key, "12345678"));
}

TEST(Blowfish, EmptyKeyActsAsOneZeroByte) {
  EXPECT_EQ(blowfish_encrypt("", "password"), blowfish_encrypt(std::string(1, '\0'), "password"));
  EXPECT_NE(blowfish_encrypt("", "password"), blowfish_encrypt("a", "password"));
}

TEST(Blowfish, CacheNeverMixesUpKeysAcrossThreads) {
  // More keys than cache slots, so slots are replaced while other threads read them.
  std::vector<std::string> keys;
  for (int i = 0; i < 7; ++i) keys.push_back("user" + std::to_string(i) + ":pw");
  keys.push_back("user0:p");  // a prefix of another key is a different key

  std::vector<std::string> expected;
  for (const auto &k : keys) {
    // Computed straight from the block cipher, bypassing the cache.
    const BlowfishSchedule s = blowfish_key_schedule(k);
    const std::string text = k + std::string((8 - k.size() % 8) % 8, '\0');
    std::string direct;
    for (std::size_t at = 0; at < text.size(); at += 8) {
      auto be = [&](std::size_t i) {
        std::uint32_t w = 0;
        for (std::size_t b = 0; b < 4; ++b) w = (w << 8) | static_cast<unsigned char>(text[i + b]);
        return w;
      };
      std::uint32_t l = be(at), r = be(at + 4);
      blowfish_encipher(s, l, r);
      static const char alphabet[] =
          "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
      for (std::uint32_t half : {r, l})
        for (int i = 0; i < 6; ++i) direct.push_back(alphabet[(half >> (6 * i)) & 63]);
    }
    expected.push_back(direct);
  }

  std::vector<int> wrong(4, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::size_t k = static_cast<std::size_t>(i * (t + 1) + t) % keys.size();
        if (blowfish_encrypt(keys[k], keys[k]) != expected[k]) ++wrong[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto &w : workers) w.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
  // Repeated keys hit the cache and still agree.
  for (std::size_t k = 0; k < keys.size(); ++k)
    for (int rep = 0; rep < 2; ++rep) EXPECT_EQ(blowfish_encrypt(keys[k], keys[k]), expected[k]);
}

}  // namespace
