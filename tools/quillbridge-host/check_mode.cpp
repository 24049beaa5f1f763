#include "quillbridge-host/check_mode.h"

#include <algorithm>
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
#include "plugin/plugin_codec.h"
#include "quillbridge-host/host_request.h"
#include "quillbridge-host/module_child.h"
#include "text/field_splitting.h"

namespace host_check {
namespace {

using host_display::Report;

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
      if (file_head(path, 3) == files::byte_order_mark) {
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

  void protocol_entry(const std::string& path, long line, const std::string& value,
                      backend::Protocol protocol) override {
    const std::string where = in_folder(folder_, path) + " line " + std::to_string(line);
    if (protocol != backend::Protocol::detect) {
      protocol_line = where;
      report_.line(where + " fixes the form of the backend's requests: " + report_.quoted(value) + ".");
      return;
    }
    report_.line(where + " sets shiori.protocol to " + report_.quoted(value) + ": Quillbridge knows");
    report_.line("only SHIORI/3.0 and SHIORI/2.5 there, so it ignores the line.");
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

  std::string protocol_line;  // the settings line that fixed the form; empty: none

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

// What discovery chose, and the settings line that fixed the form of its
// requests ("descript.txt line 2"; empty: none did).
struct Chosen {
  backend::BackendChoice choice;
  std::string protocol_line;
};

// Runs the module's discovery on `folder`, saying each step and why the
// choice fell where it did. Nothing when the module finds no backend.
std::optional<Chosen> explain_discovery(const std::string& folder, const Report& report) {
  report.heading("Finding the backend in " + report.bytes(folder));
  DiscoveryNarrator narrator(folder, report);
  const backend::BackendChoice choice = backend::choose_backend(folder, &narrator);
  narrator.finish();
  switch (choice.source) {
    case backend::ChoiceSource::settings_entry:
      report.line("Chosen: " + report.quoted(choice.name) + ", named by the settings.");
      return Chosen{choice, narrator.protocol_line};
    case backend::ChoiceSource::fallback:
      report.line("Chosen: " + report.quoted(choice.name) +
                  ", the first fallback file present. If that is not the");
      report.line("backend you meant, name yours in a \"shiori,<file>\" line of descript.txt.");
      return Chosen{choice, narrator.protocol_line};
    case backend::ChoiceSource::none:
      break;
  }
  report.line("No backend: Quillbridge shows its message that no backend was found (the one");
  report.line("ending in \"descript.txt...\") and its load fails.");
  return std::nullopt;
}

// Whether `name` is Quillbridge's own file name (on any system), which a
// host loads already when it reads the folder.
bool is_quillbridge_name(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return same_ignoring_case(name.substr(0, dot), "Quillbridge") ||
         same_ignoring_case(name.substr(0, dot), "libQuillbridge");
}

// For a file that lacks load, request or unload: names the entry points it
// has of another module interface, which no settings change can mend. Such
// a module names its entries after itself ("aosora_load" in aosora.dll or
// libaosora.so), or after "multi" when it serves several; some make an
// instance first.
void name_other_interface(platform::module_handle module, const std::string& file_name,
                          const Report& report) {
  std::string stem = file_name.substr(0, file_name.rfind('.'));
  if (stem.compare(0, 3, "lib") == 0) stem.erase(0, 3);
  std::vector<std::string> names;
  for (const std::string& prefix : {stem, std::string("multi")})
    for (const char* suffix : {"_load", "_request", "_unload"}) names.push_back(prefix + suffix);
  names.insert(names.end(), {"so_create", "so_request"});
  std::string found;
  for (const std::string& name : names)
    if (platform::find_entry(module, name.c_str()) != nullptr)
      found += (found.empty() ? "" : ", ") + report.bytes(name);
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
class BindingNarrator final : public host_child::BindingSteps {
 public:
  BindingNarrator(const std::string& folder, const std::string& name, const Report& report)
      : folder_(folder), name_(name), report_(report) {}

  void refused_as_loaded(const std::string&) override {
    report_.line("It is loaded in this process already.");
    explain_refusal(report_);
  }

  void module_loaded(const std::string& path, platform::module_handle module,
                     const std::string& loader_reason) override {
    BindingSteps::module_loaded(path, module, loader_reason);
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
    // The loader's own words, beside the usual causes listed above.
    if (!loader_reason.empty()) report_.line("The system's loader says: " + report_.bytes(loader_reason));
  }

  void entries_found(platform::module_handle module, bool load, bool request,
                     bool unload) override {
    BindingSteps::entries_found(module, load, request, unload);
    const std::string missing = host_child::missing_entries(load, request, unload);
    if (missing.empty()) {
      report_.line("It exports load, request and unload.");
      return;
    }
    report_.line("It does not export" + missing + ", so it is no backend: Quillbridge shows");
    report_.line("\"<path>: load, unload, request...\" (see the readme's messages).");
    name_other_interface(module, name_, report_);
  }

  void load_returned(platform::module_bool result) override {
    BindingSteps::load_returned(result);
    report_.line("load(" + report_.quoted(folder_) + ") returned " + std::to_string(result) + ".");
    if (result != 0) return;
    report_.line("The backend refused to start: Quillbridge shows \"<path>: load()...FALSE...\".");
    report_.line("Look for the backend's own dictionary and settings files in the folder,");
    report_.line("and at the backend's own log or messages.");
  }

 private:
  const std::string& folder_;
  const std::string& name_;
  const Report& report_;
};

// Binds the backend through the module's own bind_backend, saying what each
// step gives. The check runs in a process of its own, where the module
// would not find itself loaded, so it first looks at the file's name.
bool bind_explained(backend::BackendModule& backend, const std::string& folder,
                    const std::string& name, const Report& report) {
  const std::string path = folder + name;
  report.heading("Binding " + report.bytes(path));
  if (is_quillbridge_name(name)) {
    report.line("It is Quillbridge itself, which cannot be its own backend.");
    explain_refusal(report);
    return false;
  }
  BindingNarrator narrator(folder, name, report);
  host_child::step(host_child::call_module_load);
  const bool bound = backend::bind_backend(backend, folder, name, &narrator);
  host_child::step("");
  return bound;
}

// Says how the backend is asked, and each exchange of the module's
// ask_sentence as it happens: the request, the reply, and why a second
// request follows the first.
class ExchangeNarrator final : public backend::ExchangeObserver {
 public:
  ExchangeNarrator(const Chosen& chosen, const Report& report) : report_(report) {
    asking.set_by_line = !chosen.protocol_line.empty();
    if (asking.set_by_line) {
      report.line("It is asked in the " + form_name(chosen.choice.protocol) + " form only, as " +
                  chosen.protocol_line + " says.");
      return;
    }
    report.line("It is asked in the SHIORI/2.5 form (GET Sentence, with Event); a 400 answer");
    report.line("brings the same request in the SHIORI/3.0 form (GET, with ID), which then stays");
    report.line("for this load. A \"shiori.protocol\" settings line fixes the form instead.");
  }

  void sending(std::string_view request, backend::Protocol form) override {
    asking.retried = sent_++ > 0;
    asking.form = form;
    if (asking.retried) {
      report_.line("The backend answered the SHIORI/2.5 request with 400 Bad Request, so");
      report_.line("Quillbridge sends it again in the SHIORI/3.0 form:");
    }
    report_.block(("request in the " + form_name(form) + " form").c_str(), std::string(request));
    host_child::step(host_child::call_request);
  }

  void replied(std::string_view reply) override {
    host_child::step("");
    report_.block("reply", std::string(reply));
  }

  Asking asking;

 private:
  static std::string form_name(backend::Protocol form) {
    return form == backend::Protocol::shiori_3_0 ? "SHIORI/3.0" : "SHIORI/2.5";
  }

  const Report& report_;
  int sent_ = 0;
};

}  // namespace

std::string file_head(const std::string& path, std::size_t size) {
  std::string head(size, '\0');
  platform::file_handle file = platform::open_file(path);
  const long got = file != nullptr ? platform::read_file(file, head.data(), size) : 0;
  if (file != nullptr) platform::close_file(file);
  head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return head;
}

int check_steps(const std::string& folder, const std::vector<std::string>& arguments,
                host_display::Charset charset, std::FILE* out) {
  const Report report(charset, out);
  const std::optional<Chosen> chosen = explain_discovery(folder, report);
  if (!chosen) return exit_no_backend;
  backend::BackendModule backend;
  if (!bind_explained(backend, folder, chosen->choice.name, report)) return exit_no_backend;
  backend.protocol = chosen->choice.protocol;  // as the module's find_backend sets it
  int status = exit_sentence;
  if (arguments.empty()) {
    report.line("Give an EVENT after the folder to send the backend a request.");
  } else {
    // The host's request as this tool sends it in its other modes, read and
    // answered by the module's own routines, so that what is shown is what
    // Quillbridge sends, byte for byte.
    report.heading("Asking the backend as Quillbridge does");
    ExchangeNarrator narrator(*chosen, report);
    const std::string host_text = host_request::plugin_request(arguments);
    long length = 0;
    platform::block_handle block = platform::give_block(host_text, &length);
    platform::ReceivedBlock host_request(block, length);
    const backend::ArgumentList list = plugin::decode_plugin_request(host_request.text());
    const backend::SentenceReply reply =
        backend::ask_sentence(backend, list, host_request, &narrator);
    const bool answered = explain_reply(std::string(reply.block.text()), narrator.asking, report);
    status = answered ? exit_sentence : exit_no_sentence;
  }
  host_child::release(backend);
  return status;
}

int check_result(const host_child::ChildOutcome& outcome, int timeout_seconds) {
  if (!outcome.module_ended()) return outcome.exit_code;
  const Report said(host_display::Charset::escaped);  // says nothing read from a file
  const std::string call = outcome.call.empty() ? "no call into the backend" : outcome.call;
  if (outcome.timed_out) {
    said.heading("The backend did not return");
    said.line("It was still in " + call + " after " + std::to_string(timeout_seconds) +
              " s, so the check stopped it");
    said.line("(--timeout changes the limit). A host would hang there.");
  } else if (outcome.crashed) {
    said.heading("The backend crashed");
    said.line("Its process ended with " + outcome.cause + " in " + call + ".");
    said.line("A host loading Quillbridge with this folder would crash the same way.");
  } else {
    said.heading("The backend ended the process");
    said.line("It ended the process with exit code " + std::to_string(outcome.exit_code) + " in " +
              call + ".");
    said.line("A host loading Quillbridge with this folder would end the same way.");
  }
  return host_child::exit_module_died;
}

}  // namespace host_check
