// The cheapest backend a round trip can meet: it frees the request and
// answers with a Sentence that makes the reply as long as the request, so
// that the same number of bytes travels each way. The Sentence repeats the
// text of "filler.txt" in the base directory (plain 'x' without one).
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

constexpr const char reply_head[] = "SHIORI/2.5 200 OK\r\nSentence: ";
constexpr const char reply_tail[] = "\r\n\r\n";

std::string filler = "x";
std::string reply;  // kept between calls: building it is not the relay's cost

void shape_reply(std::size_t size) {
  const std::size_t frame = sizeof reply_head - 1 + sizeof reply_tail - 1;
  const std::size_t sentence = size > frame ? size - frame : 1;
  if (reply.size() == frame + sentence) return;
  reply = reply_head;
  while (reply.size() + filler.size() <= sizeof reply_head - 1 + sentence) reply += filler;
  reply.append(sizeof reply_head - 1 + sentence - reply.size(), 'x');
  reply += reply_tail;
}

}  // namespace

extern "C" {

QB_EXPORT platform::module_bool load(platform::block_handle block, long length) {
  const std::string directory(platform::block_bytes(block), length > 0 ? length : 0);
  platform::free_block(block);
  filler = "x";
  reply.clear();
  if (std::FILE* file = std::fopen((directory + "filler.txt").c_str(), "rb")) {
    char chunk[256];
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    if (got > 0) filler.assign(chunk, got);
    std::fclose(file);
  }
  return 1;
}

QB_EXPORT platform::block_handle request(platform::block_handle block, long* length) {
  platform::free_block(block);
  shape_reply(*length > 0 ? static_cast<std::size_t>(*length) : 0);
  *length = static_cast<long>(reply.size());
  return platform::allocate_block(reply.data(), reply.size());
}

QB_EXPORT platform::module_bool unload() { return 1; }

}  // extern "C"
