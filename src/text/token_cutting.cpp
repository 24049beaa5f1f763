#include "text/token_cutting.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace text {
namespace {

// The first byte in [from, end) that is `delimiter` or NUL, or `end`, for a
// long token. The C library's memchr looks for each of the two bytes faster
// than any one search for both that we measured, so it runs twice; slice by
// slice, so that the second search finds the bytes still in the nearest
// cache. Kept out of line, so that the short path below stays inlined.
[[gnu::noinline]] const char* find_far(const char* from, const char* end, char delimiter) {
  constexpr std::ptrdiff_t slice = 8192;
  while (from != end) {
    const char* const slice_end = end - from > slice ? from + slice : end;
    const std::size_t length = static_cast<std::size_t>(slice_end - from);
    const auto* hit = static_cast<const char*>(std::memchr(from, delimiter, length));
    const char* const searched_to = hit != nullptr ? hit : slice_end;
    const auto* nul = static_cast<const char*>(
        std::memchr(from, '\0', static_cast<std::size_t>(searched_to - from)));
    if (nul != nullptr) return nul;
    if (hit != nullptr) return hit;
    from = slice_end;
  }
  return end;
}

// The same for any token; a delimiter found may be the second byte of a
// character. Most tokens are short keys and values: their first bytes are
// searched in place for both bytes at once, eight at a time, which costs
// less than a call.
inline const char* find_delimiter_or_nul(const char* from, const char* end, char delimiter) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t highs = 0x8080808080808080u;
    const std::uint64_t pattern = ones * static_cast<unsigned char>(delimiter);
    for (int word = 0; word < 4 && end - from >= 8; ++word, from += 8) {
      std::uint64_t bytes;
      std::memcpy(&bytes, from, sizeof bytes);
      // A zero byte of `bytes` or of `x` (a delimiter) gets its high bit
      // marked; the lowest mark is the first such byte (marks above a zero
      // byte may be false).
      const std::uint64_t x = bytes ^ pattern;
      const std::uint64_t marks = (((x - ones) & ~x) | ((bytes - ones) & ~bytes)) & highs;
      if (marks != 0) return from + std::countr_zero(marks) / 8;
    }
  }
  if (end - from >= 8) return find_far(from, end, delimiter);
  for (; from < end; ++from)
    if (*from == delimiter || *from == '\0') return from;
  return end;
}

// A text being read: the cursor, and the end, which moves back onto the
// first NUL once a search meets it.
struct Reading {
  const char* cursor;
  const char* end;
};

// cut_token with the lead-byte table fetched by the caller, so that a
// reader of many tokens fetches it once.
inline std::string_view cut(const bool* lead, Reading& text, char delimiter) {
  const char* const start = text.cursor;
  const char* scan = start;  // always the first byte of a character
  const char* hit;
  for (;;) {
    hit = find_delimiter_or_nul(scan, text.end, delimiter);
    if (hit == text.end) break;
    if (*hit == '\0') {
      text.end = hit;  // the text ends here, whatever byte came before
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
  text.cursor = hit == text.end ? hit : hit + 1;
  return {start, static_cast<std::size_t>(hit - start)};
}

}  // namespace

std::string_view cut_token(const char*& cursor, const char* end, char delimiter) {
  Reading text{cursor, end};
  const std::string_view token = cut(platform::lead_bytes().lead, text, delimiter);
  cursor = text.cursor;
  return token;
}

// The text's first NUL is not searched for up front: each cut looks for it
// only as far as its own delimiter, so a short text pays no extra call and
// the bytes after the point where reading stops are never read.
void read_header_block(std::string_view whole, HeaderConsumer& consumer) {
  const bool* lead = platform::lead_bytes().lead;
  Reading text{whole.data(), whole.data() + whole.size()};
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
