#include "plugin/plugin_codec.h"

#include <cstdint>
#include <cstring>

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

backend::ArgumentList decode_plugin_request(std::string_view request) {
  backend::ArgumentList arguments;
  text::read_header_block(request, [&](std::string_view key, std::string_view value) {
    if (key.substr(0, argument_prefix_length) != argument_prefix) return;
    const std::int32_t index = parse_argument_index(key.substr(argument_prefix_length));
    if (index < 0 || index >= static_cast<std::int32_t>(backend::max_arguments)) return;
    arguments.set(static_cast<std::size_t>(index), value);
  });
  return arguments;
}

platform::block_handle encode_plugin_response(std::string_view result, bool utf8, long* length) {
  const std::size_t head_size = utf8 ? response_head_utf8.size() : response_head.size();
  const std::size_t size = head_size + result.size() + response_tail.size();
  platform::block_handle reply = platform::new_block(size);
  *length = 0;  // without a block there is nothing to answer with
  if (reply == nullptr) return nullptr;
  char* out = platform::block_bytes(reply);
  // Each head copied at its own fixed size, which compiles to a few moves.
  if (utf8)
    std::memcpy(out, response_head_utf8.data(), response_head_utf8.size());
  else
    std::memcpy(out, response_head.data(), response_head.size());
  out += head_size;
  if (!result.empty()) std::memcpy(out, result.data(), result.size());
  out += result.size();
  std::memcpy(out, response_tail.data(), response_tail.size());
  *length = static_cast<long>(size);
  return reply;
}

}  // namespace plugin
