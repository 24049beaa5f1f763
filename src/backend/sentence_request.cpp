#include "backend/sentence_request.h"

#include <charconv>
#include <cstring>

#include "text/token_cutting.h"

namespace backend {
namespace {

constexpr std::string_view request_head =
    "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n";

// The label that goes before argument `index`: "Event: " for the first,
// "Reference<index - 1>: " for the rest.
void append_label(std::size_t index, text::TextWriter& out) {
  if (index == 0) {
    out.append("Event: ");
    return;
  }
  char number[12];
  const auto printed = std::to_chars(number, number + sizeof number, index - 1);
  out.append("Reference");
  out.append({number, static_cast<std::size_t>(printed.ptr - number)});
  out.append(": ");
}

// Writes the backend's request while the host's is read. Arguments that
// come in index order, as hosts send them, are copied straight out of the
// host's text in the pass that reads it; in any other order the request has
// to be composed afresh from the views once the whole text is read.
class StreamedRequest final : public plugin::ArgumentReader {
 public:
  explicit StreamedRequest(char* bytes) : out_(bytes) { out_.append(request_head); }

  // The room the request may need while it is written, for a host text of
  // `length` bytes: each argument line of the host's ("Argument<n>:" and
  // the value) is at most 5 bytes shorter than the one it becomes here, and
  // at least 10 bytes long.
  static std::size_t room_for(std::size_t length) {
    const std::size_t lines = length / 10 + 1;
    const std::size_t counted = lines < plugin::max_arguments ? lines : plugin::max_arguments;
    return request_head.size() + length + 5 * counted + 4;
  }

  char* copy_destination(std::size_t index) override {
    if (!in_order_ || index != arguments_.size()) {
      in_order_ = false;
      return nullptr;
    }
    unfinished_label_ = out_.size();
    append_label(index, out_);
    return out_.position();
  }

  void take(std::size_t index, std::string_view value) override {
    arguments_.set(index, value);
    if (!in_order_) return;
    out_.skip(value.size());  // copied while it was read
    out_.append("\r\n");
    unfinished_label_ = none;
  }

  // Ends the request once the host's text is read, and gives its size;
  // false when the arguments came out of order.
  bool finish(std::size_t& size) {
    if (!in_order_) return false;
    if (unfinished_label_ != none) out_.truncate(unfinished_label_);  // its value ended the reading
    out_.append("\r\n");
    size = out_.size();
    return true;
  }

  const plugin::ArgumentList& arguments() const { return arguments_; }

 private:
  static constexpr std::size_t none = static_cast<std::size_t>(-1);
  text::TextWriter out_;
  plugin::ArgumentList arguments_;
  bool in_order_ = true;
  std::size_t unfinished_label_ = none;
};

}  // namespace

void compose_sentence_request(const plugin::ArgumentList& arguments, text::TextWriter& out) {
  out.append(request_head);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    append_label(i, out);
    out.append(arguments[i]);
    out.append("\r\n");
  }
  out.append("\r\n");
}

std::string_view sentence_in(std::string_view reply, char* copy_to) {
  struct LastSentence {
    explicit LastSentence(char* copy_to) : copy_to(copy_to) {}
    char* copy_to;
    std::string_view sentence;
    bool copied = true;  // whether copy_to holds `sentence`

    char* copy_destination(std::string_view key) {
      if (key != "Sentence" || copy_to == nullptr) return nullptr;
      copied = false;  // a later Sentence is being copied over it
      return copy_to;
    }
    void take(std::string_view key, std::string_view value) {
      if (key != "Sentence") return;
      sentence = value;
      copied = true;
    }
  } last(copy_to);
  text::read_header_block(reply, last);
  // A later Sentence that turned out empty ended the reading and may have
  // overwritten the copy of the one that stands.
  if (!last.copied && !last.sentence.empty())
    std::memcpy(copy_to, last.sentence.data(), last.sentence.size());
  return last.sentence;
}

plugin::ReceivedBlock ask_sentence(const BackendModule& backend,
                                   plugin::ReceivedBlock& host_request) {
  if (backend.request_entry == nullptr) return {};
  const std::string_view host_text = host_request.text();
  const std::size_t room = StreamedRequest::room_for(host_text.size());
  platform::block_handle block = plugin::new_block(room);
  if (block == nullptr) return {};
  StreamedRequest request(platform::block_bytes(block));
  plugin::decode_plugin_request(host_text, request);
  std::size_t size = 0;
  if (!request.finish(size)) {
    // Out of order: composed from the views, in a block of its own when the
    // arguments' numbers leave gaps that the room was not made for.
    text::TextWriter measure;
    compose_sentence_request(request.arguments(), measure);
    size = measure.size();
    if (size > room) {
      platform::free_block(block);
      block = plugin::new_block(size);
      if (block == nullptr) return {};
    }
    text::TextWriter out(platform::block_bytes(block));
    compose_sentence_request(request.arguments(), out);
  }
  host_request.release();  // the arguments were its last readers
  if (size < room) platform::shrink_block(block, size);
  return forward_request(backend, block, size);
}

}  // namespace backend
