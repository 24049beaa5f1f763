// Field splitting of a settings line. The first byte picks the lead-byte
// rule and how many of the next bytes form the delimiter string.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/test_hooks.h"
#include "text/field_splitting.h"

namespace {

// The characters of a NUL-terminated text, read the way next_char does.
std::vector<std::string_view> characters(const char* text) {
  std::vector<std::string_view> found;
  for (std::string_view c; !(c = text::next_char(text)).empty();) found.push_back(c);
  return found;
}

bool contains(const std::vector<std::string_view>& set, std::string_view c) {
  for (std::string_view d : set)
    if (d == c) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  platform::use_lead_byte_rule((data[0] & 4) != 0 ? platform::LeadByteRule::single_byte
                                                  : platform::LeadByteRule::code_page_932);
  const std::size_t delimiter_size = std::min<std::size_t>(data[0] & 3, size - 1);
  const std::string delimiters(reinterpret_cast<const char*>(data) + 1, delimiter_size);
  const std::string line(reinterpret_cast<const char*>(data) + 1 + delimiter_size,
                         size - 1 - delimiter_size);

  std::vector<std::string> fields = {"kept"};
  const std::size_t count = text::split_fields(line, delimiters, fields);
  FUZZ_CHECK(count == fields.size() && !fields.empty() && fields.front() == "kept");

  const std::vector<std::string_view> delimiter_set = characters(delimiters.c_str());
  std::string joined;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    FUZZ_CHECK(!fields[i].empty());
    FUZZ_CHECK(fields[i].find('\0') == std::string::npos);
    for (std::string_view c : characters(fields[i].c_str())) FUZZ_CHECK(!contains(delimiter_set, c));
    joined += fields[i];
  }
  // Nothing is lost but the delimiters themselves.
  std::string kept;
  for (std::string_view c : characters(line.c_str()))
    if (!contains(delimiter_set, c)) kept += c;
  FUZZ_CHECK(joined == kept);
  platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932);
  return 0;
}
