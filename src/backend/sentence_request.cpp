#include "backend/sentence_request.h"

#include <charconv>

#include "text/token_cutting.h"

namespace backend {

void compose_sentence_request(const plugin::ArgumentList& arguments, text::TextWriter& out) {
  out.append("GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n");
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      out.append("Event: ");
    } else {
      char number[12];
      const auto printed = std::to_chars(number, number + sizeof number, i - 1);
      out.append("Reference");
      out.append({number, static_cast<std::size_t>(printed.ptr - number)});
      out.append(": ");
    }
    out.append(arguments[i]);
    out.append("\r\n");
  }
  out.append("\r\n");
}

std::string_view sentence_in(std::string_view reply) {
  std::string_view sentence;
  text::read_header_block(reply, [&](std::string_view key, std::string_view value) {
    if (key == "Sentence") sentence = value;
  });
  return sentence;
}

std::string_view ask_sentence(const BackendModule& backend, const plugin::ArgumentList& arguments,
                              plugin::ReceivedBlock& host_request, plugin::ReceivedBlock& reply) {
  text::TextWriter measure;
  compose_sentence_request(arguments, measure);
  reply = forward_request(backend, measure.size(), [&](char* bytes) {
    text::TextWriter out(bytes);
    compose_sentence_request(arguments, out);
    host_request.release();  // the arguments were its last readers
  });
  return sentence_in(reply.text());
}

}  // namespace backend
