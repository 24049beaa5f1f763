#include "files/settings_file.h"

#include <memory>

#include "platform/platform.h"

namespace files {
namespace {

// The bytes that text-mode reading acts on; every other byte passes as it is.
bool is_special(char byte) {
  return byte == '\r' || byte == '\n' || byte == '\x1a' || byte == '\0';
}

// Splits text-mode content into lines while it arrives block by block. A CR
// at the end of one block waits for the next to see whether LF follows.
class LineCollector {
 public:
  explicit LineCollector(LineVisitor& visitor) : visitor_(visitor) {}

  // Takes one block of raw bytes; false once a 0x1A has ended the content
  // or the visitor wants no more lines.
  bool feed(const char* bytes, std::size_t size) {
    const char* end = bytes + size;
    for (const char* at = bytes; at < end;) {
      if (held_cr_) {
        held_cr_ = false;
        if (*at != '\n') deliver("\r", 1);
      }
      // Bytes that need no thought go in as one run.
      const char* run = at;
      while (run < end && !is_special(*run)) ++run;
      deliver(at, static_cast<std::size_t>(run - at));
      at = run;
      if (at == end) break;
      switch (*at++) {
        case '\r': held_cr_ = true; break;
        case '\n':
          if (!end_line()) return false;
          break;
        case '\0': pending_ = true; cut_ = true; break;
        default: return false;  // 0x1A
      }
    }
    return true;
  }

  // The content has ended: a held CR is an ordinary byte, and a last line
  // without LF still counts.
  void finish() {
    if (stopped_) return;
    if (held_cr_) deliver("\r", 1);
    held_cr_ = false;
    if (pending_) end_line();
  }

 private:
  void deliver(const char* bytes, std::size_t size) {
    if (size == 0) return;
    pending_ = true;
    if (!cut_) line_.append(bytes, size);
  }

  // The buffer is kept, so a file of many lines costs one line's memory.
  bool end_line() {
    const bool go_on = visitor_.visit_line(line_);
    line_.clear();
    pending_ = false;
    cut_ = false;
    stopped_ = !go_on;
    return go_on;
  }

  LineVisitor& visitor_;
  std::string line_;
  bool pending_ = false;  // bytes have arrived since the last LF
  bool cut_ = false;      // a NUL was seen: the rest of the line is dropped
  bool held_cr_ = false;
  bool stopped_ = false;  // the visitor wants no more lines
};

// Drops a byte order mark at the very start of the content and hands on
// everything else. The mark may arrive split over blocks; bytes that began
// like it but are not it go on as content.
class MarkSkipper {
 public:
  explicit MarkSkipper(LineCollector& lines) : lines_(lines) {}

  bool feed(const char* bytes, std::size_t size) {
    for (; matching_ && size > 0; ++bytes, --size) {
      if (*bytes != byte_order_mark[matched_]) {
        matching_ = false;
        if (!lines_.feed(byte_order_mark.data(), matched_)) return false;
        break;
      }
      matching_ = ++matched_ < byte_order_mark.size();
    }
    return lines_.feed(bytes, size);
  }

  void finish() {
    if (matching_) lines_.feed(byte_order_mark.data(), matched_);
    lines_.finish();
  }

 private:
  LineCollector& lines_;
  std::size_t matched_ = 0;
  bool matching_ = true;
};

}  // namespace

bool read_lines(const std::string& path, LineVisitor& visitor) {
  platform::file_handle file = platform::open_file(path);
  if (file == nullptr) return false;
  // Closed on every way out, also when a line cannot be stored.
  std::unique_ptr<void, void (*)(platform::file_handle)> closer(file, platform::close_file);
  constexpr std::size_t read_block = 64 * 1024;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[read_block]);
  if (!buffer) return true;
  LineCollector collector(visitor);
  MarkSkipper content(collector);
  for (;;) {
    const long got = platform::read_file(file, buffer.get(), read_block);
    if (got <= 0 || !content.feed(buffer.get(), static_cast<std::size_t>(got))) break;
  }
  content.finish();
  return true;
}

bool file_exists(const std::string& path) {
  platform::file_handle file = platform::open_file(path);
  if (file == nullptr) return false;
  platform::close_file(file);
  return true;
}

}  // namespace files
