// The whole request export, with the host's request and the backend's reply
// both taken from the input. The module's exports are compiled into this
// target; the backend is a real module loaded through discovery.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "backend/reply_backend_control.h"
#include "backend/sentence_request.h"
#include "fuzz_support.h"
#include "plugin/plugin_codec.h"
#include "text/token_cutting.h"

namespace {

fuzz_support::ReplyBackend reply_backend;

constexpr std::string_view reply_head = "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: ";
constexpr std::string_view sentence_head =
    "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  reply_backend = fuzz_support::load_reply_backend(QB_FUZZ_BACKEND_DIR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int rule = input.ConsumeIntegralInRange<int>(0, 7);
  const std::string host_request = input.ConsumeRandomLengthString(4096);
  const std::string backend_reply = input.ConsumeRemainingBytesAsString();
  reply_backend.set_reply(backend_reply.data(), backend_reply.size(), rule <= 4 ? rule : 0);

  long length = static_cast<long>(host_request.size());
  char* block = request(fuzz_support::exact_block(host_request), &length);
  FUZZ_CHECK(block != nullptr && length >= static_cast<long>(reply_head.size() + 4));
  const std::string reply(block, static_cast<std::size_t>(length));
  std::free(block);

  // Always the 200 OK reply, ended by the empty line.
  FUZZ_CHECK(reply.compare(0, reply_head.size(), reply_head) == 0);
  FUZZ_CHECK(reply.compare(reply.size() - 4, 4, "\r\n\r\n") == 0);
  const std::string result = reply.substr(reply_head.size(), reply.size() - reply_head.size() - 4);

  // The Result is the Sentence of exactly the bytes the backend's count covers.
  std::string delivered;
  if (rule == 1) delivered = backend_reply.substr(0, backend_reply.size() / 2);
  else if (rule == 0 || rule > 4) delivered = backend_reply;
  FUZZ_CHECK(result == backend::sentence_in(delivered));
  FUZZ_CHECK(result.find('\0') == std::string::npos);
  FUZZ_CHECK(!fuzz_support::has_character(result, '\n'));

  // A host reading the reply by the same rules gets the Result back whole.
  std::string read_back;
  text::read_header_block(reply, [&](std::string_view key, std::string_view value) {
    if (key == "Result") read_back = value;
  });
  FUZZ_CHECK(read_back == result);

  // The backend got one well-formed request with no more than 100 arguments.
  const std::string& sent = *reply_backend.last_request();
  FUZZ_CHECK(sent.compare(0, sentence_head.size(), sentence_head) == 0);
  FUZZ_CHECK(sent.size() >= sentence_head.size() + 2 && sent.compare(sent.size() - 2, 2, "\r\n") == 0);
  // An argument may hold an LF as the second byte of a character, but never
  // CR LF, since CR is no lead byte: CR LF counts the lines.
  std::size_t lines = 0;
  for (std::size_t at = sent.find("\r\n"); at != std::string::npos; at = sent.find("\r\n", at + 2))
    ++lines;
  FUZZ_CHECK(lines <= 3 + backend::max_arguments + 1);
  return 0;
}
