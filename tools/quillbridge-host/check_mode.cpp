#include "quillbridge-host/check_mode.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend/backend_discovery.h"
#include "backend/backend_module.h"
#include "backend/sentence_request.h"
#include "files/settings_file.h"
#include "platform/platform.h"
#include "plugin/handoff.h"
#include "plugin/plugin_codec.h"
#include "quillbridge-host/text_display.h"
#include "text/token_cutting.h"

namespace host_check {
namespace {

const char check_usage[] =
    "usage: quillbridge-host [--sjis] --check FOLDER [EVENT [REFERENCE...]]\n"
    "Shows what Quillbridge does with FOLDER, step by step, with its own\n"
    "routines: the settings file and the line naming the backend, the fallback\n"
    "taken and why, binding the backend and, given an EVENT, the exact request\n"
    "it is sent, its raw reply, and which header became the Sentence or why\n"
    "none did. Quillbridge.dll itself is not needed.\n"
    "\n"
    "Exit status: 0 a Sentence came back (without EVENT: the backend is bound);\n"
    "1 no backend found, or binding it failed; 2 usage error; 3 the backend\n"
    "answered but gave no Sentence.\n";

struct CheckOptions {
  std::string folder;              // with a trailing separator
  plugin::ArgumentList arguments;  // EVENT, REFERENCE...; empty: send nothing
  bool shift_jis = false;
};

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "quillbridge-host: %s\n", problem.c_str());
  std::fputs("Try 'quillbridge-host --check --help'.\n", stderr);
  return exit_usage;
}

// Returns -1 when the command line is sound, else the exit code to stop with.
int parse_check_options(int argc, char** argv, CheckOptions& options) {
  std::vector<std::string> positional;
  bool options_done = false;
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
      options.shift_jis = true;
    } else {
      return usage_error("--check does not take " + word);
    }
  }
  if (positional.empty()) return usage_error("--check needs a FOLDER");
  if (options.shift_jis && !host_display::can_convert_shift_jis())
    return usage_error("--sjis: this build has no Shift_JIS converter");
  std::error_code error;
  if (!std::filesystem::is_directory(positional[0], error))
    return usage_error(positional[0] + " is not a folder");
  options.folder = positional[0];
  // The module appends file names to the folder as it is given; hosts give
  // it with a trailing separator.
  if (options.folder.back() != '/' && options.folder.back() != '\\') options.folder += '/';
  options.arguments.assign(positional.begin() + 1, positional.end());
  return -1;
}

// Everything the check prints goes through here, so that bytes from files
// and backends show the way the rest of the tool shows them.
class Report {
 public:
  explicit Report(bool shift_jis) : shift_jis_(shift_jis) {}

  void heading(const std::string& title) const { std::printf("\n== %s\n", title.c_str()); }
  void line(const std::string& text) const { std::printf("  %s\n", text.c_str()); }
  // Bytes that came from a file or a backend, made readable.
  std::string bytes(std::string_view raw) const {
    return host_display::readable(std::string(raw), shift_jis_);
  }
  std::string quoted(std::string_view raw) const { return "\"" + bytes(raw) + "\""; }
  void block(const char* title, const std::string& raw) const {
    std::printf("--- %s (%zu bytes)\n", title, raw.size());
    std::fputs(host_display::readable_lines(raw, shift_jis_).c_str(), stdout);
  }

 private:
  bool shift_jis_;
};

// ---------------------------------------------------------------------------
// Discovery.

std::optional<std::string> explain_discovery(const std::string& folder, const Report& report) {
  report.heading("Finding the backend in " + report.bytes(folder));
  std::string name = backend::read_backend_setting(folder);
  if (name.empty() || !files::file_exists(folder + name)) {
    for (const char* fallback : backend::FALLBACK_BACKENDS) {
      if (files::file_exists(folder + fallback)) {
        name = fallback;
        break;
      }
    }
  }
  if (name.empty() || !files::file_exists(folder + name)) {
    report.line("No backend file found.");
    return std::nullopt;
  }
  report.line("Chosen: " + report.bytes(name));
  return name;
}

