// The reading rules shared by both protocol sides: a start line, then
// "key: value" lines, cut character by character so that the second byte of
// a two-byte character never ends a key or a value.
//
// Texts are read where they lie, as ranges: the end of a range acts as the
// terminating NUL would, and a NUL inside still ends the text. Tokens are
// views into the text.
#pragma once

#include <string_view>
#include <type_traits>

#include "platform/platform.h"
#include "text/stop_search.h"

namespace text {

// Returns the bytes from `cursor` up to the first `delimiter` that begins a
// character, and moves the cursor past it. At the end of the text (`end`,
// or a NUL before it) the cursor stays, so later cuts yield empty tokens.
std::string_view cut_token(const char*& cursor, const char* end, char delimiter);

// The workings of the two readers, kept here so that a header reader is
// compiled together with what it does with each pair.
namespace reading {

// A text being read: `end` moves back onto the first NUL once a search
// meets one, since the text ends there.
struct Text {
  const char* cursor;
  const char* end;
};

// cut_token with the lead-byte table fetched by the caller, so that a
// reader of many tokens fetches it once. When `copying`, the token's bytes
// are copied to `copy_to` in the same pass (the room needed is the rest of
// the text at most); a cut that copies nothing is compiled without the copy.
template <bool copying>
[[gnu::always_inline]] inline std::string_view cut(const bool* lead, Text& text, char delimiter,
                                                  char* copy_to = nullptr) {
  const char* const start = text.cursor;
  const char* character = start;  // always the first byte of a character
  const char* from = start;       // where the search goes on
  const char* hit;
  for (;;) {
    hit = find_stop(from, text.end, delimiter, copying ? copy_to + (from - start) : nullptr);
    if (hit == text.end) break;
    if (*hit == '\0') {
      text.end = hit;
      break;
    }
    // Rather than walk every character up to the hit, look back from it: the
    // byte after a non-lead byte always begins a character, so the hit does
    // exactly when an even number of lead bytes stands right before it.
    const char* run = hit;
    while (run > character && lead[static_cast<unsigned char>(run[-1])]) --run;
    if ((hit - run) % 2 == 0) break;
    // The hit was the second byte of a two-byte character: it belongs to
    // the token, and the search goes on after it.
    if (copying) copy_to[hit - start] = *hit;
    character = from = hit + 1;
  }
  text.cursor = hit == text.end ? hit : hit + 1;
  return {start, static_cast<std::size_t>(hit - start)};
}

}  // namespace reading

// Skips the start line of `whole` (which ends at its first NUL), then hands
// each header pair to `consumer`; both key and value are views into `whole`.
// Reading stops at the first empty key or empty value.
//
// The consumer is either a callable taking (key, value), or an object with
// take(key, value) and copy_destination(key). The latter says where the
// value after `key` is to be copied while it is read, or null; the room
// needed is the rest of the text at most, and when the value ends the
// reading (it is empty), what was copied there means nothing.
template <typename Consumer>
void read_header_block(std::string_view whole, Consumer&& consumer) {
  constexpr bool callable = std::is_invocable_v<Consumer&, std::string_view, std::string_view>;
  const bool* lead = platform::lead_bytes().lead;
  reading::Text text{whole.data(), whole.data() + whole.size()};
  reading::cut<false>(lead, text, '\n');  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = reading::cut<false>(lead, text, ':');
    if (key.empty()) return;
    while (text.cursor != text.end && *text.cursor == ' ') ++text.cursor;
    char* copy_to = nullptr;
    if constexpr (!callable) copy_to = consumer.copy_destination(key);
    std::string_view value = copy_to != nullptr ? reading::cut<true>(lead, text, '\n', copy_to)
                                                : reading::cut<false>(lead, text, '\n');
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    if constexpr (callable) {
      consumer(key, value);
    } else {
      consumer.take(key, value);
    }
  }
}

}  // namespace text
