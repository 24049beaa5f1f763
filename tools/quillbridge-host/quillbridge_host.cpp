// quillbridge-host: loads a plug-in module the way a host program does,
// hands it a directory and sends it requests, showing every byte that goes
// in and comes back. Meant for trying a directory before a host program
// ever sees it, and for finding out why it does not answer.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "quillbridge-host/check_mode.h"
#include "quillbridge-host/text_display.h"

namespace {

// Exit codes, kept stable for scripts.
constexpr int exit_ok = 0;
constexpr int exit_load_refused = 1;
constexpr int exit_usage = 2;
constexpr int exit_bad_module = 3;

const char usage[] =
    "usage: quillbridge-host [OPTIONS] MODULE DIRECTORY [ARGUMENT...]\n"
    "       quillbridge-host [--sjis] --check FOLDER [EVENT [REFERENCE...]]\n"
    "Loads MODULE as a host program does, calls its load with DIRECTORY (a '/'\n"
    "is added when missing), sends requests and shows request and reply.\n"
    "\n"
    "  ARGUMENT...         one request: the ARGUMENTs go out as Argument0,\n"
    "                      Argument1, ... (Argument0 is the event name)\n"
    "  -f, --request FILE  send the bytes of FILE unchanged ('-': standard input)\n"
    "  -i, --interactive   one request per line typed: the line's words (split\n"
    "                      at spaces) are the arguments; a line holding a tab is\n"
    "                      split at tabs instead. Empty lines are skipped; Ctrl-D\n"
    "                      ends\n"
    "  --sjis              show text as Shift_JIS converted to UTF-8 (display\n"
    "                      only; what is sent never changes). Without it CR and\n"
    "                      LF show as \\r \\n and other bytes outside ASCII as \\xNN\n"
    "  --raw               print only the reply bytes, exactly as they came\n"
    "  --check             explain an empty result: what the module finds in FOLDER\n"
    "                      and what its backend answers (--check --help: more)\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 replies received; 1 the module's load returned 0 (its\n"
    "message tells why); 2 usage error or unreadable request file; 3 the module\n"
    "file is missing, is not a module, or lacks load, request or unload.\n";

struct Options {
  std::string module_path;
  std::string directory;
  std::vector<std::string> arguments;
  std::string request_file;  // empty: none; "-": standard input
  bool interactive = false;
  bool raw = false;
  bool shift_jis = false;
};

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "quillbridge-host: %s\n", problem.c_str());
  std::fputs("Try 'quillbridge-host --help'.\n", stderr);
  return exit_usage;
}

// Returns -1 when the options are sound, else the exit code to stop with.
int parse_options(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    // Options may come anywhere before "--" or the first ARGUMENT; after
    // that every word is an argument, so "-1" can be sent as one.
    if (options_done || positional.size() >= 3 || word.size() < 2 || word[0] != '-') {
      positional.push_back(word);
    } else if (word == "--") {
      options_done = true;
    } else if (word == "-h" || word == "--help") {
      std::fputs(usage, stdout);
      return exit_ok;
    } else if (word == "-i" || word == "--interactive") {
      options.interactive = true;
    } else if (word == "--raw") {
      options.raw = true;
    } else if (word == "--sjis") {
      options.shift_jis = true;
    } else if (word == "-f" || word == "--request" || word == "--request-file") {
      if (i + 1 >= argc) return usage_error(word + " needs a file name (or '-')");
      options.request_file = argv[++i];
    } else {
      return usage_error("unknown option " + word);
    }
  }
  if (positional.size() < 2) return usage_error("give a MODULE and a DIRECTORY");
  options.module_path = positional[0];
  options.directory = positional[1];
  options.arguments.assign(positional.begin() + 2, positional.end());
  const int modes = (options.interactive ? 1 : 0) + (options.request_file.empty() ? 0 : 1) +
                    (options.arguments.empty() ? 0 : 1);
  if (modes > 1) return usage_error("give ARGUMENTs, --request or --interactive, not several");
  if (options.shift_jis && !host_display::can_convert_shift_jis())
    return usage_error("--sjis: this build has no Shift_JIS converter");
  return -1;
}

std::string build_request(const std::vector<std::string>& arguments) {
  std::string text = "EXECUTE SAORI/1.0\r\nSender: quillbridge-host\r\nCharset: Shift_JIS\r\n";
  for (std::size_t i = 0; i < arguments.size(); ++i)
    text += "Argument" + std::to_string(i) + ": " + arguments[i] + "\r\n";
  return text + "\r\n";
}

// The arguments of one typed line: tab-separated fields when the line holds
// a tab (so an argument may hold spaces, or be empty), else its words.
std::vector<std::string> split_typed_line(const std::string& line) {
  std::vector<std::string> parts;
  if (line.find('\t') != std::string::npos) {
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      parts.push_back(line.substr(start, tab - start));
    parts.push_back(line.substr(start));
    return parts;
  }
  std::size_t at = 0;
  while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
    const std::size_t end = line.find(' ', at);
    parts.push_back(line.substr(at, end == std::string::npos ? end : end - at));
    at = end;
  }
  return parts;
}

