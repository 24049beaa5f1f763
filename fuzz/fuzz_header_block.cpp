// The header block reader on a backend's reply, and the Sentence picked
// out of it. The first byte chooses the lead-byte rule.
#include <cstdint>
#include <string>
#include <vector>

#include "backend/sentence_request.h"
#include "fuzz_support.h"
#include "text/token_cutting.h"

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
  platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932);
  return 0;
}
