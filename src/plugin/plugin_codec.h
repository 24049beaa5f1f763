// The plug-in protocol's two texts: the request, whose "ArgumentN" headers
// carry the arguments, and the 200 OK reply carrying the result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plugin {

// The arguments of one request, in index order; unfilled slots are empty.
using ArgumentList = std::vector<std::string>;

inline constexpr std::string_view argument_prefix = "Argument";
inline constexpr std::size_t argument_prefix_length = 8;
inline constexpr std::size_t max_arguments = 100;

ArgumentList decode_plugin_request(const std::string& request);
std::string encode_plugin_response(std::string_view sentence);

}  // namespace plugin
