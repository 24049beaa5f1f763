#include "plugin/handoff.h"

#include <limits>

namespace plugin {

std::optional<std::string> take_block(platform::block_handle block, long length) noexcept {
  std::optional<std::string> text;
  try {
    text.emplace();
    const char* bytes = platform::block_bytes(block);
    if (bytes != nullptr && length > 0) text->assign(bytes, static_cast<std::size_t>(length));
  } catch (...) {
    text.reset();
  }
  platform::free_block(block);
  return text;
}

platform::block_handle give_block(const std::string& text, long* length) noexcept {
  platform::block_handle block = nullptr;
  if (text.size() <= static_cast<std::size_t>(std::numeric_limits<long>::max()))
    block = platform::allocate_block(text.data(), text.size());
  *length = block != nullptr ? static_cast<long>(text.size()) : 0;
  return block;
}

platform::block_handle new_block(std::size_t size) noexcept {
  if (size > static_cast<std::size_t>(std::numeric_limits<long>::max())) return nullptr;
  return platform::allocate_block(nullptr, size);
}

}  // namespace plugin
