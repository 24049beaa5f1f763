// Settings file reading with the input as the file's contents, read in
// blocks of several sizes and compared with a plain reading of the rules,
// whole and stopped after a few lines.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/settings_file.h"
#include "fuzz_support.h"
#include "platform/test_hooks.h"

namespace {

std::string settings_path;

// The text-mode rules applied to the whole content at once.
std::vector<std::string> expected_lines(std::string bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);  // a byte order mark
  std::string content;
  for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\x1a'; ++i)
    if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) content += bytes[i];
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < content.size();) {
    std::size_t stop = content.find('\n', at);
    if (stop == std::string::npos) stop = content.size();
    const std::string line = content.substr(at, stop - at);
    lines.push_back(line.substr(0, line.find('\0')));
    at = stop + 1;
  }
  return lines;
}

// Keeps the first `wanted` lines (all of them by default) and then asks to stop.
struct StoppingVisitor final : files::LineVisitor {
  explicit StoppingVisitor(std::size_t wanted = static_cast<std::size_t>(-1)) : wanted(wanted) {}
  bool visit_line(std::string& line) override {
    seen.push_back(line);
    return seen.size() < wanted;
  }
  std::size_t wanted;
  std::vector<std::string> seen;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temp = std::getenv("TMPDIR");
  std::string pattern = std::string(temp != nullptr ? temp : "/tmp") + "/qb-fuzz-settings-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) std::abort();
  ::close(fd);
  settings_path = pattern;
  std::atexit([] { ::unlink(settings_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(settings_path.c_str(), O_WRONLY | O_TRUNC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, data, size) == static_cast<ssize_t>(size));
  ::close(fd);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> expected = expected_lines(bytes);

  // Reads as short as the system may make them, down to a byte at a time,
  // put every boundary between reads everywhere in the content.
  for (const std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{0}}) {
    platform::fault_injection::shorten_reads(block);
    StoppingVisitor all;
    FUZZ_CHECK(files::read_lines(settings_path, all));
    const std::vector<std::string>& lines = all.seen;
    for (const std::string& line : lines) {
      FUZZ_CHECK(line.find('\n') == std::string::npos);
      FUZZ_CHECK(line.find('\0') == std::string::npos);
      FUZZ_CHECK(line.find('\x1a') == std::string::npos);
    }
    FUZZ_CHECK(lines == expected);

    // Stopping early gives exactly the first lines, wherever the stop falls
    // against the read blocks.
    StoppingVisitor stopper(1 + size % 5);
    FUZZ_CHECK(files::read_lines(settings_path, stopper));
    const std::size_t kept = std::min(stopper.wanted, expected.size());
    FUZZ_CHECK(stopper.seen == std::vector<std::string>(expected.begin(), expected.begin() + kept));
  }
  platform::fault_injection::shorten_reads(0);
  FUZZ_CHECK(files::file_exists(settings_path));
  return 0;
}
