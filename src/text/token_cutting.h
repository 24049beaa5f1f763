// The reading rules shared by both protocol sides: a start line, then
// "key: value" lines, cut character by character so that the second byte of
// a two-byte character never ends a key or a value.
#pragma once

#include <functional>
#include <string_view>

namespace text {

// Returns the bytes from `cursor` up to the first `delimiter` that begins a
// character, and moves the cursor past it; at the end of the text (its first
// NUL) the cursor stays on the NUL. `cursor` must point into a NUL-terminated
// buffer.
std::string_view cut_token(const char*& cursor, char delimiter);

using HeaderConsumer = std::function<void(std::string_view key, std::string_view value)>;

// Skips the start line of `text` (NUL-terminated), then hands each header
// pair to `consume` in order. Reading stops at the first empty key or empty
// value.
void read_header_block(const char* text, const HeaderConsumer& consume);

}  // namespace text
