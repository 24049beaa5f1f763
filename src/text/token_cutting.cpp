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

// A text being read. The bytes before `checked` are known to hold no NUL;
// the check for one runs ahead of the searches a slice at a time, so that
// the search of a long text finds each slice still in the nearest cache, and
// bytes after the point where reading stops are never read. Once the check
// meets a NUL, `end` moves back onto it: the text ends there.
struct Reading {
  const char* cursor;
  const char* checked;
  const char* end;

  // Checks one more slice; false when everything up to the end is checked.
  bool check_further() {
    constexpr std::ptrdiff_t slice = 8192;
    if (checked == end) return false;
    const std::ptrdiff_t length = end - checked < slice ? end - checked : slice;
    const auto* nul = static_cast<const char*>(
        std::memchr(checked, '\0', static_cast<std::size_t>(length)));
    if (nul != nullptr) end = nul;
    checked = nul != nullptr ? nul : checked + length;
    return true;
  }
};

// cut_token with the lead-byte table fetched by the caller, so that a
// reader of many tokens fetches it once.
inline std::string_view cut(const bool* lead, Reading& text, char delimiter) {
  const char* const start = text.cursor;
  const char* character = start;  // always the first byte of a character
  const char* from = start;       // where the search goes on
  const char* hit;
  for (;;) {
    hit = find_byte(from, text.checked, delimiter);
    if (hit == nullptr) {
      // No delimiter among the checked bytes: check more, or the text ends.
      if (from < text.checked) from = text.checked;
      if (text.check_further()) continue;
      hit = text.end;
      break;
    }
    // Rather than walk every character up to the hit, look back from it: the
    // byte after a non-lead byte always begins a character, so the hit does
    // exactly when an even number of lead bytes stands right before it.
    const char* run = hit;
    while (run > character && lead[static_cast<unsigned char>(run[-1])]) --run;
    if ((hit - run) % 2 == 0) break;
    // The hit was the second byte of a two-byte character: look on after it.
    character = from = hit + 1;
  }
  text.cursor = hit == text.end ? hit : hit + 1;
  return {start, static_cast<std::size_t>(hit - start)};
}

}  // namespace

std::string_view cut_token(const char*& cursor, const char* end, char delimiter) {
  Reading text{cursor, cursor, end};
  const std::string_view token = cut(platform::lead_bytes().lead, text, delimiter);
  cursor = text.cursor;
  return token;
}

void read_header_block(std::string_view whole, HeaderConsumer& consumer) {
  const bool* lead = platform::lead_bytes().lead;
  Reading text{whole.data(), whole.data(), whole.data() + whole.size()};
  cut(lead, text, '\n');  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = cut(lead, text, ':');
    if (key.empty()) return;
    while (text.cursor != text.end && *text.cursor == ' ') ++text.cursor;
    std::string_view value = cut(lead, text, '\n');
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    consumer.take(key, value);
  }
}

}  // namespace text