// ---------------------------------------------------------------------------
// Binding.

// Binds the backend in the steps of the module's bind_backend, saying what
// each gives, and which of the module's messages a failure is. It binds by
// itself rather than through bind_backend because that one reports in a
// message box, which a console check must not wait on; from here on the
// module's own routines drive the record.
bool bind_explained(backend::BackendModule& backend, const std::string& folder,
                    const std::string& name, const Report& report) {
  const std::string path = folder + name;
  report.heading("Binding " + report.bytes(path));
  backend.module = platform::load_module(path);
  if (backend.module == nullptr) {
    report.line("It cannot be loaded as a module: Quillbridge shows \"<path>: LoadLibrary...\"");
    report.line("(see the readme's messages). It is not a module, or is built for another");
    report.line("system or word size (a Windows DLL is checked with quillbridge-host.exe; hosts");
    report.line("and Quillbridge are 32-bit), or a DLL it needs is missing.");
    return false;
  }
  report.line("Loaded.");
  backend.load_entry = reinterpret_cast<platform::entry_load>(platform::find_entry(backend.module, "load"));
  backend.request_entry =
      reinterpret_cast<platform::entry_request>(platform::find_entry(backend.module, "request"));
  backend.unload_entry =
      reinterpret_cast<platform::entry_unload>(platform::find_entry(backend.module, "unload"));
  std::string missing;
  if (backend.load_entry == nullptr) missing += " load";
  if (backend.request_entry == nullptr) missing += " request";
  if (backend.unload_entry == nullptr) missing += " unload";
  if (!missing.empty()) {
    backend::release_backend(backend);
    report.line("It does not export" + missing + ", so it is no backend: Quillbridge shows");
    report.line("\"<path>: load, unload, request...\" (see the readme's messages).");
    return false;
  }
  report.line("It exports load, request and unload.");
  long length = 0;
  platform::block_handle block = plugin::give_block(folder, &length);
  const int accepted = block != nullptr ? backend.load_entry(block, length) : 0;
  report.line("load(" + report.quoted(folder) + ") returned " + std::to_string(accepted) + ".");
  if (accepted != 0) return true;
  backend::release_backend(backend);
  report.line("The backend refused to start: Quillbridge shows \"<path>: load()...FALSE...\".");
  report.line("Look for the backend's own dictionary and settings files in the folder,");
  report.line("and at the backend's own log or messages.");
  return false;
}

// ---------------------------------------------------------------------------
// The reply.

struct HeaderPair {
  std::string_view key;
  std::string_view value;
};

// The header pairs the module's reader takes from `reply`, in order, as
// views into it. The only call of the reader here, so that a change to the
// reader is met in one place.
std::vector<HeaderPair> headers_as_module_reads(const std::string& reply) {
  std::vector<HeaderPair> pairs;
  text::read_header_block(reply.c_str(), [&](std::string_view key, std::string_view value) {
    pairs.push_back({key, value});
  });
  return pairs;
}

