// The header block reader on a backend's reply, and the Sentence picked
// out of it. The first byte chooses the lead-byte rule. Beside them, the
// searches a token's end is found with, each against a byte-at-a-time one.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "backend/sentence_request.h"
#include "fuzz_support.h"
#include "text/stop_search.h"
#include "text/token_cutting.h"

namespace {

// Every search, from `skip` bytes into `text` on, must stop where a plain
// loop does and copy exactly the bytes before the stop, into a buffer just
// that long so that the sanitizer sees a write past it.
void check_stop_searches(const std::string& text, std::size_t skip, char delimiter) {
  const char* from = text.data() + (skip < text.size() ? skip : text.size());
  const char* end = text.data() + text.size();
  const char* expected = from;
  while (expected < end && *expected != delimiter && *expected != '\0') ++expected;
  const auto length = static_cast<std::size_t>(expected - from);
  using Search = const char* (*)(const char*, const char*, char, char*);
  for (const Search search : {Search{text::find_stop}, Search{text::find_stop_beyond},
                              Search{text::find_stop_by_slices}}) {
    FUZZ_CHECK(search(from, end, delimiter, nullptr) == expected);
    const std::unique_ptr<char[]> copy(new char[length + 1]);
    FUZZ_CHECK(search(from, end, delimiter, copy.get() + 1) == expected);
    FUZZ_CHECK(std::memcmp(copy.get() + 1, from, length) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  platform::use_lead_byte_rule((data[0] & 1) != 0 ? platform::LeadByteRule::single_byte
                                                  : platform::LeadByteRule::code_page_932);
  const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
  const char* begin = reply.c_str();
  const char* end = begin + std::char_traits<char>::length(begin);

  std::string last_sentence;
  const char* previous_end = begin;
  text::read_header_block(reply, [&](std::string_view key, std::string_view value) {
    FUZZ_CHECK(!key.empty() && !value.empty());
    // Pairs come in text order, inside the text up to its first NUL, though
    // the whole string is the range read.
    FUZZ_CHECK(key.data() >= previous_end && value.data() >= key.data() + key.size() + 1);
    FUZZ_CHECK(value.data() + value.size() <= end);
    previous_end = value.data() + value.size();
    FUZZ_CHECK(!fuzz_support::has_character(key, ':'));
    FUZZ_CHECK(!fuzz_support::has_character(value, '\n'));
    FUZZ_CHECK(value.front() != ' ');
    if (key == "Sentence") last_sentence = value;
  });
  FUZZ_CHECK(backend::sentence_in(reply) == last_sentence);

  // The searches start anywhere, so that the wide ones meet every alignment
  // and every distance to a stop.
  check_stop_searches(reply, data[0] >> 1, ':');
  check_stop_searches(reply, data[0] >> 2, '\n');
  platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932);
  return 0;
}
