#include "support/module_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "quillbridge-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ / name, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TempDir::add_fixture(const std::string& fixture, const std::string& name) const {
  fs::copy_file(fs::path(QB_FIXTURE_DIR) / ("fixture_" + fixture + ".so"), path_ / name,
                fs::copy_options::overwrite_existing);
}

std::string read_file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

FixtureLog::FixtureLog() {
  setenv("QB_FIXTURE_LOG", (dir_.path() / "log").c_str(), 1);
  unsetenv("QB_FIXTURE_REPLY");
  unsetenv("QB_FIXTURE_MODE");
}

FixtureLog::~FixtureLog() {
  unsetenv("QB_FIXTURE_LOG");
  unsetenv("QB_FIXTURE_REPLY");
  unsetenv("QB_FIXTURE_MODE");
}

std::vector<FixtureEvent> FixtureLog::events() const {
  const std::string log = read_file_bytes(dir_.path() / "log");
  std::vector<FixtureEvent> events;
  std::size_t at = 0;
  while (at < log.size()) {
    const std::size_t line_end = log.find('\n', at);
    char fixture[64] = {}, event[64] = {};
    long length = 0;
    if (line_end == std::string::npos ||
        std::sscanf(log.substr(at, line_end - at).c_str(), "%63s %63s %ld", fixture, event,
                    &length) != 3)
      throw std::runtime_error("unreadable fixture log");
    const std::size_t bytes_at = line_end + 1;
    events.push_back({fixture, event, log.substr(bytes_at, static_cast<std::size_t>(length))});
    at = bytes_at + static_cast<std::size_t>(length) + 1;
  }
  return events;
}

std::vector<std::string> FixtureLog::bytes_of(const std::string& event) const {
  std::vector<std::string> found;
  for (const FixtureEvent& e : events())
    if (e.event == event) found.push_back(e.bytes);
  return found;
}

void FixtureLog::set_reply(const std::string& reply) const {
  dir_.write("reply", reply);
  setenv("QB_FIXTURE_REPLY", (dir_.path() / "reply").c_str(), 1);
}

void FixtureLog::set_mode(const std::string& mode) const {
  setenv("QB_FIXTURE_MODE", mode.c_str(), 1);
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  saved_ = dup(STDERR_FILENO);
  std::FILE* sink = std::fopen((dir_.path() / "stderr").c_str(), "wb");
  dup2(fileno(sink), STDERR_FILENO);
  std::fclose(sink);
}

StderrCapture::~StderrCapture() { text(); }

std::string StderrCapture::text() {
  if (!restored_) {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    restored_ = true;
  }
  return read_file_bytes(dir_.path() / "stderr");
}

ModuleHost::ModuleHost() {
  handle_ = dlopen(QB_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
  load_entry = reinterpret_cast<LoadEntry>(dlsym(handle_, "load"));
  unload_entry = reinterpret_cast<UnloadEntry>(dlsym(handle_, "unload"));
  request_entry = reinterpret_cast<RequestEntry>(dlsym(handle_, "request"));
}

ModuleHost::~ModuleHost() { close(); }

void ModuleHost::close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

int ModuleHost::load(const std::string& directory) {
  return load_entry(make_block(directory), static_cast<long>(directory.size()));
}

int ModuleHost::unload() { return unload_entry(); }

std::string ModuleHost::request(const std::string& text) {
  long length = static_cast<long>(text.size());
  char* reply = request_entry(make_block(text), &length);
  std::string bytes(reply, static_cast<std::size_t>(length));
  std::free(reply);
  return bytes;
}

bool module_is_resident() {
  void* handle = dlopen(QB_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

char* make_block(const std::string& bytes) {
  // Exactly the text, no NUL after it: a read past the count is a sanitizer
  // report. (glibc and the sanitizers give a real block for 0 bytes too.)
  char* block = static_cast<char*>(std::malloc(bytes.size()));
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

std::string plugin_reply(const std::string& sentence) {
  return "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: " + sentence + "\r\n\r\n";
}

}  // namespace testing_support

#include <iconv.h>

namespace testing_support {

std::string to_shift_jis(const std::string& utf8) {
  iconv_t converter = iconv_open("SHIFT_JIS", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no Shift_JIS converter");
  std::string in = utf8, out(utf8.size() * 2 + 16, '\0');
  char* from = in.data();
  char* to = out.data();
  std::size_t from_left = in.size(), to_left = out.size();
  const std::size_t done = iconv(converter, &from, &from_left, &to, &to_left);
  iconv_close(converter);
  if (done == static_cast<std::size_t>(-1)) throw std::runtime_error("cannot convert to Shift_JIS");
  out.resize(out.size() - to_left);
  return out;
}

}  // namespace testing_support
