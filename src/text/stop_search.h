// Finding where a token stops: at its delimiter byte, or at a NUL, which
// ends the text. One pass finds both, and may copy what it passes over, so
// that a text forwarded to the other side is read only once.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace text {

// find_stop for what lies beyond a token's first bytes: the widest search
// the processor has, or else find_stop_by_slices.
const char* find_stop_beyond(const char* from, const char* end, char delimiter, char* copy_to);

// The search for processors without a wide one: the C library's memchr, one
// slice at a time. Named here so that tests hold both to the same answers.
const char* find_stop_by_slices(const char* from, const char* end, char delimiter, char* copy_to);

// The first byte in [from, end) that is `delimiter` or NUL, or `end` when
// there is none; it may be the second byte of a two-byte character, which
// the caller sorts out. With `copy_to`, the bytes before it are copied there
// as they are searched (nothing is written past them).
//
// Most tokens are short keys and values: their first 32 bytes are searched
// in place, eight at a time in plain registers, which costs less than any
// call.
inline const char* find_stop(const char* from, const char* end, char delimiter, char* copy_to) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    const std::uint64_t pattern = ones * static_cast<unsigned char>(delimiter);
    for (int word = 0; word < 4 && end - from >= 8; ++word) {
      std::uint64_t bytes;
      std::memcpy(&bytes, from, sizeof bytes);
      // Zero bytes, and bytes equal to the delimiter, get their high bit
      // set; the lowest marked byte is the first such one (marks above it
      // may be false).
      const std::uint64_t other = bytes ^ pattern;
      const std::uint64_t marks = (((bytes - ones) & ~bytes) | ((other - ones) & ~other)) & highs;
      if (marks != 0) {
        const auto before = static_cast<std::size_t>(std::countr_zero(marks) / 8);
        if (copy_to != nullptr) std::memcpy(copy_to, from, before);
        return from + before;
      }
      if (copy_to != nullptr) {
        std::memcpy(copy_to, from, 8);
        copy_to += 8;
      }
      from += 8;
    }
  }
  if (end - from >= 8) return find_stop_beyond(from, end, delimiter, copy_to);
  for (; from < end && *from != delimiter && *from != '\0'; ++from)
    if (copy_to != nullptr) *copy_to++ = *from;
  return from;
}

}  // namespace text
