#include "quillbridge-host/module_child.h"

#include <chrono>
#include <cstdio>

#include "platform/platform.h"
#include "quillbridge-host/platform/host_platform.h"

namespace host_child {
namespace {

using Clock = std::chrono::steady_clock;

// How long the watcher waits for the child before it looks at the clock.
constexpr int poll_milliseconds = 50;

// The first byte of a told line: a step, or a message of the tool's own,
// which travels here lest it be taken for the module's Shift_JIS.
constexpr char step_line = 'S';
constexpr char message_line = 'M';

void write_error(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void step(const char* call) { host_system::tell_parent(step_line + std::string(call)); }

void BindingSteps::module_loaded(const std::string&, platform::module_handle, const std::string&) {
  step("");
}

void BindingSteps::entries_found(platform::module_handle, bool load, bool request, bool unload) {
  step(load && request && unload ? call_load : call_release);
}

void BindingSteps::load_returned(platform::module_bool result) {
  step(result != 0 ? "" : call_release);
}

std::string missing_entries(bool load, bool request, bool unload) {
  return std::string(load ? "" : " load") + (request ? "" : " request") + (unload ? "" : " unload");
}

std::string send_request(const backend::BackendModule& module, const std::string& request) {
  long length = 0;
  platform::block_handle block = platform::give_block(request, &length);
  if (block == nullptr) return {};
  step(call_request);
  platform::ReceivedBlock reply = backend::forward_request(module, block, request.size());
  step("");
  return std::string(reply.text());
}

void release(backend::BackendModule& module) {
  step(call_release);
  backend::release_backend(module);
  step("");
}

void say(const std::string& text) {
  if (!host_system::tell_parent(message_line + text)) write_error("quillbridge-host: " + text + "\n");
}

std::optional<ChildOutcome> run_in_child(const std::function<int()>& child_main,
                                         host_display::Charset message_charset,
                                         int timeout_seconds) {
  host_system::ChildProcess* child = host_system::start_child(child_main);
  if (child == nullptr) return std::nullopt;
  // What the child writes to standard error is converted as it comes; a
  // character cut between two reads waits for its second byte.
  const bool convert = message_charset == host_display::Charset::shift_jis_as_utf8;
  const auto relay = [&](std::string& bytes, std::size_t size) {
    if (size > 0)
      write_error(convert ? host_display::utf8_from_shift_jis(bytes.substr(0, size))
                          : bytes.substr(0, size));
    bytes.erase(0, size);
  };
  ChildOutcome outcome;
  Clock::time_point call_started;
  std::string error, told;
  for (bool running = true; running;) {
    running = host_system::follow_child(*child, poll_milliseconds, error, told);
    relay(error, convert ? host_display::whole_characters(error) : error.size());
    std::size_t start = 0;
    for (std::size_t lf; (lf = told.find('\n', start)) != std::string::npos; start = lf + 1) {
      const std::string line = told.substr(start + 1, lf - start - 1);
      if (told[start] == message_line) {
        write_error("quillbridge-host: " + line + "\n");
      } else {
        outcome.call = line;
        call_started = Clock::now();
      }
    }
    told.erase(0, start);
    if (running && timeout_seconds > 0 && !outcome.call.empty() &&
        Clock::now() - call_started >= std::chrono::seconds(timeout_seconds)) {
      outcome.timed_out = true;
      break;
    }
  }
  const host_system::ChildEnd end = host_system::end_child(child);
  relay(error, error.size());
  outcome.exit_code = end.exit_code;
  outcome.crashed = end.crashed && !outcome.timed_out;
  outcome.cause = end.cause;
  return outcome;
}

}  // namespace host_child
