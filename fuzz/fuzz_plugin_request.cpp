// The plug-in request decoder on any bytes a host might send, and the reply
// built from what it decoded.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "plugin/plugin_codec.h"
#include "text/token_cutting.h"

namespace {

std::vector<std::string_view> listed(const backend::ArgumentList& arguments) {
  std::vector<std::string_view> entries;
  for (std::size_t i = 0; i < arguments.size(); ++i) entries.push_back(arguments[i]);
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  const backend::ArgumentList decoded = plugin::decode_plugin_request(request);
  const std::vector<std::string_view> arguments = listed(decoded);

  FUZZ_CHECK(arguments.size() <= backend::max_arguments);
  // Only a header can make the list longer, and a header never has an empty value.
  if (!arguments.empty()) FUZZ_CHECK(!arguments.back().empty());
  for (std::string_view argument : arguments) {
    FUZZ_CHECK(argument.find('\0') == std::string_view::npos);
    FUZZ_CHECK(!fuzz_support::has_character(argument, '\n'));
    if (!argument.empty()) FUZZ_CHECK(argument.front() != ' ');
  }
  // Scanning ends at the first NUL: nothing behind it counts.
  const backend::ArgumentList up_to_nul = plugin::decode_plugin_request(request.c_str());
  FUZZ_CHECK(listed(up_to_nul) == arguments);

  // Any argument, sent back as a result, reads back unchanged.
  const std::string_view sentence = arguments.empty() ? std::string_view() : arguments.front();
  long length = -1;
  platform::block_handle block = plugin::encode_plugin_response(sentence, false, &length);
  FUZZ_CHECK(block != nullptr && length > 0);
  const std::string reply(platform::block_bytes(block), static_cast<std::size_t>(length));
  platform::free_block(block);
  FUZZ_CHECK(reply.rfind("SAORI/1.0 200 OK\r\n", 0) == 0);
  FUZZ_CHECK(reply.size() >= 4 && reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0);
  std::string_view result;
  text::read_header_block(reply, [&](std::string_view key, std::string_view value) {
    if (key == "Result") result = value;
  });
  FUZZ_CHECK(result == sentence);
  return 0;
}
