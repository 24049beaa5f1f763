// The whole request path against the reference reading in
// reference_request.h: for any host request and any backend reply, under
// both lead-byte sets, the backend must receive exactly the bytes the
// reference composes and the host must get exactly the reply it encodes.
// Blocks are allocated at their exact size, so reading past a count or a
// block's end is a sanitizer report.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "backend/reply_backend_control.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "reference_request.h"

namespace {

fuzz_support::ReplyBackend reply_backend;

// The reply bytes the module is to read, as the test backend counts them
// (see backend/reply_backend.cpp): a count of 0 or less, or no block, is
// an empty reply.
std::string counted_reply(const std::string& reply, int count_rule) {
  switch (count_rule) {
    case 1: return reply.substr(0, reply.size() / 2);
    case 2: case 3: case 4: return {};
    default: return reply;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  reply_backend = fuzz_support::load_reply_backend(QB_FUZZ_BACKEND_DIR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool shift_jis = input.ConsumeBool();
  const bool short_host_count = input.ConsumeBool();
  const int count_rule = input.ConsumeIntegralInRange<int>(0, 4);
  const std::string host_bytes = input.ConsumeRandomLengthString(8192);
  const std::string backend_reply = input.ConsumeRemainingBytesAsString();
  platform::use_lead_byte_rule(shift_jis ? platform::LeadByteRule::code_page_932
                                         : platform::LeadByteRule::single_byte);
  reply_backend.set_reply(backend_reply.data(), backend_reply.size(), count_rule);

  // The host's count may cover less than its block holds; only counted bytes are the request.
  const std::size_t host_count = short_host_count ? host_bytes.size() / 2 : host_bytes.size();
  long length = static_cast<long>(host_count);
  char* block = request(fuzz_support::exact_block(host_bytes), &length);
  FUZZ_CHECK(block != nullptr && length >= 0);
  const std::string reply(block, static_cast<std::size_t>(length));
  std::free(block);

  const std::string host_request = host_bytes.substr(0, host_count);
  const std::string expected_sent = reference::compose_sentence_request(
      reference::decode_plugin_request(host_request, shift_jis));
  FUZZ_CHECK(*reply_backend.last_request() == expected_sent);
  const std::string sentence =
      reference::read_sentence(counted_reply(backend_reply, count_rule), shift_jis);
  FUZZ_CHECK(reply == reference::encode_plugin_response(sentence));

  platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932);
  return 0;
}
