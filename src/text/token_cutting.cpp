#include "text/token_cutting.h"

#include "platform/platform.h"
#include "text/stop_search.h"

namespace text {
namespace {

// A text being read: `end` moves back onto the first NUL once a search
// meets one, since the text ends there.
struct Reading {
  const char* cursor;
  const char* end;
};

// cut_token with the lead-byte table fetched by the caller, so that a
// reader of many tokens fetches it once. When `copying`, the token's bytes
// are copied to `copy_to` in the same pass (the room needed is the rest of
// the text at most); a cut that copies nothing is compiled without the copy.
template <bool copying>
[[gnu::always_inline]] inline std::string_view cut(const bool* lead, Reading& text, char delimiter,
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

}  // namespace

std::string_view cut_token(const char*& cursor, const char* end, char delimiter) {
  Reading text{cursor, end};
  const std::string_view token = cut<false>(platform::lead_bytes().lead, text, delimiter);
  cursor = text.cursor;
  return token;
}

void read_header_block(std::string_view whole, HeaderConsumer& consumer) {
  const bool* lead = platform::lead_bytes().lead;
  Reading text{whole.data(), whole.data() + whole.size()};
  cut<false>(lead, text, '\n');  // the start line says nothing we act on
  for (;;) {
    const std::string_view key = cut<false>(lead, text, ':');
    if (key.empty()) return;
    while (text.cursor != text.end && *text.cursor == ' ') ++text.cursor;
    char* const copy_to = consumer.copy_destination(key);
    std::string_view value = copy_to != nullptr ? cut<true>(lead, text, '\n', copy_to)
                                                : cut<false>(lead, text, '\n');
    if (value.empty()) return;
    if (value.back() == '\r') value.remove_suffix(1);
    if (value.empty()) return;
    consumer.take(key, value);
  }
}

}  // namespace text
