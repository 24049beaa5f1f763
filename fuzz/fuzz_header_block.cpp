// The header block reader on a backend's reply, and the Sentence picked
// out of it. The first byte chooses the lead-byte rule. Beside them,
// cut_token from any offset against a character-at-a-time walk.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backend/sentence_request.h"
#include "fuzz_support.h"
#include "platform/test_hooks.h"
#include "text/token_cutting.h"

namespace {

// From `skip` bytes into the text (up to its first NUL), cut_token must
// stop where a walk over whole characters does, and leave the cursor where
// that walk does; a text of exactly that length makes any read past it a
// sanitizer report.
void check_cut_token(const char* begin, const char* end, std::size_t skip, char delimiter) {
  const std::vector<char> exact(begin, end);  // no NUL after it to stop a scan
  const char* text = exact.data();
  const char* text_end = text + exact.size();
  const char* start = text + (skip < exact.size() ? skip : exact.size());
  const bool* lead = platform::lead_bytes().lead;
  const char* stop = start;
  while (stop < text_end && *stop != delimiter)
    stop += lead[static_cast<unsigned char>(*stop)] && stop + 1 < text_end ? 2 : 1;
  const char* cursor = start;
  const std::string_view token = text::cut_token(cursor, text_end, delimiter);
  FUZZ_CHECK(token.data() == start && token.size() == static_cast<std::size_t>(stop - start));
  FUZZ_CHECK(cursor == (stop == text_end ? text_end : stop + 1));
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
  FUZZ_CHECK(backend::result_in(reply, backend::Protocol::shiori_2_5).text == last_sentence);

  // Cuts start anywhere, so that the look-back meets every run of lead bytes.
  check_cut_token(begin, end, data[0] >> 1, ':');
  check_cut_token(begin, end, data[0] >> 2, '\n');
  platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932);
  return 0;
}
