#include "quillbridge-host/check_process.h"

#include <chrono>
#include <cstdio>

#include "platform/platform.h"
#include "quillbridge-host/check_mode.h"
#include "quillbridge-host/check_report.h"
#include "quillbridge-host/platform/host_platform.h"

namespace host_check {
namespace {

using Clock = std::chrono::steady_clock;

// How long the watcher waits for the child before it looks at the clock.
constexpr int poll_milliseconds = 50;

// Passes the child's report on, line by line, and keeps the call into the
// backend that its step lines say is under way.
class ReportRelay {
 public:
  // Takes `bytes` (emptied) and writes on every whole line.
  void take(std::string& bytes) {
    pending_ += bytes;
    bytes.clear();
    std::size_t start = 0;
    for (std::size_t lf; (lf = pending_.find('\n', start)) != std::string::npos; start = lf + 1) {
      if (pending_[start] == step_mark) {
        call_.assign(pending_, start + 1, lf - start - 1);
        call_started_ = Clock::now();
      } else {
        std::fwrite(pending_.data() + start, 1, lf + 1 - start, stdout);
      }
    }
    pending_.erase(0, start);
    std::fflush(stdout);
  }
  // Writes what is left of a line the child did not end.
  void finish() {
    std::fwrite(pending_.data(), 1, pending_.size(), stdout);
    std::fflush(stdout);
    pending_.clear();
  }
  // The call under way; empty between calls.
  const std::string& call() const { return call_; }
  Clock::duration call_time() const { return Clock::now() - call_started_; }

 private:
  std::string pending_;
  std::string call_;
  Clock::time_point call_started_;
};

// Passes on what the child writes to standard error, converted as it comes;
// a character cut between two reads waits for its second byte.
class MessageRelay {
 public:
  explicit MessageRelay(host_display::Charset charset) : charset_(charset) {}

  void take(std::string& bytes) {
    pending_ += bytes;
    bytes.clear();
    const std::size_t whole = charset_ == host_display::Charset::shift_jis_as_utf8
                                  ? host_display::whole_characters(pending_)
                                  : pending_.size();
    write(pending_.substr(0, whole));
    pending_.erase(0, whole);
  }
  void finish() {
    write(pending_);
    pending_.clear();
  }

 private:
  void write(const std::string& bytes) const {
    if (bytes.empty()) return;
    const std::string shown = charset_ == host_display::Charset::shift_jis_as_utf8
                                  ? host_display::utf8_from_shift_jis(bytes)
                                  : bytes;
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    std::fflush(stderr);
  }

  host_display::Charset charset_;
  std::string pending_;
};

}  // namespace

std::optional<int> watch_check(const std::vector<std::string>& arguments,
                               int (*child_main)(int argc, char** argv),
                               host_display::Charset message_charset, int timeout_seconds) {
  platform::ChildProcess* child = platform::start_child(arguments, child_main);
  if (child == nullptr) return std::nullopt;
  ReportRelay report;
  MessageRelay messages(message_charset);
  std::string output, error;
  bool timed_out = false;
  for (bool running = true; running;) {
    running = platform::follow_child(*child, poll_milliseconds, output, error);
    messages.take(error);
    report.take(output);
    if (running && timeout_seconds > 0 && !report.call().empty() &&
        report.call_time() >= std::chrono::seconds(timeout_seconds)) {
      timed_out = true;
      break;
    }
  }
  const platform::ChildEnd end = platform::end_child(child);
  messages.finish();
  report.finish();
  if (!timed_out && !end.crashed && report.call().empty()) return end.exit_code;

  const Report said(host_display::Charset::escaped);  // says nothing read from a file
  const std::string call = report.call().empty() ? "no call into the backend" : report.call();
  if (timed_out) {
    said.heading("The backend did not return");
    said.line("It was still in " + call + " after " + std::to_string(timeout_seconds) +
              " s, so the check stopped it");
    said.line("(--timeout changes the limit). A host would hang there.");
  } else if (end.crashed) {
    said.heading("The backend crashed");
    said.line("Its process ended with " + end.cause + " in " + call + ".");
    said.line("A host loading Quillbridge with this folder would crash the same way.");
  } else {
    said.heading("The backend ended the process");
    said.line("It called exit (code " + std::to_string(end.exit_code) + ") in " + call + ".");
    said.line("A host loading Quillbridge with this folder would end the same way.");
  }
  return exit_backend_died;
}

}  // namespace host_check
