#include "quillbridge-host/check_mode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend/backend_discovery.h"
#include "backend/backend_module.h"
#include "backend/sentence_request.h"
#include "files/settings_file.h"
#include "platform/platform.h"
#include "plugin/plugin_codec.h"
#include "quillbridge-host/check_process.h"
#include "quillbridge-host/check_reply.h"
#include "quillbridge-host/check_report.h"
#include "quillbridge-host/host_request.h"
#include "quillbridge-host/platform/host_platform.h"
#include "quillbridge-host/text_display.h"
#include "text/field_splitting.h"

namespace host_check {
namespace {

const char check_usage[] =
    "usage: quillbridge-host [--sjis] [--timeout SECONDS] --check FOLDER\n"
    "                        [EVENT [REFERENCE...]]\n"
    "Shows what Quillbridge does with FOLDER, step by step, with its own\n"
    "routines: the settings file and the line naming the backend, the fallback\n"
    "taken and why, binding the backend and, given an EVENT, the exact request\n"
    "it is sent, its raw reply, and which header became the Sentence or why\n"
    "none did. Quillbridge.dll itself is not needed. Shift_JIS text is shown\n"
    "converted on a UTF-8 terminal; --sjis also takes EVENT and REFERENCEs as\n"
    "UTF-8 and converts them, and converts what is shown into a file or pipe.\n"
    "The backend runs in a process of its own: when it crashes, or a call into\n"
    "it takes longer than --timeout SECONDS (default 10; 0: no limit), the\n"
    "check says in which call.\n"
    "\n"
    "Exit status: 0 a Sentence came back (without EVENT: the backend is bound);\n"
    "1 no backend found, or binding it failed; 2 usage error; 3 the backend\n"
    "answered but gave no Sentence; 4 the backend crashed or did not return.\n";

// The first word of the command line with which the check starts itself as
// the process that calls into the backend; never typed by a user.
constexpr const char child_word[] = "--check-child";

struct CheckOptions {
  std::string folder;              // with a trailing separator
  std::vector<std::string> arguments;  // EVENT, REFERENCE...; empty: send nothing
  // How Shift_JIS is shown in the report, and in what the backend writes
  // to standard error; follow from --sjis, the system and where each goes.
  host_display::Charset charset = host_display::Charset::escaped;
  host_display::Charset message_charset = host_display::Charset::escaped;
  int timeout_seconds = 10;        // for each call into the backend; 0: none
};

// The report's charset as a word on the child's command line: the child's
// standard output is a pipe, so it cannot see the terminal for itself.
constexpr const char* charset_words[] = {"escaped", "shift_jis_as_utf8", "as_they_are"};
constexpr host_display::Charset charsets[] = {host_display::Charset::escaped,
                                              host_display::Charset::shift_jis_as_utf8,
                                              host_display::Charset::as_they_are};

const char* word_for(host_display::Charset charset) {
  for (std::size_t i = 0; i < std::size(charsets); ++i)
    if (charsets[i] == charset) return charset_words[i];
  return charset_words[0];
}

host_display::Charset charset_for(std::string_view word) {
  for (std::size_t i = 0; i < std::size(charsets); ++i)
    if (word == charset_words[i]) return charsets[i];
  return host_display::Charset::escaped;
}

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "quillbridge-host: %s\n", problem.c_str());
  std::fputs("Try 'quillbridge-host --check --help'.\n", stderr);
  return exit_usage;
}