// A line of the reply: where it starts and ends (before its LF), numbered
// from 1 for the status line.
struct ReplyLine {
  std::size_t number = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

ReplyLine line_at(const std::string& reply, std::size_t offset) {
  ReplyLine line;
  line.number = 1;
  for (std::size_t i = 0; i < offset && i < reply.size(); ++i)
    if (reply[i] == '\n') {
      ++line.number;
      line.start = i + 1;
    }
  const std::size_t lf = reply.find('\n', line.start);
  line.end = lf == std::string::npos ? reply.size() : lf;
  return line;
}

// A line's bytes without its CR.
std::string_view line_text(const std::string& reply, const ReplyLine& line) {
  std::string_view text(reply.data() + line.start, line.end - line.start);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return text;
}

std::size_t offset_in(const std::string& reply, std::string_view view) {
  return static_cast<std::size_t>(view.data() - reply.data());
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Says what the status line tells about an empty result.
void explain_status(const std::string& reply, bool has_sentence, const Report& report) {
  const std::string_view status = line_text(reply, line_at(reply, 0));
  report.line("Status line: " + report.quoted(status));
  const std::size_t space = status.find(' ');
  const std::string_view code =
      space == std::string_view::npos ? std::string_view() : status.substr(space + 1, 3);
  if (status.substr(0, 7) != "SHIORI/" || code.size() != 3) {
    report.line("That is not a SHIORI status line; Quillbridge does not look at it.");
    return;
  }
  if (code[0] == '2') {
    if (code == "204" && !has_sentence)
      report.line("204 No Content: the backend has no answer for this event; its dictionary has\n"
                  "  nothing for it (check the event's name and the dictionary).");
    return;
  }
  report.line(std::string(code) + " is not a success status: the backend did not answer the request.");
  if (code == "400")
    report.line("A backend answering 400 Bad Request usually does not speak the GET Sentence\n"
                "  request of SHIORI/2.5 that Quillbridge sends; such a backend cannot be used.");
  if (has_sentence) report.line("Quillbridge does not look at the status and takes the Sentence anyway.");
}

// Where the module's reader stopped after `pairs`: the start of the line it
// gave up on (or the reply's end).
std::size_t reading_stop(const std::string& reply, const std::vector<HeaderPair>& pairs) {
  std::size_t from = 0;
  if (!pairs.empty()) from = offset_in(reply, pairs.back().value) + pairs.back().value.size();
  const std::size_t lf = reply.find('\n', from);
  return lf == std::string::npos ? reply.size() : lf + 1;
}

// Why the reader stopped at `stop`, in words; empty when it reached the
// empty line that ends a header block, which is no fault.
std::string why_reading_stopped(const std::string& reply, std::size_t stop, const Report& report) {
  const std::size_t nul = reply.find('\0');
  if (nul != std::string::npos && nul <= line_at(reply, stop).end)
    return "a NUL byte (line " + std::to_string(line_at(reply, nul).number) +
           ") ends the text Quillbridge reads; nothing after it is seen";
  if (stop >= reply.size()) return "the reply ends, without the empty line that ends headers";
  const ReplyLine line = line_at(reply, stop);
  const std::string_view text = line_text(reply, line);
  const std::string where = "line " + std::to_string(line.number);
  if (text.empty()) return {};
  const std::size_t colon = text.find(':');
  if (colon == 0) return where + " has an empty key, which ends the reading";
  if (colon == std::string_view::npos) return where + " " + report.quoted(text) + " has no colon";
  if (trimmed(text.substr(colon + 1)).empty())
    return where + ": the header " + report.quoted(text.substr(0, colon)) +
           " has an empty value, and Quillbridge stops reading at the first empty value";
  return where + " " + report.quoted(text) + " could not be read as a header";
}

// Explains why no Sentence was taken from a reply that is not empty.
void explain_missing_sentence(const std::string& reply, const std::vector<HeaderPair>& pairs,
                              const Report& report) {
  bool explained = false;
  // A key runs up to the next colon, across line ends: a line without one
  // swallows the header after it.
  for (const HeaderPair& pair : pairs) {
    if (pair.key.find('\n') == std::string_view::npos) continue;
    const std::size_t first = line_at(reply, offset_in(reply, pair.key)).number;
    const std::size_t last = line_at(reply, offset_in(reply, pair.key) + pair.key.size()).number;
    report.line("Lines " + std::to_string(first) + " to " + std::to_string(last) +
                " were read as the one key " + report.quoted(pair.key) + ":");
    report.line("Quillbridge reads a key up to the next colon, also across line ends, so a line");
    report.line("without a colon (or an empty line) hides the header after it.");
    explained = true;
  }
  const std::size_t stop = reading_stop(reply, pairs);
  const std::string stop_reason = why_reading_stopped(reply, stop, report);
  for (std::size_t at = reply.find('\n'); at != std::string::npos && at + 1 < reply.size();
       at = reply.find('\n', at + 1)) {
    const ReplyLine line = line_at(reply, at + 1);
    const std::string_view text = line_text(reply, line);
    const std::string_view key = text.substr(0, text.find(':'));
    if (key.size() == text.size()) continue;
    const std::string where = "Line " + std::to_string(line.number);
    if (key == "Sentence" && line.start == stop && !stop_reason.empty()) {
      report.line(where + " holds the Sentence header, but its value is empty.");
      explained = true;
    } else if (key == "Sentence" && line.start > stop && !stop_reason.empty()) {
      report.line(where + " holds a Sentence header, but Quillbridge stopped reading before it:");
      report.line(stop_reason + ".");
      explained = true;
    } else if (key != "Sentence" && same_ignoring_case(trimmed(key), "Sentence")) {
      report.line(where + " has the key " + report.quoted(key) +
                  "; Quillbridge takes only \"Sentence\", spelled exactly so");
      report.line("(capital S, nothing between it and the colon).");
      explained = true;
    }
  }
  if (explained) return;
  report.line("The reply has no Sentence header.");
  if (!stop_reason.empty()) report.line("Reading stopped: " + stop_reason + ".");
}

// Shows the reply as the module reads it: the headers taken, then the
// Sentence and where it came from, or why there is none. True when a
// Sentence came back.
bool explain_reply(const std::string& reply, const Report& report) {
  report.heading("Reading the reply as Quillbridge does");
  if (reply.empty()) {
    report.line("The backend's reply is empty: Quillbridge answers with an empty Result.");
    return false;
  }
  const std::vector<HeaderPair> pairs = headers_as_module_reads(reply);
  const std::string_view sentence = backend::sentence_in(reply);
  explain_status(reply, !sentence.empty(), report);
  for (const HeaderPair& pair : pairs)
    report.line("line " + std::to_string(line_at(reply, offset_in(reply, pair.key)).number) +
                ": header " + report.quoted(pair.key) + " = " + report.quoted(pair.value));
  if (!sentence.empty()) {
    const std::size_t line = line_at(reply, offset_in(reply, sentence)).number;
    report.line("Sentence: " + report.quoted(sentence) + ", from the Sentence header on line " +
                std::to_string(line) + ".");
    std::size_t taken = 0;
    for (const HeaderPair& pair : pairs) taken += pair.key == "Sentence" ? 1 : 0;
    if (taken > 1) report.line("(The reply has several; the last one replaces the others.)");
    return true;
  }
  report.line("No Sentence: Quillbridge answers with an empty Result.");
  explain_missing_sentence(reply, pairs, report);
  return false;
}

}  // namespace

bool is_check_command(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--") return false;
    if (word == "--check") return true;
  }
  return false;
}

int run_check(int argc, char** argv) {
  CheckOptions options;
  if (const int stop = parse_check_options(argc, argv, options); stop >= 0) return stop;
  const Report report(options.shift_jis);

  const std::optional<std::string> name = explain_discovery(options.folder, report);
  if (!name) return exit_no_backend;
  backend::BackendModule backend;
  if (!bind_explained(backend, options.folder, *name, report)) return exit_no_backend;
  if (options.arguments.empty()) {
    report.line("Give an EVENT after the folder to send the backend a request.");
    return exit_sentence;
  }

  report.heading("Asking the backend as Quillbridge does");
  const std::string request = backend::compose_sentence_request(options.arguments);
  const std::string reply = backend::forward_request(backend, request);
  report.block("request", request);
  report.block("reply", reply);
  std::fflush(stdout);
  return explain_reply(reply, report) ? exit_sentence : exit_no_sentence;
}

}  // namespace host_check
