#include "backend/sentence_request.h"

#include <charconv>
#include <cstring>

#include "text/token_cutting.h"

namespace backend {
namespace {

constexpr std::string_view request_head =
    "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n";
constexpr std::string_view event_label = "Event: ";
constexpr std::string_view reference_label = "Reference";  // then the number
constexpr std::string_view reference_separator = ": ";
constexpr std::string_view line_end = "\r\n";

// The decimal number of the reference that argument `index` (from 1) becomes.
std::string_view reference_number(std::size_t index, char (&digits)[12]) {
  const auto printed = std::to_chars(digits, digits + sizeof digits, index - 1);
  return {digits, static_cast<std::size_t>(printed.ptr - digits)};
}

char* put(char* out, std::string_view piece) {
  if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
  return out + piece.size();
}

}  // namespace

std::size_t sentence_request_size(const plugin::ArgumentList& arguments) {
  std::size_t size = request_head.size() + line_end.size();
  char digits[12];
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    size += i == 0 ? event_label.size()
                   : reference_label.size() + reference_number(i, digits).size() +
                         reference_separator.size();
    size += arguments[i].size() + line_end.size();
  }
  return size;
}

void compose_sentence_request(const plugin::ArgumentList& arguments, char* out) {
  out = put(out, request_head);
  char digits[12];
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      out = put(out, event_label);
    } else {
      out = put(out, reference_label);
      out = put(out, reference_number(i, digits));
      out = put(out, reference_separator);
    }
    out = put(out, arguments[i]);
    out = put(out, line_end);
  }
  put(out, line_end);
}

std::string_view sentence_in(std::string_view reply) {
  std::string_view sentence;
  text::read_header_block(reply, [&](std::string_view key, std::string_view value) {
    if (key == "Sentence") sentence = value;
  });
  return sentence;
}

plugin::ReceivedBlock ask_sentence(const BackendModule& backend,
                                   plugin::ReceivedBlock& host_request) {
  if (backend.request_entry == nullptr) return {};
  const plugin::ArgumentList arguments = plugin::decode_plugin_request(host_request.text());
  const std::size_t size = sentence_request_size(arguments);
  platform::block_handle request = plugin::new_block(size);
  if (request != nullptr) compose_sentence_request(arguments, platform::block_bytes(request));
  host_request.release();  // the arguments were its last readers
  if (request == nullptr) return {};
  return forward_request(backend, request, size);
}

}  // namespace backend