// Returns -1 when the command line is sound, else the exit code to stop with.
int parse_check_options(int argc, char** argv, CheckOptions& options) {
  std::vector<std::string> positional;
  bool options_done = false;
  bool shift_jis = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    // As in the other modes, options end at "--" or at the first argument
    // sent, so an EVENT or REFERENCE may begin with '-'.
    if (options_done || positional.size() >= 2 || word.size() < 2 || word[0] != '-') {
      positional.push_back(word);
    } else if (word == "--") {
      options_done = true;
    } else if (word == "-h" || word == "--help") {
      std::fputs(check_usage, stdout);
      return exit_sentence;
    } else if (word == "--check") {
      continue;
    } else if (word == "--sjis") {
      shift_jis = true;
    } else if (word == "--timeout") {
      char* end = nullptr;
      const long seconds = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
      if (end == nullptr || end == argv[i + 1] || *end != '\0' || seconds < 0 || seconds > 86400)
        return usage_error("--timeout needs a number of seconds (0 to 86400)");
      options.timeout_seconds = static_cast<int>(seconds);
      ++i;
    } else {
      return usage_error("--check does not take " + word);
    }
  }
  if (positional.empty()) return usage_error("--check needs a FOLDER");
  const bool convert_arguments = shift_jis && !platform::console_speaks_ansi_text();
  if (convert_arguments && !host_display::can_convert_shift_jis())
    return usage_error("--sjis: this build has no Shift_JIS converter");
  const host_display::StreamCharsets shown = host_display::stream_charsets(shift_jis, true);
  options.charset = shown.output;
  options.message_charset = shown.error;
  if (platform::file_kind(positional[0]) != platform::FileKind::directory)
    return usage_error(positional[0] + " is not a folder");
  options.folder = platform::as_directory(positional[0]);
  options.arguments.assign(positional.begin() + 1, positional.end());
  // What the module receives is Shift_JIS: with --sjis, typed UTF-8 is
  // converted first.
  if (convert_arguments) {
    for (std::string& argument : options.arguments) {
      std::string converted;
      if (!host_display::shift_jis_from_utf8(argument, converted))
        return usage_error("--sjis: " + argument + " is not UTF-8 that Shift_JIS can write");
      argument = converted;
    }
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Discovery.

// A file's name within the folder, for messages.
std::string in_folder(const std::string& folder, const std::string& path) {
  return path.compare(0, folder.size(), folder) == 0 ? path.substr(folder.size()) : path;
}

// Settings lines before line `up_to` (0: all) that a person would take for
// a "shiori" entry but the module passes over, each with the reason. Reads
// one line at a time, as the module does.
void point_out_near_entries(const std::string& settings_path, long up_to, const Report& report) {
  class NearEntryFinder final : public files::LineVisitor {
   public:
    NearEntryFinder(long up_to, const Report& report) : up_to_(up_to), report_(report) {}

    bool visit_line(std::string& line) override {
      ++number_;
      if (up_to_ != 0 && number_ >= up_to_) return false;
      fields_.clear();
      text::split_fields(line, ",", fields_);
      if (fields_.empty() || !same_ignoring_case(trimmed(fields_[0]), "shiori")) return true;
      const char* why = fields_[0] != "shiori"
                            ? "its first field must be exactly \"shiori\" (lower case, no spaces)"
                            : "it names no file after the comma";
      report_.line("Line " + std::to_string(number_) + " " + report_.quoted(line) +
                   " is passed over: " + why + ".");
      return true;
    }

   private:
    const long up_to_;
    const Report& report_;
    long number_ = 0;
    std::vector<std::string> fields_;
  };
  NearEntryFinder finder(up_to, report);
  files::read_lines(settings_path, finder);
}

// Whether the file at `path` starts with the byte order mark that the
// module's settings reading skips.
bool begins_with_byte_order_mark(const std::string& path) {
  platform::file_handle file = platform::open_file(path);
  if (file == nullptr) return false;
  std::string head;
  char buffer[3];
  for (long got; head.size() < sizeof buffer &&
                 (got = platform::read_file(file, buffer, sizeof buffer - head.size())) > 0;)
    head.append(buffer, static_cast<std::size_t>(got));
  platform::close_file(file);
  return head == files::byte_order_mark;
}

// Module files in the folder, to set beside a name that was not found.
void list_module_files(const std::string& folder, const Report& report) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const auto ends_with = [&](std::string_view suffix) {
      return name.size() > suffix.size() &&
             same_ignoring_case(std::string_view(name).substr(name.size() - suffix.size()), suffix);
    };
    if (ends_with(".dll") || ends_with(".so")) found.push_back(name);
  }
  std::sort(found.begin(), found.end());  // the same listing on every system
  std::string names;
  for (const std::string& name : found) names += (names.empty() ? "" : ", ") + report.bytes(name);
  report.line(names.empty() ? "The folder holds no .dll file."
                            : "Module files in the folder: " + names + ".");
}


// Says each step of the module's discovery as the module takes it, and,
// before the first fallback file is probed, why the fallback list is used.
class DiscoveryNarrator final : public backend::DiscoveryObserver {
 public:
  DiscoveryNarrator(const std::string& folder, const Report& report)
      : folder_(folder), report_(report) {}

  void settings_file(const std::string& path, bool opened) override {
    const std::string name = in_folder(folder_, path);
    if (opened) {
      report_.line(name + ": opened.");
      settings_path_ = path;
      if (begins_with_byte_order_mark(path)) {
        report_.line("It begins with the bytes EF BB BF, the mark some editors put before UTF-8");
        report_.line("text: Quillbridge skips them, they are not part of line 1. The rest is read");
        report_.line("as Shift_JIS, byte for byte: a file name outside ASCII must be Shift_JIS.");
      }
    } else {
      report_.line(name + ": cannot be opened" +
                   (name == "descript.txt" ? ", so alias.txt is read in its place." : "."));
    }
  }

