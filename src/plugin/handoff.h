// Moving text across a module boundary. A block belongs to whoever received
// it last: the receiver copies the bytes out and frees the block at once.
#pragma once

#include <optional>
#include <string>

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

}  // namespace plugin
