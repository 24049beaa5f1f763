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

// The request for `arguments` in the 2.5 form, or (`shiori_3_0`) in the
// 3.0 form with its ID line and a local caller.
inline std::string compose_sentence_request(const std::vector<std::string>& arguments,
                                            bool shiori_3_0) {
  std::string request = shiori_3_0 ? "GET SHIORI/3.0\r\n" : "GET Sentence SHIORI/2.5\r\n";
  request += "Sender: Quillbridge\r\nCharset: Shift_JIS\r\n";
  if (shiori_3_0) request += "SecurityLevel: local\r\n";
  if (!arguments.empty()) request += (shiori_3_0 ? "ID: " : "Event: ") + arguments[0] + "\r\n";
  for (std::size_t i = 1; i < arguments.size(); ++i)
    request += "Reference" + std::to_string(i - 1) + ": " + arguments[i] + "\r\n";
  return request + "\r\n";
}

// The bytes after the first space of the first line, up to a space or CR.
inline std::string status_code(const std::string& reply) {
  std::string code;
  bool after_space = false;
  for (char c : reply) {
    if (c == '\n' || c == '\0') break;
    if (!after_space) {
      after_space = c == ' ';
    } else if (c == ' ' || c == '\r') {
      break;
    } else {
      code += c;
    }
  }
  return code;
}

// The last Value (3.0) or Sentence (2.5), and whether the last Charset is
// UTF-8 in any letter case.
inline std::string read_result(const std::string& reply, bool shift_jis, bool shiori_3_0,
                               bool& utf8) {
  std::string result, charset;
  for (const auto& [key, value] : read_header_block(reply, shift_jis)) {
    if (key == (shiori_3_0 ? "Value" : "Sentence")) result = value;
    if (key == "Charset") charset = value;
  }
  for (char& c : charset) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  utf8 = charset == "UTF-8";
  return result;
}

inline std::string encode_plugin_response(const std::string& result, bool utf8) {
  return std::string("SAORI/1.0 200 OK\r\nCharset: ") + (utf8 ? "UTF-8" : "Shift_JIS") +
         "\r\nResult: " + result + "\r\n\r\n";
}

}  // namespace reference
