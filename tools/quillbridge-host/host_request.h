// The plug-in request quillbridge-host sends as a host program, in its own
// modes and as the request --check runs through the module's routines; the
// tests send theirs composed here too.
#pragma once

#include <string>
#include <vector>

namespace host_request {

// A request whose Argument0, Argument1, ... are `arguments`, in order.
inline std::string plugin_request(const std::vector<std::string>& arguments) {
  std::string text = "EXECUTE SAORI/1.0\r\nSender: quillbridge-host\r\nCharset: Shift_JIS\r\n";
  for (std::size_t i = 0; i < arguments.size(); ++i)
    text += "Argument" + std::to_string(i) + ": " + arguments[i] + "\r\n";
  return text + "\r\n";
}

}  // namespace host_request
