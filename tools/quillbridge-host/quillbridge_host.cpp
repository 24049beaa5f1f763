// quillbridge-host: loads a plug-in module the way a host program does,
// hands it a directory and sends it requests, showing every byte that goes
// in and comes back. Meant for trying a directory before a host program
// ever sees it, and for finding out why it does not answer.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "quillbridge-host/check_mode.h"
#include "quillbridge-host/host_request.h"
#include "quillbridge-host/platform/host_platform.h"
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
    "Loads MODULE as a host program does, calls its load with DIRECTORY (a\n"
    "separator is added when missing), sends requests, shows request and reply.\n"
    "\n"
    "  ARGUMENT...         one request: the ARGUMENTs go out as Argument0,\n"
    "                      Argument1, ... (Argument0 is the event name)\n"
    "  -f, --request FILE  send the bytes of FILE unchanged ('-': standard input)\n"
    "  -i, --interactive   one request per line typed: its words (or, if it holds\n"
    "                      a tab, its tab-separated fields) are the arguments;\n"
    "                      Ctrl-D (Windows: Ctrl-Z, Enter) ends\n"
    "  --sjis              take ARGUMENTs and typed lines as UTF-8 and send them as\n"
    "                      Shift_JIS; show replies and module messages converted\n"
    "                      to UTF-8, also into a file or pipe. Without --sjis they\n"
    "                      are converted only on a UTF-8 terminal (Windows: as is)\n"
    "  --raw               print only the reply bytes, exactly as they came\n"
    "  --check             explain an empty result: what the module finds in FOLDER\n"
    "                      and what its backend answers (--check --help: more)\n"
    "  --version           show the version of this tool\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 replies received; 1 the module's load returned 0 (its message\n"
    "tells why); 2 usage error, unreadable request file, or text Shift_JIS cannot\n"
    "write; 3 the module file is missing, not a module, or lacks an entry point.\n";

// What the command line asks for. Each mode is one function below, called
// from main; a new mode gets its value here, its words in parse_options and
// its own function (in its own file when it is large).
enum class Mode { send_requests, show_help, show_version };

struct Options {
  Mode mode = Mode::send_requests;
  std::string module_path;
  std::string directory;
  std::vector<std::string> arguments;
  std::string request_file;  // empty: none; "-": standard input
  bool interactive = false;
  bool raw = false;
  bool shift_jis = false;
  // Whether ARGUMENTs and typed lines are converted to Shift_JIS (--sjis,
  // where terminals speak UTF-8).
  bool convert_arguments = false;
  // How bytes outside ASCII are shown on standard output, and how the
  // module's messages on standard error; follow from the options, the
  // system and where each stream goes.
  host_display::Charset charset = host_display::Charset::escaped;
  host_display::Charset message_charset = host_display::Charset::escaped;
};

// The tool's own messages. Held module messages written so far go out
// first, so that both appear in the order they were made.
void show_module_messages(const Options& options);

void say(const Options& options, const std::string& text) {
  show_module_messages(options);
  platform::write_unheld_standard_error("quillbridge-host: " + text + "\n");
}

// What modules wrote to standard error (their messages, in Shift_JIS) while
// it was held back to be shown converted.
void show_module_messages(const Options& options) {
  const std::string held = platform::take_held_standard_error();
  if (held.empty()) return;
  platform::write_unheld_standard_error(
      options.message_charset == host_display::Charset::shift_jis_as_utf8
          ? host_display::utf8_from_shift_jis(held)
          : held);
}

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "quillbridge-host: %s\n", problem.c_str());
  std::fputs("Try 'quillbridge-host --help'.\n", stderr);
  return exit_usage;
}

// Returns -1 when the options are sound, else the exit code to stop with.
// The first of --help and --version wins over everything after it.
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
      options.mode = Mode::show_help;
      return -1;
    } else if (word == "--version") {
      options.mode = Mode::show_version;
      return -1;
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
  options.convert_arguments = options.shift_jis && !platform::console_speaks_ansi_text();
  if (options.convert_arguments && !host_display::can_convert_shift_jis())
    return usage_error("--sjis: this build has no Shift_JIS converter");
  const host_display::StreamCharsets shown =
      host_display::stream_charsets(options.shift_jis, !options.raw);
  options.charset = shown.output;
  options.message_charset = shown.error;
  return -1;
}

