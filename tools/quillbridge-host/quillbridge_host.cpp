// quillbridge-host: loads a plug-in module the way a host program does,
// hands it a directory, sends one request and prints what comes back.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

const char usage[] =
    "usage: quillbridge-host MODULE DIRECTORY [ARGUMENT...]\n"
    "       quillbridge-host MODULE DIRECTORY --request-file FILE\n"
    "\n"
    "Loads MODULE, calls its load with DIRECTORY (a trailing '/' is added\n"
    "when missing), sends one request and prints request and reply.\n"
    "ARGUMENTs go out as Argument0, Argument1, ...; --request-file sends the\n"
    "file's bytes unchanged. Exit status: 0 on a reply, 1 when load\n"
    "answered 0, 2 on a usage or module error.\n";

std::string build_request(const std::vector<std::string>& arguments) {
  std::string text = "EXECUTE SAORI/1.0\r\nSender: quillbridge-host\r\nCharset: Shift_JIS\r\n";
  for (std::size_t i = 0; i < arguments.size(); ++i)
    text += "Argument" + std::to_string(i) + ": " + arguments[i] + "\r\n";
  return text + "\r\n";
}

void print_text(const char* title, const std::string& bytes) {
  std::printf("--- %s (%zu bytes)\n", title, bytes.size());
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  if (!bytes.empty() && bytes.back() != '\n') std::putchar('\n');
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(usage, argc < 3 ? stderr : stdout);
    return argc < 3 ? 2 : 0;
  }
  const std::string module_path = argv[1];
  std::string directory = argv[2];
  if (!directory.empty() && directory.back() != '/') directory += '/';

  std::string request;
  if (argc == 5 && std::strcmp(argv[3], "--request-file") == 0) {
    std::ifstream in(argv[4], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "quillbridge-host: cannot read %s\n", argv[4]);
      return 2;
    }
    request.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    request = build_request(std::vector<std::string>(argv + 3, argv + argc));
  }

  platform::module_handle module = platform::load_module(module_path);
  if (module == nullptr) {
    std::fprintf(stderr, "quillbridge-host: cannot load module %s\n", module_path.c_str());
    return 2;
  }
  auto load = reinterpret_cast<platform::entry_load>(platform::find_entry(module, "load"));
  auto request_entry =
      reinterpret_cast<platform::entry_request>(platform::find_entry(module, "request"));
  auto unload = reinterpret_cast<platform::entry_unload>(platform::find_entry(module, "unload"));
  if (load == nullptr || request_entry == nullptr || unload == nullptr) {
    std::fprintf(stderr, "quillbridge-host: %s does not export load, request and unload\n",
                 module_path.c_str());
    platform::free_module(module);
    return 2;
  }

  const int loaded = load(platform::allocate_block(directory.data(), directory.size()),
                          static_cast<long>(directory.size()));
  std::printf("--- load(%s) = %d\n", directory.c_str(), loaded);

  long length = static_cast<long>(request.size());
  platform::block_handle reply_block =
      request_entry(platform::allocate_block(request.data(), request.size()), &length);
  const char* reply_bytes = platform::block_bytes(reply_block);
  const std::string reply =
      reply_bytes != nullptr && length > 0 ? std::string(reply_bytes, static_cast<std::size_t>(length))
                                           : std::string();
  platform::free_block(reply_block);

  print_text("request", request);
  print_text("reply", reply);
  unload();
  platform::free_module(module);
  return loaded != 0 ? 0 : 1;
}
