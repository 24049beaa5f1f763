#include "text/token_cutting.h"

#include <cstring>

#include "platform/platform.h"

namespace text {
namespace {

// The first byte at or after `from` that is the delimiter or the NUL,
// whether or not it begins a character.
const unsigned char* next_stop(const unsigned char* from, unsigned char stop) {
  const char* text = reinterpret_cast<const char*>(from);
  const char* hit = std::strchr(text, stop);
  if (hit == nullptr) hit = text + std::strlen(text);
  return reinterpret_cast<const unsigned char*>(hit);
}

}  // namespace

std::string_view cut_token(const char*& cursor, char delimiter) {
  const bool* lead = platform::lead_bytes().lead;
  const unsigned char stop = static_cast<unsigned char>(delimiter);
  const unsigned char* start = reinterpret_cast<const unsigned char*>(cursor);
  const unsigned char* scan = start;  // always the first byte of a character
  for (;;) {
    const unsigned char* hit = next_stop(scan, stop);
    // Rather than walk every character up to the hit, look back from it: the
    // byte after a non-lead byte always begins a character, so the hit does
    // exactly when an even number of lead bytes stands right before it. A
    // lead byte never takes the NUL with it.
    const unsigned char* run = hit;
    while (run > scan && lead[run[-1]]) --run;
    scan = hit;
    if (*hit == 0 || (hit - run) % 2 == 0) break;
    // The hit was the second byte of a two-byte character: look on after it.
    scan = hit + 1;
  }
  cursor = reinterpret_cast<const char*>(*scan == 0 ? scan : scan + 1);
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
