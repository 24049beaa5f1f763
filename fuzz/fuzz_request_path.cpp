// The whole request path against the reference reading in
// reference_request.h: for any host request and any backend replies, under
// both lead-byte sets, the backend must receive exactly the requests the
// reference composes (a 2.5 request, then the same in the 3.0 form after a
// 400, or only 3.0 once a retry has been answered) and the host must get
// exactly the reply it encodes. Blocks are allocated at their exact size,
// so reading past a count or a block's end is a sanitizer report.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/reply_backend_control.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "reference_request.h"

namespace {

fuzz_support::ReplyBackend reply_backend;
// The model's state: whether this load has found its backend to speak 3.0.
bool speaks_3_0 = false;

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
  // Now and then a new load, which finds the form out afresh.
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
    reply_backend = fuzz_support::load_reply_backend(QB_FUZZ_BACKEND_DIR);
    speaks_3_0 = false;
  }
  const std::string host_bytes = input.ConsumeRandomLengthString(8192);
  // A status line of 400 now and then, so that retries are common.
  std::string first_reply = input.ConsumeBool() ? "SHIORI/3.0 400 Bad Request\r\n" : "";
  first_reply += input.ConsumeRandomLengthString(4096);
  const std::string later_reply = input.ConsumeRemainingBytesAsString();
  platform::use_lead_byte_rule(shift_jis ? platform::LeadByteRule::code_page_932
                                         : platform::LeadByteRule::single_byte);
  reply_backend.set_replies(&first_reply, &later_reply, count_rule);

  // The host's count may cover less than its block holds; only counted bytes are the request.
  const std::size_t host_count = short_host_count ? host_bytes.size() / 2 : host_bytes.size();
  long length = static_cast<long>(host_count);
  char* block = request(fuzz_support::exact_block(host_bytes), &length);
  FUZZ_CHECK(block != nullptr && length >= 0);
  const std::string reply(block, static_cast<std::size_t>(length));
  std::free(block);

  const std::vector<std::string> arguments =
      reference::decode_plugin_request(host_bytes.substr(0, host_count), shift_jis);
  std::vector<std::string> expected_sent = {
      reference::compose_sentence_request(arguments, speaks_3_0)};
  bool answer_3_0 = speaks_3_0;
  std::string answer = counted_reply(first_reply, count_rule);
  if (!speaks_3_0 && reference::status_code(answer) == "400") {
    expected_sent.push_back(reference::compose_sentence_request(arguments, true));
    answer_3_0 = true;
    answer = counted_reply(later_reply, count_rule);
    speaks_3_0 = reference::status_code(answer) != "400";
  }
  FUZZ_CHECK(*reply_backend.requests() == expected_sent);
  bool utf8 = false;
  const std::string result = reference::read_result(answer, shift_jis, answer_3_0, utf8);
  FUZZ_CHECK(reply == reference::encode_plugin_response(result, utf8));

  platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932);
  return 0;
}
