// The reading rules shared by both protocol sides: a start line, then
// "key: value" lines, cut character by character so that the second byte of
// a two-byte character never ends a key or a value.
//
// Texts are read where they lie, as ranges: the end of a range acts as the
// terminating NUL would, and a NUL inside still ends the text. Tokens are
// views into the text.
#pragma once

#include <string_view>

namespace text {

// Returns the bytes from `cursor` up to the first `delimiter` that begins a
// character, and moves the cursor past it. At the end of the text (`end`,
// or a NUL before it) the cursor stays, so later cuts yield empty tokens.
std::string_view cut_token(const char*& cursor, const char* end, char delimiter);

// Receives the header pairs of a block, in text order.
class HeaderConsumer {
 public:
  // Where the value after `key` is to be copied while it is read, or null.
  // The room needed is the rest of the text at most; when the value ends
  // the reading (it is empty), what was copied there means nothing.
  virtual char* copy_destination(std::string_view /*key*/) { return nullptr; }
  virtual void take(std::string_view key, std::string_view value) = 0;

 protected:
  ~HeaderConsumer() = default;
};

// Skips the start line of `text` (which ends at its first NUL), then hands
// each header pair to `consumer`; both key and value are views into `text`.
// Reading stops at the first empty key or empty value.
void read_header_block(std::string_view text, HeaderConsumer& consumer);

// The same with any callable taking (key, value).
template <typename Consume>
void read_header_block(std::string_view text, Consume&& consume) {
  struct Forward final : HeaderConsumer {
    explicit Forward(Consume& to) : to(to) {}
    void take(std::string_view key, std::string_view value) override { to(key, value); }
    Consume& to;
  } forward(consume);
  read_header_block(text, static_cast<HeaderConsumer&>(forward));
}

}  // namespace text
