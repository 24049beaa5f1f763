#include "text/token_cutting.h"

#include "platform/platform.h"

namespace text {

std::string_view cut_token(const char*& cursor, char delimiter) {
  const bool* lead = platform::lead_bytes().lead;
  const unsigned char stop = static_cast<unsigned char>(delimiter);
  const unsigned char* start = reinterpret_cast<const unsigned char*>(cursor);
  const unsigned char* scan = start;
  for (;;) {
    const unsigned char byte = *scan;
    if (byte == 0) break;
    if (byte == stop) {
      cursor = reinterpret_cast<const char*>(scan + 1);
      return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(scan - start)};
    }
    // A lead byte takes the next byte with it, unless that is the end.
    scan += (lead[byte] && scan[1] != 0) ? 2 : 1;
  }
  cursor = reinterpret_cast<const char*>(scan);
  return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(scan - start)};
}

void read_header_block(const char* text, const HeaderConsumer& consume) {
  const char* cursor = text;
  cut_token(cursor, '\n');  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = cut_token(cursor, ':');
    if (key.empty()) return;
    while (*cursor == ' ') ++cursor;
    std::string_view value = cut_token(cursor, '\n');
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    consume(key, value);
  }
}

}  // namespace text
