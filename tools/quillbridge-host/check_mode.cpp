#include "quillbridge-host/check_mode.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
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
#include "plugin/handoff.h"
#include "plugin/plugin_codec.h"
#include "quillbridge-host/check_reply.h"
#include "quillbridge-host/check_report.h"
#include "quillbridge-host/text_display.h"
#include "text/field_splitting.h"

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
