// The child process in which quillbridge-host runs a module, in every mode:
// a module that crashes, exits or hangs ends the child, and the tool says
// in which call.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "backend/backend_module.h"
#include "quillbridge-host/text_display.h"

namespace host_child {

// The calls into a module that the watching process names when the module
// crashes or hangs in one of them.
inline constexpr char call_module_load[] = "loading its file (its start-up code runs then)";
inline constexpr char call_load[] = "its load";
inline constexpr char call_request[] = "its request";
inline constexpr char call_release[] = "its unload, or freeing its file (its clean-up runs then)";

// The exit code of every mode when the module crashed, ended the process
// or did not return.
inline constexpr int exit_module_died = 4;

// Tells the watching process that a call into the module begins (`call`
// names it), or has returned (empty).
void step(const char* call);

// Tells each call into the module that binding makes; narrators build on it.
class BindingSteps : public backend::BindingObserver {
 public:
  void module_loaded(const std::string&, platform::module_handle, const std::string&) override;
  void entries_found(platform::module_handle, bool load, bool request, bool unload) override;
  void load_returned(platform::module_bool result) override;
};

// " load request unload", or those of them that are missing.
std::string missing_entries(bool load, bool request, bool unload);

// Sends the bound module `request` as a host does, and returns its reply.
std::string send_request(const backend::BackendModule& module, const std::string& request);

// Releases the module (its unload, then freeing its file).
void release(backend::BackendModule& module);

// The tool's own message on standard error, "quillbridge-host: TEXT"; sent
// through the parent from a child, after what the module wrote before it.
void say(const std::string& text);

// How the child ended: the call into the module under way (empty between
// calls), and whether it crashed or was stopped there.
struct ChildOutcome {
  int exit_code = 0;
  bool crashed = false;
  bool timed_out = false;
  std::string cause;  // the system's words for a crash
  std::string call;
  // False when the child returned as the tool does after its last call.
  bool module_ended() const { return crashed || timed_out || !call.empty(); }
};

// Runs `child_main` in a child process (host_system::start_child), passing
// on its standard error as it comes, converted as `message_charset` says,
// and the tool's messages it sends. A call into the module that takes
// longer than `timeout_seconds` (0: no limit) stops the child. Nothing
// when no child could be started.
std::optional<ChildOutcome> run_in_child(const std::function<int()>& child_main,
                                         host_display::Charset message_charset,
                                         int timeout_seconds);

}  // namespace host_child