// Arguments as the module must get them: with --sjis where terminals speak
// UTF-8, converted to Shift_JIS. False, after saying which one, when an
// argument cannot be.
bool to_module_text(const Options& options, std::vector<std::string>& arguments) {
  if (!options.convert_arguments) return true;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string converted;
    if (!host_display::shift_jis_from_utf8(arguments[i], converted)) {
      say(options, "Argument" + std::to_string(i) + " \"" + arguments[i] +
                       "\" is not UTF-8 text that Shift_JIS can write; nothing was sent");
      return false;
    }
    arguments[i] = converted;
  }
  return true;
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
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
      bytes.append(buffer, got);
    return !std::ferror(stdin);
  }
  platform::file_handle file = platform::open_file(name);
  if (file == nullptr) return false;
  char buffer[4096];
  long got;
  while ((got = platform::read_file(file, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<std::size_t>(got));
  platform::close_file(file);
  return got == 0;
}

// What the first bytes of a file that would not load say it is, to point
// the user at a module built for another system.
std::string kind_of_file(const std::string& path) {
  char head[4] = {};
  long got = 0;
  if (platform::file_handle file = platform::open_file(path)) {
    got = platform::read_file(file, head, sizeof head);
    platform::close_file(file);
  }
  if (got >= 2 && head[0] == 'M' && head[1] == 'Z') return "a Windows DLL or program";
  if (got == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) return "an ELF shared object";
  return "";
}

// The loaded module with its three entry points.
class LoadedModule {
 public:
  explicit LoadedModule(const Options& options) : options_(options) {}
  ~LoadedModule() {
    if (handle_ != nullptr) platform::free_module(handle_);
  }

  // Opens `path`; on failure tells the user why and returns false.
  bool open(const std::string& path) {
    const platform::FileKind kind = platform::file_kind(path);
    if (kind == platform::FileKind::missing) {
      say(options_, "no module file at " + path);
      return false;
    }
    if (kind == platform::FileKind::directory) {
      say(options_, path + " is a directory, not a module file");
      return false;
    }
    // Loading a pipe would wait for a writer forever.
    if (kind == platform::FileKind::special) {
      say(options_, path + " is not a module: it is a pipe or device, not a file");
      return false;
    }
    // A bare file name means the file in the current folder, as checked
    // above; Windows would otherwise look beside this program first.
    const bool bare = path.find_first_of("/\\:") == std::string::npos;
    handle_ = platform::load_module(bare ? platform::as_directory(".") + path : path);
    if (handle_ == nullptr) {
      const std::string looks = kind_of_file(path);
      say(options_, path + " is not a module this program can load" +
                        (looks.empty() ? "" : " (it looks like " + looks + ")") +
                        " (a module must be built for this system and word size)");
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
      say(options_, path + " does not export" + missing +
                        " (a module must export load, request and unload)");
      return false;
    }
    return true;
  }

  platform::entry_load load = nullptr;
  platform::entry_request request = nullptr;
  platform::entry_unload unload = nullptr;

 private:
  const Options& options_;
  platform::module_handle handle_ = nullptr;
};

class Session {
 public:
  Session(LoadedModule& module, const Options& options) : module_(module), options_(options) {}

  int load(const std::string& directory) {
    const int loaded = module_.load(platform::allocate_block(directory.data(), directory.size()),
                                    static_cast<long>(directory.size()));
    show_module_messages(options_);
    if (!options_.raw) {
      std::printf("load(\"%s\") = %d\n", show(directory).c_str(), loaded);
      std::fflush(stdout);
    }
    if (loaded != 0) return exit_ok;
    say(options_, "the module's load returned 0 for " + directory + "; nothing was sent");
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
    show_module_messages(options_);

    if (options_.raw) {
      std::fwrite(reply.data(), 1, reply.size(), stdout);
    } else {
      print_block("request", request);
      print_block("reply", reply);
    }
    std::fflush(stdout);
  }

  void unload() {
    module_.unload();
    show_module_messages(options_);
  }

 private:
  std::string show(const std::string& bytes) const {
    return host_display::readable(bytes, options_.charset);
  }

  void print_block(const char* title, const std::string& bytes) const {
    std::printf("--- %s (%zu bytes)\n", title, bytes.size());
    std::fputs(host_display::readable_lines(bytes, options_.charset).c_str(), stdout);
  }

  LoadedModule& module_;
  const Options& options_;
};

// One line of standard input without its LF; false at the end of input.
// (C stdio rather than iostreams keeps the Windows program small.)
bool read_typed_line(std::string& line) {
  line.clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
  return c != EOF || !line.empty();
}

void run_interactive(Session& session, const Options& options) {
  if (!options.raw)
    std::puts("One request per line: the words are Argument0, Argument1, ... (separate\n"
              "them with tabs to put spaces inside one). Ctrl-D (Windows: Ctrl-Z) ends.");
  std::string line;
  for (;;) {
    if (!options.raw) {
      std::fputs("> ", stdout);
      std::fflush(stdout);
    }
    if (!read_typed_line(line)) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A Windows console ends input with a line holding only Ctrl-Z, which
    // standard input in binary mode passes on as a byte.
    if (line == "\x1A") break;
    std::vector<std::string> arguments = split_typed_line(line);
    // A line that cannot be sent is said so and skipped; the session goes on.
    if (arguments.empty() || !to_module_text(options, arguments)) continue;
    session.send(host_request::plugin_request(arguments));
  }
  if (!options.raw) std::putchar('\n');
}

// The usual mode: load the module with the directory, send the request (or
// the typed ones), unload.
int send_requests(Options& options) {
  std::string request;
  if (!options.request_file.empty() && !read_request_file(options.request_file, request)) {
    say(options, "cannot read the request file " + options.request_file);
    return exit_usage;
  }
  if (options.request_file.empty() && !options.interactive) {
    if (!to_module_text(options, options.arguments)) return exit_usage;
    request = host_request::plugin_request(options.arguments);
  }

  // The module's messages come in Shift_JIS; hold them to show them
  // converted. Where that cannot be done they are shown as they come.
  if (options.message_charset == host_display::Charset::shift_jis_as_utf8)
    platform::hold_standard_error();

  LoadedModule module(options);
  if (!module.open(options.module_path)) return exit_bad_module;
  Session session(module, options);
  int status = session.load(platform::as_directory(options.directory));
  if (status == exit_ok) {
    if (options.interactive)
      run_interactive(session, options);
    else
      session.send(request);
  }
  session.unload();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  platform::use_binary_standard_streams();
  if (host_check::is_check_child_command(argc, argv)) return host_check::run_check_child(argc, argv);
  if (host_check::is_check_command(argc, argv)) return host_check::run_check(argc, argv);
  Options options;
  if (const int stop = parse_options(argc, argv, options); stop >= 0) return stop;
  switch (options.mode) {
    case Mode::show_help:
      std::fputs(usage, stdout);
      return exit_ok;
    case Mode::show_version:
      std::puts("quillbridge-host " QB_VERSION);
      return exit_ok;
    case Mode::send_requests:
      break;
  }
  return send_requests(options);
}
