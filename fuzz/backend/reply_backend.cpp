// The backend the request fuzz target drives: it keeps the requests it got
// since the target last set its replies, and answers the first with one
// reply and every later one with the other, counted as the target says.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {
std::string first_reply;
std::string later_reply;
int count_rule = 0;
std::vector<std::string> requests;
}  // namespace

extern "C" {

// Not part of the backend interface: only the fuzz target calls these.
QB_EXPORT void fuzz_backend_set_replies(const std::string* first, const std::string* later,
                                        int rule) {
  first_reply = *first;
  later_reply = *later;
  count_rule = rule;
  requests.clear();
}
QB_EXPORT const std::vector<std::string>* fuzz_backend_requests() { return &requests; }

QB_EXPORT platform::module_bool load(platform::block_handle block, long) {
  platform::free_block(block);
  return 1;
}

QB_EXPORT platform::block_handle request(platform::block_handle block, long* length) {
  requests.emplace_back(platform::block_bytes(block), static_cast<std::size_t>(*length));
  platform::free_block(block);
  const std::string& reply = requests.size() == 1 ? first_reply : later_reply;
  const long full = static_cast<long>(reply.size());
  switch (count_rule) {
    case 1: *length = full / 2; break;
    case 2: *length = 0; break;
    case 3: *length = -full - 1; break;
    case 4: *length = full + 1; return nullptr;
    default: *length = full; break;
  }
  // Exactly as long as the reply, so that reading past the count shows.
  return platform::allocate_block(reply.data(), reply.size());
}

QB_EXPORT platform::module_bool unload() { return 1; }

}  // extern "C"
