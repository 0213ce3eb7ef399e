// Blowfish-based password digest used for the web interface's login token.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

constexpr int BF_ROUNDS = 16;
// Bytes of key material the schedule can take in; longer keys cycle within this many.
constexpr std::size_t BF_MAX_KEY = 4 * (BF_ROUNDS + 2);
// Characters written per enciphered 8-byte block.
constexpr std::size_t BF_BLOCK_TEXT = 12;

struct BlowfishSchedule {
  std::array<std::uint32_t, BF_ROUNDS + 2> p;
  std::array<std::array<std::uint32_t, 256>, 4> s;
};

// Key schedule of the published cipher. The empty key is taken as one zero byte, so that
// every key has a defined schedule.
BlowfishSchedule blowfish_key_schedule(std::string_view key);

// Enciphers one block in place, given as its two big-endian 32-bit halves.
void blowfish_encipher(const BlowfishSchedule &schedule, std::uint32_t &left, std::uint32_t &right);

// The text, padded with zero bytes to a multiple of 8, enciphered block by block with
// key; each block is written as 12 characters of "./0-9a-zA-Z" (6 for the right half,
// then 6 for the left, 6 bits each from the least significant end). The empty text gives
// the empty string. Schedules of the last three keys are cached; safe to call from any
// thread. An allocation failure is printed on standard error and gives the empty string.
std::string blowfish_encrypt(std::string_view key, std::string_view text);