bool read_request_file(const std::string& name, std::string& bytes) {
  if (name == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::error_code error;
  if (std::filesystem::is_directory(name, error)) return false;
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// What the first bytes of a file that would not load say it is, to point
// the user at a module built for another system.
std::string kind_of_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[4] = {};
  in.read(head, sizeof head);
  if (in.gcount() >= 2 && head[0] == 'M' && head[1] == 'Z') return "a Windows DLL or program";
  if (in.gcount() == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) return "an ELF shared object";
  return "";
}

// The loaded module with its three entry points.
class LoadedModule {
 public:
  ~LoadedModule() {
    if (handle_ != nullptr) platform::free_module(handle_);
  }

  // Opens `path`; on failure tells the user why and returns false.
  bool open(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
      std::fprintf(stderr, "quillbridge-host: no module file at %s\n", path.c_str());
      return false;
    }
    if (std::filesystem::is_directory(status)) {
      std::fprintf(stderr, "quillbridge-host: %s is a directory, not a module file\n",
                   path.c_str());
      return false;
    }
    handle_ = platform::load_module(path);
    if (handle_ == nullptr) {
      const std::string kind = kind_of_file(path);
      std::fprintf(stderr,
                   "quillbridge-host: %s is not a module this program can load%s%s%s "
                   "(a module must be built for this system and word size)\n",
                   path.c_str(), kind.empty() ? "" : " (it looks like ",
                   kind.c_str(), kind.empty() ? "" : ")");
      return false;
    }
    load = reinterpret_cast<platform::entry_load>(platform::find_entry(handle_, "load"));
    request = reinterpret_cast<platform::entry_request>(platform::find_entry(handle_, "request"));
    unload = reinterpret_cast<platform::entry_unload>(platform::find_entry(handle_, "unload"));
    std::string missing;
    if (load == nullptr) missing += " load";
    if (request == nullptr) missing += " request";
    if (unload == nullptr) missing += " unload";
    if (!missing.empty()) {
      std::fprintf(stderr,
                   "quillbridge-host: %s does not export%s (a module must export load, "
                   "request and unload)\n",
                   path.c_str(), missing.c_str());
      return false;
    }
    return true;
  }

  platform::entry_load load = nullptr;
  platform::entry_request request = nullptr;
  platform::entry_unload unload = nullptr;

 private:
  platform::module_handle handle_ = nullptr;
};

class Session {
 public:
  Session(LoadedModule& module, const Options& options) : module_(module), options_(options) {}

  int load(const std::string& directory) {
    const int loaded = module_.load(platform::allocate_block(directory.data(), directory.size()),
                                    static_cast<long>(directory.size()));
    if (!options_.raw) {
      std::printf("load(\"%s\") = %d\n", show(directory).c_str(), loaded);
      std::fflush(stdout);
    }
    if (loaded != 0) return exit_ok;
    std::fprintf(stderr,
                 "quillbridge-host: the module's load returned 0 for %s; nothing was sent\n",
                 directory.c_str());
    return exit_load_refused;
  }

  void send(const std::string& request) {
    long length = static_cast<long>(request.size());
    platform::block_handle reply_block =
        module_.request(platform::allocate_block(request.data(), request.size()), &length);
    const char* bytes = platform::block_bytes(reply_block);
    const std::string reply = bytes != nullptr && length > 0
                                  ? std::string(bytes, static_cast<std::size_t>(length))
                                  : std::string();
    platform::free_block(reply_block);

    if (options_.raw) {
      std::fwrite(reply.data(), 1, reply.size(), stdout);
    } else {
      print_block("request", request);
      print_block("reply", reply);
    }
    std::fflush(stdout);
  }

  void unload() { module_.unload(); }

 private:
  std::string show(const std::string& bytes) const {
    return host_display::readable(bytes, options_.shift_jis);
  }

  void print_block(const char* title, const std::string& bytes) const {
    std::printf("--- %s (%zu bytes)\n", title, bytes.size());
    std::fputs(host_display::readable_lines(bytes, options_.shift_jis).c_str(), stdout);
  }

  LoadedModule& module_;
  const Options& options_;
};

int run_interactive(Session& session, bool raw) {
  if (!raw)
    std::puts("One request per line: the words are Argument0, Argument1, ... (separate\n"
              "them with tabs to put spaces inside one). Ctrl-D ends.");
  std::string line;
  for (;;) {
    if (!raw) {
      std::fputs("> ", stdout);
      std::fflush(stdout);
    }
    if (!std::getline(std::cin, line)) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> arguments = split_typed_line(line);
    if (arguments.empty()) continue;
    session.send(build_request(arguments));
  }
  if (!raw) std::putchar('\n');
  return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (host_check::is_check_command(argc, argv)) return host_check::run_check(argc, argv);
  Options options;
  if (const int stop = parse_options(argc, argv, options); stop >= 0) return stop;

  std::string request;
  if (!options.request_file.empty() && !read_request_file(options.request_file, request)) {
    std::fprintf(stderr, "quillbridge-host: cannot read the request file %s\n",
                 options.request_file.c_str());
    return exit_usage;
  }
  if (options.request_file.empty() && !options.interactive)
    request = build_request(options.arguments);

  std::string directory = options.directory;
  if (!directory.empty() && directory.back() != '/') directory += '/';

  LoadedModule module;
  if (!module.open(options.module_path)) return exit_bad_module;
  Session session(module, options);
  int status = session.load(directory);
  if (status == exit_ok) {
    if (options.interactive)
      status = run_interactive(session, options.raw);
    else
      session.send(request);
  }
  session.unload();
  return status;
}
