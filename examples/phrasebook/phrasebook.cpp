// phrasebook: a small sample backend. It answers "GET Sentence" with the
// phrase that phrases.txt (in its directory) gives for the Event, putting
// Reference0, Reference1, ... where the phrase says %0, %1, ...
// phrases.txt holds one "event<TAB>phrase" per line.
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::map<std::string, std::string> phrases;

std::string take(platform::block_handle block, long length) {
  std::string text(platform::block_bytes(block), length > 0 ? static_cast<std::size_t>(length) : 0);
  platform::free_block(block);
  return text;
}

// The value of each "Key: value" line of a request.
std::map<std::string, std::string> headers_of(const std::string& request) {
  std::map<std::string, std::string> headers;
  std::size_t at = request.find('\n');
  while (at != std::string::npos && at + 1 < request.size()) {
    const std::size_t end = request.find('\n', at + 1);
    std::string line = request.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) headers[line.substr(0, colon)] = line.substr(colon + 2);
    at = end;
  }
  return headers;
}

std::string fill(const std::string& phrase, const std::map<std::string, std::string>& headers) {
  std::string out;
  for (std::size_t i = 0; i < phrase.size(); ++i) {
    if (phrase[i] == '%' && i + 1 < phrase.size() && phrase[i + 1] >= '0' && phrase[i + 1] <= '9') {
      std::string key = "Reference";
      key += phrase[i + 1];
      const auto found = headers.find(key);
      if (found != headers.end()) out += found->second;
      ++i;
    } else {
      out += phrase[i];
    }
  }
  return out;
}

}  // namespace

extern "C" {

QB_EXPORT platform::module_bool load(platform::block_handle block, long length) {
  // Read through the platform layer: Shift_JIS paths work on Windows too.
  std::string text;
  if (platform::file_handle file = platform::open_file(take(block, length) + "phrases.txt")) {
    char buffer[4096];
    for (long got; (got = platform::read_file(file, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(got));
    platform::close_file(file);
  }
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) phrases[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return 1;
}

QB_EXPORT platform::block_handle request(platform::block_handle block, long* length) {
  const auto headers = headers_of(take(block, *length));
  std::string reply;
  const auto event = headers.find("Event");
  const auto phrase = event == headers.end() ? phrases.end() : phrases.find(event->second);
  if (phrase == phrases.end()) {
    reply = "SHIORI/2.5 204 No Content\r\nSender: phrasebook\r\n\r\n";
  } else {
    reply = "SHIORI/2.5 200 OK\r\nSender: phrasebook\r\nSentence: " + fill(phrase->second, headers) +
            "\r\n\r\n";
  }
  *length = static_cast<long>(reply.size());
  return platform::allocate_block(reply.data(), reply.size());
}

QB_EXPORT platform::module_bool unload() {
  phrases.clear();
  return 1;
}

}  // extern "C"
