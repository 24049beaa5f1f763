// Splitting a settings line into delimiter-separated fields, one two-byte
// character at a time, so that a trail byte is never taken for a delimiter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// Takes one character (one byte, or a lead byte and the byte after it) off
// the front of a NUL-terminated text and advances the cursor past it. At the
// end of the text it returns an empty view and leaves the cursor in place.
std::string_view next_char(const char*& cursor);

// Appends the non-empty fields of `line` (up to its first NUL) to `fields`
// and returns the number of entries the list then holds. Every distinct
// character of `delimiters` separates fields; nothing is trimmed.
std::size_t split_fields(const std::string& line, const std::string& delimiters,
                         std::vector<std::string>& fields);

}  // namespace text
