#include "backend/sentence_request.h"

#include <string_view>

#include "text/token_cutting.h"

namespace backend {

std::string compose_sentence_request(const plugin::ArgumentList& arguments) {
  static constexpr std::string_view head =
      "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n";
  std::size_t size = head.size() + 2;
  for (const std::string& argument : arguments) size += argument.size() + 20;
  std::string request;
  request.reserve(size);
  request += head;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      request += "Event: ";
    } else {
      request += "Reference";
      request += std::to_string(i - 1);
      request += ": ";
    }
    request += arguments[i];
    request += "\r\n";
  }
  request += "\r\n";
  return request;
}

std::string_view sentence_in(const std::string& reply) {
  std::string_view sentence;
  text::read_header_block(reply.c_str(), [&](std::string_view key, std::string_view value) {
    if (key == "Sentence") sentence = value;
  });
  return sentence;
}

std::string read_sentence(const std::string& reply) { return std::string(sentence_in(reply)); }

std::string_view ask_sentence(const BackendModule& backend, const plugin::ArgumentList& arguments,
                              std::string& reply) {
  reply = forward_request(backend, compose_sentence_request(arguments));
  return sentence_in(reply);
}

}  // namespace backend
