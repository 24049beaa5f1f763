// How quillbridge-host shows request and reply bytes to a person: every
// byte stays visible (CR and LF included), and nothing shown is ever what
// gets sent.
#pragma once

#include <string>

namespace host_display {

// True when this build can show Shift_JIS text converted to UTF-8.
bool can_convert_shift_jis();

// `bytes` on one line: CR, LF and tab as \r \n \t, other control bytes as
// \xNN, bytes outside ASCII as \xNN or, with `shift_jis`, as the UTF-8 of
// the Shift_JIS characters they make (bytes that make none stay \xNN).
std::string readable(const std::string& bytes, bool shift_jis);

// The same, broken into screen lines after each LF; always ends in a line
// end, and an empty text shows as "(empty)".
std::string readable_lines(const std::string& bytes, bool shift_jis);

}  // namespace host_display
