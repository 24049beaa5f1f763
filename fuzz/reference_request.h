// The request path read one byte at a time, step by step as the rules are
// written down, on owned NUL-terminated texts: the yardstick that the
// module's in-place, fast-scanning path is compared with.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace reference {

// The two lead-byte sets: code page 932 (Shift_JIS), or a single-byte code page.
inline bool is_lead(unsigned char byte, bool shift_jis) {
  return shift_jis && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

// Bytes up to the first delimiter that begins a character; the cursor moves
// past it, or stays on the NUL when the text ends first.
inline std::string cut_token(const char*& cursor, char delimiter, bool shift_jis) {
  const char* scan = cursor;
  while (*scan != 0) {
    if (*scan == delimiter) break;
    const bool lead = is_lead(static_cast<unsigned char>(*scan), shift_jis);
    scan += (lead && scan[1] != 0) ? 2 : 1;  // a lead byte before the NUL stands alone
  }
  std::string token(cursor, scan);
  cursor = *scan == 0 ? scan : scan + 1;
  return token;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline Pairs read_header_block(const std::string& text, bool shift_jis) {
  Pairs pairs;
  const char* cursor = text.c_str();
  cut_token(cursor, '\n', shift_jis);
  for (;;) {
    std::string key = cut_token(cursor, ':', shift_jis);
    if (key.empty()) break;
    while (*cursor == ' ') ++cursor;
    std::string value = cut_token(cursor, '\n', shift_jis);
    if (value.empty()) break;
    if (value.back() == '\r') value.pop_back();
    if (value.empty()) break;
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

// White space, a sign, decimal digits; wrapped to a signed 32-bit integer.
inline std::int32_t argument_index(const std::string& digits) {
  std::size_t at = 0;
  while (at < digits.size() && (digits[at] == ' ' || (digits[at] >= '\t' && digits[at] <= '\r')))
    ++at;
  bool negative = false;
  if (at < digits.size() && (digits[at] == '+' || digits[at] == '-')) negative = digits[at++] == '-';
  std::uint32_t value = 0;
  for (; at < digits.size() && digits[at] >= '0' && digits[at] <= '9'; ++at)
    value = value * 10u + static_cast<std::uint32_t>(digits[at] - '0');
  return static_cast<std::int32_t>(negative ? 0u - value : value);
}

inline std::vector<std::string> decode_plugin_request(const std::string& request, bool shift_jis) {
  std::vector<std::string> arguments;
  for (const auto& [key, value] : read_header_block(request, shift_jis)) {
    if (key.compare(0, 8, "Argument") != 0 || key.size() < 8) continue;
    const std::int32_t index = argument_index(key.substr(8));
    if (index < 0 || index >= 100) continue;
    if (arguments.size() < static_cast<std::size_t>(index) + 1) arguments.resize(index + 1);
    arguments[index] = value;
  }
  return arguments;
}

inline std::string compose_sentence_request(const std::vector<std::string>& arguments) {
  std::string request = "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n";
  if (!arguments.empty()) request += "Event: " + arguments[0] + "\r\n";
  for (std::size_t i = 1; i < arguments.size(); ++i)
    request += "Reference" + std::to_string(i - 1) + ": " + arguments[i] + "\r\n";
  return request + "\r\n";
}

inline std::string read_sentence(const std::string& reply, bool shift_jis) {
  std::string sentence;
  for (const auto& [key, value] : read_header_block(reply, shift_jis))
    if (key == "Sentence") sentence = value;
  return sentence;
}

inline std::string encode_plugin_response(const std::string& sentence) {
  return "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: " + sentence + "\r\n\r\n";
}

}  // namespace reference
