// The plug-in protocol's two texts: the request, whose "ArgumentN" headers
// carry the arguments, and the 200 OK reply carrying the result.
#pragma once

#include <cstddef>
#include <string_view>

#include "text/text_writer.h"

namespace plugin {

inline constexpr std::string_view argument_prefix = "Argument";
inline constexpr std::size_t argument_prefix_length = 8;
inline constexpr std::size_t max_arguments = 100;

// The arguments of one request, in index order; unfilled slots are empty.
// The entries are views into the request text, which must outlive the list;
// the list itself holds no heap memory, whatever the number of arguments.
class ArgumentList {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view operator[](std::size_t index) const {
    return {slots_[index].bytes, slots_[index].length};
  }

  // Stores `value` at `index` (below max_arguments), first extending the
  // list with empty entries when it is shorter. The list never shrinks.
  void set(std::size_t index, std::string_view value) {
    for (; size_ <= index; ++size_) slots_[size_] = Slot{};
    slots_[index] = Slot{value.data(), value.size()};
  }

 private:
  // Slots from size_ on are never read, so they are left unset: a request
  // pays only for the slots it fills.
  struct Slot {
    const char* bytes;
    std::size_t length;
  };
  Slot slots_[max_arguments];
  std::size_t size_ = 0;
};

// Told of each argument as decode_plugin_request reads it, so that its
// value can be copied onward in the same pass.
class ArgumentReader {
 public:
  // Where the value of argument `index` is to be copied while it is read,
  // or null. When that value ends the reading, take() is not called for it.
  virtual char* copy_destination(std::size_t index) = 0;
  virtual void take(std::size_t index, std::string_view value) = 0;

 protected:
  ~ArgumentReader() = default;
};

void decode_plugin_request(std::string_view request, ArgumentReader& reader);
ArgumentList decode_plugin_request(std::string_view request);

inline constexpr std::string_view response_head =
    "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: ";
inline constexpr std::string_view response_tail = "\r\n\r\n";

// Writes the reply for `sentence`; run it with a counting writer to learn
// the reply's size first.
void encode_plugin_response(std::string_view sentence, text::TextWriter& out);

// Writes the reply whose sentence `copy_sentence(at)` copies to `at`,
// returning its size; `out` must have room for response_head,
// response_tail and the longest sentence it may copy.
template <typename CopySentence>
void encode_plugin_response(text::TextWriter& out, CopySentence&& copy_sentence) {
  out.append(response_head);
  out.skip(copy_sentence(out.position()));
  out.append(response_tail);
}

}  // namespace plugin
