// The reading rules shared by both protocol sides: a start line, then
// "key: value" lines, cut character by character so that the second byte of
// a two-byte character never ends a key or a value.
//
// Texts are read where they lie, as a range [cursor, end): the end acts as
// the terminating NUL would, and a NUL inside the range still ends the text.
// Tokens are views into the range.
#pragma once

#include <string_view>

namespace text {

// Returns the bytes from `cursor` up to the first `delimiter` that begins a
// character, and moves the cursor past it. At the end of the text (`end` or
// a NUL before it) the cursor stays there, so later cuts yield empty tokens.
std::string_view cut_token(const char*& cursor, const char* end, char delimiter);

// Skips the start line of `text`, then hands each header pair to
// `consume(key, value)` in order; both are views into `text`. Reading stops
// at the first empty key or empty value.
template <typename Consumer>
void read_header_block(std::string_view text, Consumer&& consume) {
  const char* cursor = text.data();
  const char* const end = cursor + text.size();
  cut_token(cursor, end, '\n');  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = cut_token(cursor, end, ':');
    if (key.empty()) return;
    while (cursor != end && *cursor == ' ') ++cursor;
    std::string_view value = cut_token(cursor, end, '\n');
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    consume(key, value);
  }
}

}  // namespace text
