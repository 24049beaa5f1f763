// The backend the request fuzz target drives: it keeps the last request it
// got and answers with whatever the target set, counted as the target says.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {
std::string next_reply;
int count_rule = 0;
std::string last_request;
}  // namespace

extern "C" {

// Not part of the backend interface: only the fuzz target calls these.
QB_EXPORT void fuzz_backend_set_reply(const char* bytes, std::size_t size, int rule) {
  next_reply.assign(bytes, size);
  count_rule = rule;
  last_request.clear();  // so that a request never made is not taken for the last one
}
QB_EXPORT const std::string* fuzz_backend_last_request() { return &last_request; }

QB_EXPORT platform::module_bool load(platform::block_handle block, long) {
  platform::free_block(block);
  return 1;
}

QB_EXPORT platform::block_handle request(platform::block_handle block, long* length) {
  last_request.assign(platform::block_bytes(block), static_cast<std::size_t>(*length));
  platform::free_block(block);
  const long full = static_cast<long>(next_reply.size());
  switch (count_rule) {
    case 1: *length = full / 2; break;
    case 2: *length = 0; break;
    case 3: *length = -full - 1; break;
    case 4: *length = full + 1; return nullptr;
    default: *length = full; break;
  }
  // Exactly as long as the reply, so that reading past the count shows.
  return platform::allocate_block(next_reply.data(), next_reply.size());
}

QB_EXPORT platform::module_bool unload() { return 1; }

}  // extern "C"
