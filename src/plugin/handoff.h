// Moving text across a module boundary. A block belongs to whoever received
// it last: the receiver frees it once it no longer reads it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace plugin {

// Copies `length` bytes out of a received block and frees it. A negative
// length reads as 0 and a null block as empty text; the block is freed in
// every case. Never throws: when the bytes cannot be held there is no text,
// so that a lost request never passes for an empty one.
std::optional<std::string> take_block(platform::block_handle block, long length) noexcept;

// Puts `text` into a new block for the other side, storing its byte count
// through `length`. When no block can be had, stores 0 and returns null.
platform::block_handle give_block(const std::string& text, long* length) noexcept;

// A new block of exactly `size` bytes for the caller to fill and hand over;
// null when no block can be had or its size does not fit a byte count.
platform::block_handle new_block(std::size_t size) noexcept;

// A received block read where it lies: its first `length` bytes are the
// text (a negative length reads as 0, a null block as empty text). The block
// is freed by release() or, at the latest, when this goes.
class ReceivedBlock {
 public:
  ReceivedBlock() = default;
  ReceivedBlock(platform::block_handle block, long length) noexcept : block_(block) {
    const char* bytes = platform::block_bytes(block);
    if (bytes != nullptr && length > 0) text_ = {bytes, static_cast<std::size_t>(length)};
  }
  ReceivedBlock(ReceivedBlock&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)), text_(std::exchange(other.text_, {})) {}
  ReceivedBlock& operator=(ReceivedBlock&& other) noexcept {
    if (this != &other) {
      release();
      block_ = std::exchange(other.block_, nullptr);
      text_ = std::exchange(other.text_, {});
    }
    return *this;
  }
  ~ReceivedBlock() { release(); }

  std::string_view text() const { return text_; }
  // Frees the block now; nothing may read the text afterwards.
  void release() noexcept {
    if (block_ == nullptr) return;
    platform::free_block(block_);
    block_ = nullptr;
    text_ = {};
  }

 private:
  platform::block_handle block_ = nullptr;
  std::string_view text_;
};

}  // namespace plugin
