// The plug-in protocol's two texts: the request, whose "ArgumentN" headers
// carry the arguments, and the 200 OK reply carrying the result.
#pragma once

#include <cstddef>
#include <string_view>

#include "backend/sentence_request.h"
#include "platform/platform.h"

namespace plugin {

inline constexpr std::string_view argument_prefix = "Argument";
inline constexpr std::size_t argument_prefix_length = 8;
// The arguments of the request text, as views into it. Headers whose key
// is not "Argument" and an index from 0 to 99 are ignored; a later header
// for the same index wins.
backend::ArgumentList decode_plugin_request(std::string_view request);

inline constexpr std::string_view response_head =
    "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: ";
// For a result the backend labelled UTF-8: hosts that read the label then
// decode it rightly.
inline constexpr std::string_view response_head_utf8 =
    "SAORI/1.0 200 OK\r\nCharset: UTF-8\r\nResult: ";
inline constexpr std::string_view response_tail = "\r\n\r\n";

// The reply for `result`, labelled UTF-8 when `utf8`, else Shift_JIS, in a
// new block exactly as long as its text, for the host. Stores the byte count
// through `length`: 0, with a null block, when no block can be had.
platform::block_handle encode_plugin_response(std::string_view result, bool utf8, long* length);

}  // namespace plugin