  void settings_entry(const std::string& path, long line, const std::string& name) override {
    report_.line(in_folder(folder_, path) + " line " + std::to_string(line) +
                 " names the backend " + report_.quoted(name) + ".");
    entry_line_ = line;
    entry_probe_next_ = true;
  }

  void candidate_probed(const std::string& path, bool openable) override {
    const std::string name = in_folder(folder_, path);
    if (entry_probe_next_) {
      entry_probe_next_ = false;
      if (openable) {
        report_.line(report_.quoted(name) + " exists.");
      } else {
        report_.line(report_.quoted(name) + " is not a file in the folder.");
        if (trimmed(name) != name)
          report_.line("(The name has spaces at an end; nothing is trimmed from it.)");
      }
      return;
    }
    if (!fallback_started_) explain_fallback();
    if (!openable) {
      absent_fallbacks_ += (absent_fallbacks_.empty() ? "" : ", ") + name;
      return;
    }
    if (!absent_fallbacks_.empty())
      report_.line("Fallback files absent: " + absent_fallbacks_ + ".");
    report_.line("Fallback file present: " + name + ".");
    absent_fallbacks_.clear();
  }

  // Called once discovery is over: fallbacks probed in vain since the last
  // one reported.
  void finish() {
    if (!absent_fallbacks_.empty())
      report_.line("None of the fallback files exists: " + absent_fallbacks_ + ".");
  }

 private:
  void explain_fallback() {
    fallback_started_ = true;
    if (entry_line_ != 0) {
      report_.line("So Quillbridge tries its list of fallback files instead.");
      list_module_files(folder_, report_);
    } else if (!settings_path_.empty()) {
      report_.line("No line of " + in_folder(folder_, settings_path_) +
                   " is a \"shiori,<file>\" entry, so Quillbridge tries its");
      report_.line("list of fallback files.");
    } else {
      report_.line("There is no settings file, so Quillbridge tries its list of fallback files.");
    }
    // Lines the module read and passed over; with an entry, only those before it.
    if (!settings_path_.empty()) point_out_near_entries(settings_path_, entry_line_, report_);
  }

  const std::string& folder_;
  const Report& report_;
  std::string settings_path_;  // the settings file opened, if any
  long entry_line_ = 0;        // the line of its "shiori" entry; 0: none
  bool entry_probe_next_ = false;
  bool fallback_started_ = false;
  std::string absent_fallbacks_;
};

