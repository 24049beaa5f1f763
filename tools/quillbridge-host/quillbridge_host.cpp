// quillbridge-host: loads a plug-in module the way a host program does,
// hands it a directory and sends it requests, showing every byte that goes
// in and comes back; --check finds out why a folder does not answer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/backend_module.h"
#include "platform/platform.h"
#include "quillbridge-host/check_mode.h"
#include "quillbridge-host/host_request.h"
#include "quillbridge-host/module_child.h"
#include "quillbridge-host/platform/host_platform.h"
#include "quillbridge-host/text_display.h"

namespace {

using host_child::say;

// Exit codes of the plain modes, kept stable for scripts; 4 is
// host_child::exit_module_died.
constexpr int exit_ok = 0;
constexpr int exit_load_refused = 1;
constexpr int exit_usage = 2;
constexpr int exit_bad_module = 3;

// What the command line asks for, read by one parser for every mode.
struct Options {
  bool help = false, version = false;
  bool check = false;          // --check, also with --help
  std::string module_path;     // MODULE; not for --check
  std::string folder;          // DIRECTORY or FOLDER, with a separator at its end
  std::vector<std::string> arguments;  // what the request carries, in Shift_JIS
  std::string request_file;    // empty: none; "-": standard input
  bool interactive = false, raw = false;
  // Typed lines are converted to Shift_JIS (--sjis, where terminals speak UTF-8).
  bool convert_typed = false;
  int timeout_seconds = 10;    // --check: for each call into the backend; 0: none
  // How Shift_JIS is shown on standard output, and in the module's
  // messages on standard error (host_display::stream_charsets).
  host_display::Charset charset = host_display::Charset::escaped;
  host_display::Charset message_charset = host_display::Charset::escaped;
};


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
    "  -h, --help          show this text (--version: the version of this tool)\n"
    "\n"
    "Exit status: 0 replies received; 1 the module's load returned 0 (its message\n"
    "tells why); 2 usage error, unreadable request file, or text Shift_JIS cannot\n"
    "write; 3 the module file is missing, not a module, or lacks an entry point;\n"
    "4 the module crashed or ended the process.\n";

const char check_usage[] =
    "usage: quillbridge-host [--sjis] [--timeout SECONDS] --check FOLDER\n"
    "                        [EVENT [REFERENCE...]]\n"
    "Shows what Quillbridge does with FOLDER, step by step, with its own\n"
    "routines: the settings file and its shiori and shiori.protocol lines, the\n"
    "fallback taken and why, binding the backend and, given an EVENT, the exact\n"
    "request it is sent (SHIORI/2.5, or 3.0 as that line or a 400 says), its raw\n"
    "reply, and which header became the result (Sentence; Value for 3.0) or why\n"
    "none did. Quillbridge.dll itself is not needed. Shift_JIS text is shown\n"
    "converted on a UTF-8 terminal; --sjis also takes EVENT and REFERENCEs as\n"
    "UTF-8 and converts them, and converts what is shown into a file or pipe. The\n"
    "backend runs in a process of its own: when it crashes, or a call into it\n"
    "takes longer than --timeout SECONDS (default 10; 0: no limit), the check\n"
    "says in which call.\n"
    "\n"
    "Exit status: 0 a Sentence came back (without EVENT: the backend is bound);\n"
    "1 no backend found, or binding it failed; 2 usage error; 3 the backend\n"
    "answered but gave no Sentence; 4 the backend crashed or did not return.\n";

int usage_error(const Options& options, const std::string& problem) {
  std::fprintf(stderr, "quillbridge-host: %s\nTry 'quillbridge-host%s --help'.\n", problem.c_str(),
               options.check ? " --check" : "");
  return exit_usage;
}

// Typed text as the module must get it: with --sjis where terminals speak
// UTF-8, converted to Shift_JIS. False, after saying which argument, when
// one cannot be.
bool to_module_text(bool convert, std::vector<std::string>& arguments) {
  for (std::size_t i = 0; convert && i < arguments.size(); ++i) {
    std::string converted;
    if (!host_display::shift_jis_from_utf8(arguments[i], converted)) {
      say("Argument" + std::to_string(i) + " \"" + arguments[i] +
          "\" is not UTF-8 text that Shift_JIS can write; nothing was sent");
      return false;
    }
    arguments[i] = converted;
  }
  return true;
}

// Returns -1 when the options are sound, else the exit code to stop with.
// The first of --help and --version wins over everything after it.
int parse_options(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  bool options_done = false;
  bool shift_jis = false;
  std::string plain_only;  // the first option --check does not take
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    // Options may come anywhere before "--" or the first word sent (after
    // MODULE and DIRECTORY, or after FOLDER); from there on every word is
    // sent, so "-1" can be sent as one.
    const std::size_t before_sent = options.check ? 1 : 2;
    if (options_done || positional.size() > before_sent || word.size() < 2 || word[0] != '-') {
      positional.push_back(word);
    } else if (word == "--") {
      options_done = true;
    } else if (word == "-h" || word == "--help") {
      options.help = true;
      return -1;
    } else if (word == "--version") {
      options.version = true;
      return -1;
    } else if (word == "--check") {
      options.check = true;
    } else if (word == "--sjis") {
      shift_jis = true;
    } else if (word == "--timeout") {
      char* end = nullptr;
      const long seconds = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
      if (end == nullptr || end == argv[i + 1] || *end != '\0' || seconds < 0 || seconds > 86400)
        return usage_error(options, "--timeout needs a number of seconds (0 to 86400)");
      options.timeout_seconds = static_cast<int>(seconds);
      ++i;
    } else if (word == "-i" || word == "--interactive") {
      options.interactive = true;
      plain_only = word;
    } else if (word == "--raw") {
      options.raw = true;
      plain_only = word;
    } else if (word == "-f" || word == "--request" || word == "--request-file") {
      if (i + 1 >= argc) return usage_error(options, word + " needs a file name (or '-')");
      options.request_file = argv[++i];
      plain_only = word;
    } else {
      return usage_error(options, "unknown option " + word);
    }
  }
  const std::size_t named = options.check ? 1 : 2;  // FOLDER, or MODULE and DIRECTORY
  if (options.check && !plain_only.empty())
    return usage_error(options, "--check does not take " + plain_only);
  if (positional.size() < named)
    return usage_error(options, options.check ? "--check needs a FOLDER"
                                              : "give a MODULE and a DIRECTORY");
  if (options.check && host_system::file_kind(positional[0]) != host_system::FileKind::directory)
    return usage_error(options, positional[0] + " is not a folder");
  if (!options.check) options.module_path = positional[0];
  options.folder = host_system::as_directory(positional[named - 1]);
  options.arguments.assign(positional.begin() + static_cast<long>(named), positional.end());
  const int modes = (options.interactive ? 1 : 0) + (options.request_file.empty() ? 0 : 1) +
                    (options.arguments.empty() ? 0 : 1);
  if (modes > 1)
    return usage_error(options, "give ARGUMENTs, --request or --interactive, not several");
  options.convert_typed = shift_jis && !host_system::console_speaks_ansi_text();
  if (options.convert_typed && !host_display::can_convert_shift_jis())
    return usage_error(options, "--sjis: this build has no Shift_JIS converter");
  const host_display::StreamCharsets shown =
      host_display::stream_charsets(shift_jis, !options.raw);
  options.charset = shown.output;
  options.message_charset = shown.error;
  return to_module_text(options.convert_typed, options.arguments) ? -1 : exit_usage;
}

