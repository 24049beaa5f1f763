// The reading rules shared by both protocol sides: a start line, then
// "key: value" lines, cut character by character so that the second byte of
// a two-byte character never ends a key or a value.
//
// Texts are read where they lie: a text is the range up to its first NUL,
// and keys and values are views into it.
#pragma once

#include <cstring>
#include <string_view>

#include "platform/platform.h"

namespace text {

// Returns the bytes from `cursor` up to the first `delimiter` that begins a
// character, and moves the cursor past that delimiter. Without one before
// `end`, the token runs to `end` and the cursor stays there, so later cuts
// yield empty tokens. [cursor, end) must hold no NUL.
//
// Inline: it runs several times per request, and a call per token costs a
// short request noticeably more.
inline std::string_view cut_token(const char*& cursor, const char* end, char delimiter,
                                  const bool* lead = platform::lead_bytes().lead) {
  const char* const start = cursor;
  const char* character = start;  // known to begin a character
  for (;;) {
    // (An empty range may come as two null pointers, which memchr must not see.)
    const auto* hit = character == end ? nullptr
                                       : static_cast<const char*>(std::memchr(
                                             character, delimiter,
                                             static_cast<std::size_t>(end - character)));
    if (hit == nullptr) {
      cursor = end;
      return {start, static_cast<std::size_t>(end - start)};
    }
    // Rather than walk every character up to the hit, look back from it: the
    // byte after a non-lead byte always begins a character, so the hit does
    // exactly when an even number of lead bytes stands right before it.
    const char* run = hit;
    while (run > character && lead[static_cast<unsigned char>(run[-1])]) --run;
    if ((hit - run) % 2 == 0) {
      cursor = hit + 1;
      return {start, static_cast<std::size_t>(hit - start)};
    }
    character = hit + 1;  // the hit was a trail byte; the token goes on
  }
}

// Skips the start line of `whole`, then calls consumer(key, value) for each
// header pair, in text order; both are views into `whole`. The text ends at
// its first NUL. Reading stops at the first empty key or empty value.
template <typename Consumer>
void read_header_block(std::string_view whole, Consumer&& consumer) {
  if (whole.empty()) return;
  const bool* lead = platform::lead_bytes().lead;
  const char* cursor = whole.data();
  const auto* nul = static_cast<const char*>(std::memchr(cursor, '\0', whole.size()));
  const char* const end = nul != nullptr ? nul : cursor + whole.size();
  cut_token(cursor, end, '\n', lead);  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = cut_token(cursor, end, ':', lead);
    if (key.empty()) return;
    while (cursor != end && *cursor == ' ') ++cursor;
    std::string_view value = cut_token(cursor, end, '\n', lead);
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    consumer(key, value);
  }
}

}  // namespace text