// Runs the module's discovery on `folder`, saying each step and why the
// choice fell where it did. Returns the chosen file name, or nothing when
// the module finds no backend.
std::optional<std::string> explain_discovery(const std::string& folder, const Report& report) {
  report.heading("Finding the backend in " + report.bytes(folder));
  DiscoveryNarrator narrator(folder, report);
  const backend::BackendChoice choice = backend::choose_backend(folder, &narrator);
  narrator.finish();
  switch (choice.source) {
    case backend::ChoiceSource::settings_entry:
      report.line("Chosen: " + report.quoted(choice.name) + ", named by the settings.");
      return choice.name;
    case backend::ChoiceSource::fallback:
      report.line("Chosen: " + report.quoted(choice.name) +
                  ", the first fallback file present. If that is not the");
      report.line("backend you meant, name yours in a \"shiori,<file>\" line of descript.txt.");
      return choice.name;
    case backend::ChoiceSource::none:
      break;
  }
  report.line("No backend: Quillbridge shows its message that no backend was found (the one");
  report.line("ending in \"descript.txt...\") and its load fails.");
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Binding.

// The request Quillbridge sends its backend when a host sends `arguments`:
// the host's request, as this tool sends it in its other modes, read and
// composed by the module's own routines, so that what is shown is what
// Quillbridge sends, byte for byte (an empty argument ends the reading, a
// leading blank is dropped).
std::string request_for(const std::vector<std::string>& arguments) {
  const std::string host_text = host_request::plugin_request(arguments);
  const backend::ArgumentList list = plugin::decode_plugin_request(host_text);
  std::string request(backend::sentence_request_size(list, backend::Protocol::shiori_2_5), '\0');
  backend::compose_sentence_request(list, request.data(), backend::Protocol::shiori_2_5);
  return request;
}

// Whether the file at `path` is a build of Quillbridge: it holds the start
// line and the Sender of every request Quillbridge sends, which no backend
// has. (Its messages, and the rest of the request's fixed lines, are no use
// here: optimised builds may store them in pieces.)
bool is_quillbridge_file(const std::string& path) {
  // Quillbridge is small, and its fixed request lines lie near its start
  // (40 KB into the .so, 200 KB into the DLL, 740 KB into a sanitizer
  // build); a file of any size is read no further than this, and a file
  // that does not start as a module is read no further than its start.
  constexpr std::size_t read_at_most = 4u << 20;
  std::string mark = request_for({});
  mark.resize(mark.find("Quillbridge") + 11);
  platform::file_handle file = platform::open_file(path);
  if (file == nullptr) return false;
  std::string bytes;
  char buffer[64 * 1024];
  for (long got; bytes.size() < read_at_most &&
                 (got = platform::read_file(file, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.size() >= 4 && bytes.compare(0, 2, "MZ") != 0 && bytes.compare(0, 4, "\x7f" "ELF") != 0)
      break;
  }
  platform::close_file(file);
  return bytes.find(mark) != std::string::npos;
}

// The calls into the backend that the watching process names when the
// backend crashes or hangs in one of them.
constexpr const char call_module_load[] = "loading its file (its start-up code runs then)";
constexpr const char call_load[] = "its load";
constexpr const char call_request[] = "its request";
constexpr const char call_release[] = "its unload, or freeing its file";

// The system loader's own words for why a load failed, beside the
// explanation above, which can only list the usual causes.
void say_loader_reason(const std::string& reason, const Report& report) {
  if (!reason.empty()) report.line("The system's loader says: " + report.bytes(reason));
}

// Whether an exported name looks like an entry point of another module
// interface: a prefix before _load, _request or _unload (a name per module,
// or "multi" for one that serves several), or the pair of one that makes
// an instance first.
bool looks_like_other_entry(std::string_view name) {
  if (name == "so_create" || name == "so_request") return true;
  for (std::string_view suffix : {"_load", "_request", "_unload"}) {
    if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix)
      return true;
  }
  return false;
}

// For a file that lacks load, request or unload: names its exports that
// show it speaks another interface, which no settings change can mend.
void name_other_interface(platform::module_handle module, const Report& report) {
  std::vector<std::string> names = platform::exported_names(module);
  std::sort(names.begin(), names.end());  // the export table's order means nothing here
  std::string found;
  for (const std::string& name : names)
    if (looks_like_other_entry(name)) found += (found.empty() ? "" : ", ") + report.bytes(name);
  if (found.empty()) return;
  report.line("It exports " + found + ",");
  report.line("the entry points of another module interface, which Quillbridge does not");
  report.line("speak: it drives only a backend that exports load, request and unload by");
  report.line("these very names. This file cannot be its backend.");
}

// What the refusal of a file already loaded means for the user.
void explain_refusal(const Report& report) {
  report.line("Quillbridge refuses it without loading it: its message is the path followed");
  report.line("by \": ...Quillbridge...\". Keep Quillbridge and its backend in a folder of");
  report.line("their own, and name the backend in the folder's \"shiori,<file>\" line.");
}

// Says each step of the module's bind_backend as it is taken, and which of
// the module's messages a failure is.
class BindingNarrator final : public backend::BindingObserver {
 public:
  BindingNarrator(const std::string& folder, const Report& report)
      : folder_(folder), report_(report) {}

  void refused_as_loaded(const std::string&) override {
    report_.line("It is loaded in this process already.");
    explain_refusal(report_);
  }

  void module_loaded(const std::string&, platform::module_handle module,
                     const std::string& loader_reason) override {
    report_.step("");
    report_.line("It is not Quillbridge and not loaded yet. (Quillbridge refuses a file its host");
    report_.line("runs already, such as a ghost's own SHIORI: give it a folder of its own.)");
    if (module != nullptr) {
      report_.line("Loaded.");
      return;
    }
    report_.line("It cannot be loaded as a module: Quillbridge shows \"<path>: LoadLibrary...\"");
    report_.line("(see the readme's messages). It is not a module, or is built for another");
    report_.line("system or word size (a Windows DLL is checked with quillbridge-host.exe; hosts");
    report_.line("and Quillbridge are 32-bit), or a DLL it needs is missing.");
    say_loader_reason(loader_reason, report_);
  }

  void entries_found(platform::module_handle module, bool load, bool request,
                     bool unload) override {
    std::string missing;
    if (!load) missing += " load";
    if (!request) missing += " request";
    if (!unload) missing += " unload";
    if (missing.empty()) {
      report_.line("It exports load, request and unload.");
      report_.step(call_load);
      return;
    }
    report_.line("It does not export" + missing + ", so it is no backend: Quillbridge shows");
    report_.line("\"<path>: load, unload, request...\" (see the readme's messages).");
    name_other_interface(module, report_);
    report_.step(call_release);
  }

  void load_returned(platform::module_bool result) override {
    report_.step(result != 0 ? "" : call_release);
    report_.line("load(" + report_.quoted(folder_) + ") returned " + std::to_string(result) + ".");
    if (result != 0) return;
    report_.line("The backend refused to start: Quillbridge shows \"<path>: load()...FALSE...\".");
    report_.line("Look for the backend's own dictionary and settings files in the folder,");
    report_.line("and at the backend's own log or messages.");
  }

 private:
  const std::string& folder_;
  const Report& report_;
};

// Binds the backend through the module's own bind_backend, saying what each
// step gives. The check runs in a process of its own, where the module
// would not find itself loaded, so it first looks inside the file for
// Quillbridge.
bool bind_explained(backend::BackendModule& backend, const std::string& folder,
                    const std::string& name, const Report& report) {
  const std::string path = folder + name;
  report.heading("Binding " + report.bytes(path));
  if (is_quillbridge_file(path)) {
    report.line("It is Quillbridge itself, which cannot be its own backend.");
    explain_refusal(report);
    return false;
  }
  BindingNarrator narrator(folder, report);
  report.step(call_module_load);
  const bool bound = backend::bind_backend(backend, folder, name, &narrator);
  report.step("");
  return bound;
}

// The steps of the check: discovery, binding and, given arguments, one
// request; the backend is released before it returns.
int check_steps(const CheckOptions& options, const Report& report) {
  const std::optional<std::string> name = explain_discovery(options.folder, report);
  if (!name) return exit_no_backend;
  backend::BackendModule backend;
  if (!bind_explained(backend, options.folder, *name, report)) return exit_no_backend;
  int status = exit_sentence;
  if (options.arguments.empty()) {
    report.line("Give an EVENT after the folder to send the backend a request.");
  } else {
    report.heading("Asking the backend as Quillbridge does");
    const std::string request = request_for(options.arguments);
    report.block("request", request);
    long length = 0;
    platform::block_handle request_block = platform::give_block(request, &length);
    report.step(call_request);
    platform::ReceivedBlock reply_block =
        request_block != nullptr ? backend::forward_request(backend, request_block, request.size())
                                 : platform::ReceivedBlock();
    report.step("");
    const std::string reply(reply_block.text());
    reply_block.release();
    report.block("reply", reply);
    status = explain_reply(reply, report) ? exit_sentence : exit_no_sentence;
  }
  report.step(call_release);
  backend::release_backend(backend);
  report.step("");
  return status;
}

}  // namespace

