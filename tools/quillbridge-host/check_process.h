// The process that quillbridge-host --check watches: the steps that call
// into the backend run in a child, so that a backend that crashes or hangs
// ends the child, and the check can still say where it happened.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quillbridge-host/text_display.h"

namespace host_check {

// Starts `child_main` with `arguments` in a child process and relays what it
// writes as it comes: its report on standard output, without its step
// lines, and what else it writes (the backend's messages) on standard error,
// converted as `message_charset` says. When the child crashes, or a call into the
// backend takes longer than `timeout_seconds` (0: no limit), says in which
// call and returns exit_backend_died; otherwise returns the child's exit
// code. Nothing when no child could be started.
std::optional<int> watch_check(const std::vector<std::string>& arguments,
                               int (*child_main)(int argc, char** argv),
                               host_display::Charset message_charset, int timeout_seconds);

}  // namespace host_check