// The arguments of one typed line: tab-separated fields when the line holds
// a tab (so an argument may hold spaces, or be empty), else its words.
std::vector<std::string> split_typed_line(const std::string& line) {
  const char separator = line.find('\t') != std::string::npos ? '\t' : ' ';
  std::vector<std::string> parts;
  for (std::size_t start = 0, end; start <= line.size(); start = end + 1) {
    end = std::min(line.find(separator, start), line.size());
    if (separator == '\t' || end > start) parts.push_back(line.substr(start, end - start));
  }
  return parts;
}

bool read_request_file(const std::string& name, std::string& bytes) {
  std::FILE* file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (file == nullptr) return false;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, got);
  const bool read = !std::ferror(file);
  if (file != stdin) std::fclose(file);
  return read;
}

// What the first bytes of a file that would not load say it is, to point
// the user at a module built for another system.
std::string kind_of_file(const std::string& path) {
  const std::string head = host_check::file_head(path, 4);
  if (head.compare(0, 2, "MZ") == 0) return " (it looks like a Windows DLL or program)";
  if (head == "\x7f" "ELF") return " (it looks like an ELF shared object)";
  return "";
}

// Says why the module file at `path` does not open, and keeps what its
// load returned.
class Opening final : public host_child::BindingSteps {
 public:
  explicit Opening(const std::string& path) : path_(path) {}
  void module_loaded(const std::string& path, platform::module_handle module,
                     const std::string& reason) override {
    BindingSteps::module_loaded(path, module, reason);
    if (module == nullptr)
      say(path_ + " is not a module this program can load" + kind_of_file(path_) +
          " (a module must be built for this system and word size)");
  }
  void entries_found(platform::module_handle module, bool load, bool request,
                     bool unload) override {
    BindingSteps::entries_found(module, load, request, unload);
    const std::string missing = host_child::missing_entries(load, request, unload);
    if (!missing.empty())
      say(path_ + " does not export" + missing + " (a module must export load, request and unload)");
  }
  void load_returned(platform::module_bool result) override {
    BindingSteps::load_returned(result);
    loaded = result;
  }
  platform::module_bool loaded = 0;

 private:
  const std::string& path_;
};