bool is_check_command(int argc, char** argv) {
  // Only among the options before the first other word: later words are
  // arguments to send, and "--check" may be one of them.
  for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
    const std::string_view word = argv[i];
    if (word == "--") return false;
    if (word == "--check") return true;
    if (word == "--timeout") ++i;  // its number
  }
  return false;
}

bool is_check_child_command(int argc, char** argv) {
  return argc > 1 && std::string_view(argv[1]) == child_word;
}

int run_check(int argc, char** argv) {
  CheckOptions options;
  if (const int stop = parse_check_options(argc, argv, options); stop >= 0) return stop;
  // The child parses the same words again, after the one that marks it and
  // the charset of the report.
  std::vector<std::string> child_arguments = {child_word, word_for(options.charset)};
  child_arguments.insert(child_arguments.end(), argv + 1, argv + argc);
  const std::optional<int> status = watch_check(child_arguments, run_check_child,
                                                options.message_charset, options.timeout_seconds);
  if (status) return *status;
  // No process could be started: the check runs here, unguarded.
  return check_steps(options, Report(options.charset));
}

int run_check_child(int argc, char** argv) {
  std::FILE* out = platform::take_standard_output();
  CheckOptions options;
  if (argc < 3) return exit_usage;
  if (const int stop = parse_check_options(argc - 2, argv + 2, options); stop >= 0) return stop;
  options.charset = charset_for(argv[2]);
  return check_steps(options, Report(options.charset, out, true));
}

}  // namespace host_check
