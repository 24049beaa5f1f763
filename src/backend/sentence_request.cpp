#include "backend/sentence_request.h"

#include <charconv>
#include <cstring>

#include "text/token_cutting.h"

namespace backend {
namespace {

// The fixed lines and the first argument's label of each form. The 3.0
// form says the caller is local: the ghost's own dictionary on this
// machine, which engines answer differently from a stranger.
struct RequestWords {
  std::string_view head;
  std::string_view first_label;
};
constexpr RequestWords words_2_5 = {
    "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n", "Event: "};
constexpr RequestWords words_3_0 = {
    "GET SHIORI/3.0\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\nSecurityLevel: local\r\n",
    "ID: "};
constexpr std::string_view reference_label = "Reference";  // then the number
constexpr std::string_view reference_separator = ": ";
constexpr std::string_view line_end = "\r\n";

const RequestWords& words_for(Protocol form) {
  return form == Protocol::shiori_3_0 ? words_3_0 : words_2_5;
}

// The decimal number of the reference that argument `index` (from 1) becomes.
std::string_view reference_number(std::size_t index, char (&digits)[12]) {
  const auto printed = std::to_chars(digits, digits + sizeof digits, index - 1);
  return {digits, static_cast<std::size_t>(printed.ptr - digits)};
}

char* put(char* out, std::string_view piece) {
  if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
  return out + piece.size();
}

bool is_utf8_label(std::string_view charset) {
  constexpr std::string_view utf8 = "utf-8";
  if (charset.size() != utf8.size()) return false;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const char c = charset[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != utf8[i]) return false;
  }
  return true;
}

// Sends one request composed in `form` and returns the backend's reply.
// `last_reader`, when given, is the host's block that the arguments view:
// it is freed once the request is written, before the backend runs.
platform::ReceivedBlock exchange(const BackendModule& backend, const ArgumentList& arguments,
                                 Protocol form, platform::ReceivedBlock* last_reader,
                                 ExchangeObserver* observer) {
  const std::size_t size = sentence_request_size(arguments, form);
  platform::block_handle request = platform::new_block(size);
  if (request != nullptr) compose_sentence_request(arguments, platform::block_bytes(request), form);
  if (last_reader != nullptr) last_reader->release();
  if (request == nullptr) return {};
  if (observer == nullptr) return forward_request(backend, request, size);
  observer->sending({platform::block_bytes(request), size}, form);
  platform::ReceivedBlock reply = forward_request(backend, request, size);
  observer->replied(reply.text());
  return reply;
}

}  // namespace

std::size_t sentence_request_size(const ArgumentList& arguments, Protocol form) {
  const RequestWords& words = words_for(form);
  std::size_t size = words.head.size() + line_end.size();
  char digits[12];
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    size += i == 0 ? words.first_label.size()
                   : reference_label.size() + reference_number(i, digits).size() +
                         reference_separator.size();
    size += arguments[i].size() + line_end.size();
  }
  return size;
}

void compose_sentence_request(const ArgumentList& arguments, char* out, Protocol form) {
  const RequestWords& words = words_for(form);
  // Each head put at its own fixed size, which compiles to a few moves.
  out = form == Protocol::shiori_3_0 ? put(out, words_3_0.head) : put(out, words_2_5.head);
  char digits[12];
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      out = put(out, words.first_label);
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

std::string_view status_code(std::string_view reply) {
  // This runs on every reply while the backend's form is not known: one
  // test per byte for the bytes above the space, which all but a few are.
  const char* at = reply.data();
  const char* const end = at + reply.size();
  for (;; ++at) {
    if (at == end) return {};
    const auto byte = static_cast<unsigned char>(*at);
    if (byte > ' ') continue;
    if (byte == ' ') break;
    if (byte == '\n' || byte == '\0') return {};  // no space in the first line
  }
  const char* const word = ++at;
  for (; at != end; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte <= ' ' && (byte == ' ' || byte == '\r' || byte == '\n' || byte == '\0')) break;
  }
  return {word, static_cast<std::size_t>(at - word)};
}

SentenceResult result_in(std::string_view reply, Protocol form) {
  SentenceResult result;
  std::string_view charset;
  const bool shiori_3_0 = form == Protocol::shiori_3_0;
  text::read_header_block(reply, [&](std::string_view key, std::string_view value) {
    // Compared with literals, which compile to a few loads.
    if (shiori_3_0 ? key == "Value" : key == "Sentence")
      result.text = value;
    else if (key == "Charset")
      charset = value;
  });
  result.utf8 = is_utf8_label(charset);
  return result;
}

SentenceReply ask_sentence(BackendModule& backend, const ArgumentList& arguments,
                           platform::ReceivedBlock& host_request, ExchangeObserver* observer) {
  SentenceReply reply;
  if (backend.request_entry == nullptr) return reply;
  // Until the form is known, a 400 may call for the same arguments again.
  const bool detecting = backend.protocol == Protocol::detect;
  reply.form = detecting ? Protocol::shiori_2_5 : backend.protocol;
  reply.block = exchange(backend, arguments, reply.form, detecting ? nullptr : &host_request,
                         observer);
  if (detecting && status_code(reply.block.text()) == "400") {
    // "Bad Request" to the 2.5 form: the same request in the 3.0 form.
    reply.block.release();
    reply.form = Protocol::shiori_3_0;
    reply.block = exchange(backend, arguments, reply.form, &host_request, observer);
    if (status_code(reply.block.text()) != "400") backend.protocol = Protocol::shiori_3_0;
  }
  host_request.release();
  return reply;
}

}  // namespace backend