// Opens the module at `path`; on failure tells the user why and returns false.
bool open_module(backend::BackendModule& module, const std::string& path, Opening& opening) {
  switch (host_system::file_kind(path)) {
    case host_system::FileKind::missing:
      say("no module file at " + path);
      return false;
    case host_system::FileKind::directory:
      say(path + " is a directory, not a module file");
      return false;
    case host_system::FileKind::special:  // loading a pipe would wait for a writer forever
      say(path + " is not a module: it is a pipe or device, not a file");
      return false;
    case host_system::FileKind::regular_file:
      break;
  }
  // A bare file name means the file in the current folder, as checked
  // above; Windows would otherwise look beside this program first.
  const bool bare = path.find_first_of("/\\:") == std::string::npos;
  host_child::step(host_child::call_module_load);
  const bool opened = backend::open_backend(module, bare ? host_system::as_directory(".") + path
                                                         : path, &opening) == backend::Opening::opened;
  host_child::step("");
  return opened;
}

// One line of standard input without its LF; false at the end of input.
// (C stdio rather than iostreams keeps the Windows program small.)
bool read_typed_line(std::string& line) {
  line.clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
  return c != EOF || !line.empty();
}

// Sends `request` and shows it with the reply (--raw: only the reply's bytes).
void send(const backend::BackendModule& module, const std::string& request, const Options& options,
          const host_display::Report& shown, std::FILE* out) {
  const std::string reply = host_child::send_request(module, request);
  if (options.raw) {
    std::fwrite(reply.data(), 1, reply.size(), out);
    std::fflush(out);
    return;
  }
  shown.block("request", request);
  shown.block("reply", reply);
}

void run_interactive(const backend::BackendModule& module, const Options& options,
                     const host_display::Report& shown, std::FILE* out) {
  if (!options.raw)
    std::fputs("One request per line: the words are Argument0, Argument1, ... (separate\n"
               "them with tabs to put spaces inside one). Ctrl-D (Windows: Ctrl-Z) ends.\n", out);
  std::string line;
  for (;;) {
    if (!options.raw) {
      std::fputs("> ", out);
      std::fflush(out);
    }
    if (!read_typed_line(line)) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A Windows console ends input with a line holding only Ctrl-Z, which
    // standard input in binary mode passes on as a byte.
    if (line == "\x1A") break;
    std::vector<std::string> arguments = split_typed_line(line);
    // A line that cannot be sent is said so and skipped; the session goes on.
    if (arguments.empty() || !to_module_text(options.convert_typed, arguments)) continue;
    send(module, host_request::plugin_request(arguments), options, shown, out);
  }
  if (!options.raw) std::fputc('\n', out);
}

// The plain modes, in the child: load the module with the directory, send
// the request (or the typed ones), unload.
int send_requests(const Options& options) {
  std::FILE* out = host_system::take_standard_output();
  const host_display::Report shown(options.charset, out);
  std::string request;
  if (!options.request_file.empty() && !read_request_file(options.request_file, request)) {
    say("cannot read the request file " + options.request_file);
    return exit_usage;
  }
  if (options.request_file.empty() && !options.interactive)
    request = host_request::plugin_request(options.arguments);

  backend::BackendModule module;
  Opening opening(options.module_path);
  if (!open_module(module, options.module_path, opening)) return exit_bad_module;
  const bool started = backend::start_backend(module, options.folder, &opening);
  host_child::step("");
  if (!options.raw)
    std::fprintf(out, "load(\"%s\") = %d\n", shown.bytes(options.folder).c_str(), opening.loaded);
  if (!started) {
    say("the module's load returned 0 for " + options.folder + "; nothing was sent");
    return exit_load_refused;
  }
  if (options.interactive)
    run_interactive(module, options, shown, out);
  else
    send(module, request, options, shown, out);
  host_child::release(module);
  return exit_ok;
}

int run_mode(const Options& options) {
  return options.check ? host_check::check_steps(options.folder, options.arguments, options.charset,
                                                  host_system::take_standard_output())
                       : send_requests(options);
}

}  // namespace

int main(int argc, char** argv) {
  host_system::use_binary_standard_streams();
  const bool child = host_system::started_as_child(argc, argv);
  Options options;
  if (const int stop = parse_options(argc, argv, options); stop >= 0) return stop;
  if (child) host_system::leave_child(run_mode(options));
  if (options.help || options.version) {
    std::fputs(options.version ? "quillbridge-host " QB_VERSION "\n"
                               : options.check ? check_usage : usage, stdout);
    return exit_ok;
  }
  const auto outcome = host_child::run_in_child([&] { return run_mode(options); },
                                                options.message_charset,
                                                options.check ? options.timeout_seconds : 0);
  // No process could be started: the module runs here, unguarded.
  if (!outcome) return run_mode(options);
  if (options.check) return host_check::check_result(*outcome, options.timeout_seconds);
  if (!outcome->module_ended()) return outcome->exit_code;
  const std::string call = outcome->call.empty() ? "no call into the module" : outcome->call;
  if (outcome->crashed)
    say("the module crashed with " + outcome->cause + " in " + call);
  else
    say("the module ended the process with exit code " + std::to_string(outcome->exit_code) +
        " in " + call);
  return host_child::exit_module_died;
}
