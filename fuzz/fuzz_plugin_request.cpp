// The plug-in request decoder on any bytes a host might send, and the reply
// built from what it decoded.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "plugin/plugin_codec.h"
#include "text/token_cutting.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  const plugin::ArgumentList arguments = plugin::decode_plugin_request(request);

  FUZZ_CHECK(arguments.size() <= plugin::max_arguments);
  // Only a header can make the list longer, and a header never has an empty value.
  if (!arguments.empty()) FUZZ_CHECK(!arguments.back().empty());
  for (const std::string& argument : arguments) {
    FUZZ_CHECK(argument.find('\0') == std::string::npos);
    FUZZ_CHECK(!fuzz_support::has_character(argument, '\n'));
    if (!argument.empty()) FUZZ_CHECK(argument.front() != ' ');
  }
  // Scanning ends at the first NUL: nothing behind it counts.
  FUZZ_CHECK(plugin::decode_plugin_request(request.c_str()) == arguments);

  // Any argument, sent back as a result, reads back unchanged.
  const std::string sentence = arguments.empty() ? std::string() : arguments.front();
  const std::string reply = plugin::encode_plugin_response(sentence);
  FUZZ_CHECK(reply.rfind("SAORI/1.0 200 OK\r\n", 0) == 0);
  FUZZ_CHECK(reply.size() >= 4 && reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0);
  std::string result;
  text::read_header_block(reply.c_str(), [&](std::string_view key, std::string_view value) {
    if (key == "Result") result = value;
  });
  FUZZ_CHECK(result == sentence);
  return 0;
}
