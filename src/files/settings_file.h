// Reading a settings file into lines, and probing whether a file can be
// opened. Files are read as text: CR LF reads as LF, a byte 0x1A ends the
// content, a NUL cuts its line; every other byte passes through unchanged,
// except a UTF-8 byte order mark at the very start, which is no content.
#pragma once

#include <string>
#include <string_view>

namespace files {

// What many Windows editors write first in a file they save as UTF-8. At
// the very start of a settings file it is dropped, so that it does not
// become part of the first line's first field ("shiori").
inline constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Receives the lines of a settings file one at a time, in file order.
class LineVisitor {
 public:
  // `line` holds one line, valid only during the call; the visitor may take
  // its bytes. Returning false stops reading.
  virtual bool visit_line(std::string& line) = 0;

 protected:
  ~LineVisitor() = default;
};

// Hands the lines of the file at `path` to `visitor` until it says stop or
// the content ends. Only the line being read is held, so memory stays
// bounded by the longest line. False, with no line visited, when the file
// cannot be opened; true otherwise, even when a read fails partway (the
// content then ends there).
bool read_lines(const std::string& path, LineVisitor& visitor);

// True when the file at `path` can be opened for reading: an existing
// regular file (never a directory, pipe or device).
bool file_exists(const std::string& path);

}  // namespace files
