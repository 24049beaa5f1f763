// Composing a text straight into the block that carries it. The same
// composing code runs twice: once with a writer that only counts, to size
// the block, and once with a writer over the block's bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace text {

class TextWriter {
 public:
  // Counts the bytes appended, writes nothing.
  TextWriter() = default;
  // Writes the bytes appended to `destination`, which must hold them all.
  explicit TextWriter(char* destination) : destination_(destination) {}

  void append(std::string_view piece) {
    if (destination_ != nullptr && !piece.empty())
      std::memcpy(destination_ + size_, piece.data(), piece.size());
    size_ += piece.size();
  }

  // Where the next byte goes (null when only counting), for a caller that
  // writes bytes there itself and then skips them.
  char* position() const { return destination_ != nullptr ? destination_ + size_ : nullptr; }
  void skip(std::size_t length) { size_ += length; }
  // Takes back everything written after the first `size` bytes.
  void truncate(std::size_t size) { size_ = size; }

  std::size_t size() const { return size_; }

 private:
  char* destination_ = nullptr;
  std::size_t size_ = 0;
};

// What `compose(writer)` writes, as a text of its own, for callers outside
// the request path (tools, tests) that want an owned copy.
template <typename Compose>
std::string composed_text(Compose&& compose) {
  TextWriter measure;
  compose(measure);
  std::string text(measure.size(), '\0');
  TextWriter out(text.data());
  compose(out);
  return text;
}

}  // namespace text
