#include "plugin/plugin_codec.h"

#include <cstdint>

#include "text/token_cutting.h"

namespace plugin {
namespace {

// Reads an index the way strtol-style conversion does (white space, a sign,
// digits), wrapping modulo 2^32 like the 32-bit integer it ends up in. The
// arithmetic is unsigned so that the wrap is defined.
std::int32_t parse_argument_index(std::string_view digits) {
  std::size_t at = 0;
  while (at < digits.size() && (digits[at] == ' ' || (digits[at] >= '\t' && digits[at] <= '\r')))
    ++at;
  bool negative = false;
  if (at < digits.size() && (digits[at] == '+' || digits[at] == '-')) {
    negative = digits[at] == '-';
    ++at;
  }
  std::uint32_t value = 0;
  for (; at < digits.size() && digits[at] >= '0' && digits[at] <= '9'; ++at)
    value = value * 10u + static_cast<std::uint32_t>(digits[at] - '0');
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

}  // namespace

void decode_plugin_request(std::string_view request, ArgumentReader& reader) {
  struct Arguments {
    explicit Arguments(ArgumentReader& reader) : reader(reader) {}
    ArgumentReader& reader;
    int index = -1;  // of the argument whose value is being read, if any

    char* copy_destination(std::string_view key) {
      index = -1;
      if (key.substr(0, argument_prefix_length) != argument_prefix) return nullptr;
      const std::int32_t number = parse_argument_index(key.substr(argument_prefix_length));
      if (number < 0 || number >= static_cast<std::int32_t>(max_arguments)) return nullptr;
      index = number;
      return reader.copy_destination(static_cast<std::size_t>(index));
    }
    void take(std::string_view, std::string_view value) {
      if (index >= 0) reader.take(static_cast<std::size_t>(index), value);
    }
  } arguments(reader);
  text::read_header_block(request, arguments);
}

ArgumentList decode_plugin_request(std::string_view request) {
  struct Collect final : ArgumentReader {
    ArgumentList list;
    char* copy_destination(std::size_t) override { return nullptr; }
    void take(std::size_t index, std::string_view value) override { list.set(index, value); }
  } collect;
  decode_plugin_request(request, collect);
  return collect.list;
}

void encode_plugin_response(std::string_view sentence, text::TextWriter& out) {
  out.append(response_head);
  out.append(sentence);
  out.append(response_tail);
}

}  // namespace plugin
