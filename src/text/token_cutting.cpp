#include "text/token_cutting.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace text {
namespace {

// The first `delimiter` byte in [from, end), or null; it may be the second
// byte of a character. Most tokens are short keys and values: their first
// bytes are searched in place, eight at a time, which costs less than a
// call; the rest of a long one goes to the C library's memchr, the fastest
// search there is for long texts.
const char* find_byte(const char* from, const char* end, char delimiter) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    const std::uint64_t pattern = ones * static_cast<unsigned char>(delimiter);
    for (int word = 0; word < 4 && end - from >= 8; ++word, from += 8) {
      std::uint64_t bytes;
      std::memcpy(&bytes, from, sizeof bytes);
      // A byte equal to the delimiter becomes zero; the lowest marked byte
      // is the first zero one (marks above a zero byte may be false).
      const std::uint64_t x = bytes ^ pattern;
      const std::uint64_t marks = (x - ones) & ~x & highs;
      if (marks != 0) return from + std::countr_zero(marks) / 8;
    }
  }
  if (end - from < 8) {
    for (; from < end; ++from)
      if (*from == delimiter) return from;
    return nullptr;
  }
  return static_cast<const char*>(std::memchr(from, delimiter, static_cast<std::size_t>(end - from)));
}

// cut_token with the lead-byte table fetched by the caller, so that a
// reader of many tokens fetches it once.
inline std::string_view cut(const bool* lead, const char*& cursor, const char* end,
                            char delimiter) {
  const char* const start = cursor;
  const char* scan = start;  // always the first byte of a character
  const char* hit;
  for (;;) {
    hit = find_byte(scan, end, delimiter);
    if (hit == nullptr) {
      hit = end;
      break;
    }
    // Rather than walk every character up to the hit, look back from it: the
    // byte after a non-lead byte always begins a character, so the hit does
    // exactly when an even number of lead bytes stands right before it.
    const char* run = hit;
    while (run > scan && lead[static_cast<unsigned char>(run[-1])]) --run;
    if ((hit - run) % 2 == 0) break;
    // The hit was the second byte of a two-byte character: look on after it.
    scan = hit + 1;
  }
  cursor = hit == end ? end : hit + 1;
  return {start, static_cast<std::size_t>(hit - start)};
}

}  // namespace

std::string_view cut_token(const char*& cursor, const char* end, char delimiter) {
  return cut(platform::lead_bytes().lead, cursor, end, delimiter);
}

void read_header_block(std::string_view text, HeaderConsumer& consumer) {
  const bool* lead = platform::lead_bytes().lead;
  text = text.substr(0, text.find('\0'));  // found once, so the cuts need not look for it
  const char* cursor = text.data();
  const char* const end = cursor + text.size();
  cut(lead, cursor, end, '\n');  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = cut(lead, cursor, end, ':');
    if (key.empty()) return;
    while (cursor != end && *cursor == ' ') ++cursor;
    std::string_view value = cut(lead, cursor, end, '\n');
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    consumer.take(key, value);
  }
}

}  // namespace text
