// The plug-in protocol's two texts: the request, whose "ArgumentN" headers
// carry the arguments, and the 200 OK reply carrying the result.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/platform.h"

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
  // Plain pointer and length, and slots from size_ on left unset: a request
  // pays only for the slots it fills, not for zeroing all of them.
  struct Slot {
    const char* bytes;
    std::size_t length;
  };
  Slot slots_[max_arguments];
  std::size_t size_ = 0;
};

// The arguments of the request text, as views into it. Headers whose key
// is not "Argument" and an index from 0 to 99 are ignored; a later header
// for the same index wins.
ArgumentList decode_plugin_request(std::string_view request);

inline constexpr std::string_view response_head =
    "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: ";
inline constexpr std::string_view response_tail = "\r\n\r\n";

// The reply for `sentence`, in a new block exactly as long as its text, for
// the host. Stores the byte count through `length`: 0, with a null block,
// when no block can be had.
platform::block_handle encode_plugin_response(std::string_view sentence, long* length);

}  // namespace plugin
