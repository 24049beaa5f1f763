#include "text/field_splitting.h"

#include <algorithm>

#include "platform/platform.h"

namespace text {

std::string_view next_char(const char*& cursor) {
  const unsigned char byte = static_cast<unsigned char>(*cursor);
  if (byte == 0) return {};
  const std::size_t width = (platform::lead_bytes().lead[byte] && cursor[1] != 0) ? 2 : 1;
  const std::string_view character(cursor, width);
  cursor += width;
  return character;
}

std::size_t split_fields(const std::string& line, const std::string& delimiters,
                         std::vector<std::string>& fields) {
  std::vector<std::string_view> delimiter_set;
  for (const char* cursor = delimiters.c_str();;) {
    const std::string_view character = next_char(cursor);
    if (character.empty()) break;
    if (std::find(delimiter_set.begin(), delimiter_set.end(), character) == delimiter_set.end())
      delimiter_set.push_back(character);
  }

  std::string field;
  for (const char* cursor = line.c_str();;) {
    const std::string_view character = next_char(cursor);
    if (character.empty()) break;
    if (std::find(delimiter_set.begin(), delimiter_set.end(), character) == delimiter_set.end()) {
      field += character;
    } else if (!field.empty()) {
      fields.push_back(std::move(field));
      field.clear();
    }
  }
  if (!field.empty()) fields.push_back(std::move(field));
  return fields.size();
}

}  // namespace text
