// quillbridge-host --check: for a folder whose results come back empty.
// Walks through what the module does with the folder, using the module's
// own routines, and says at each step what happened and why: which backend
// file is chosen, whether it binds, the exact request it is sent, its raw
// reply, and which header became the Sentence or why none did.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "quillbridge-host/module_child.h"
#include "quillbridge-host/text_display.h"

namespace host_check {

// Exit codes of the check, kept stable for scripts and the readmes; 2 is a
// usage error, 4 host_child::exit_module_died.
inline constexpr int exit_sentence = 0;    // a Sentence came back
inline constexpr int exit_no_backend = 1;  // no backend found, or binding failed
inline constexpr int exit_no_sentence = 3; // the backend answered without a Sentence

// The check's steps on `folder` (with a separator at its end), reported on
// `out` with Shift_JIS shown as `charset` says: discovery, binding and,
// given `arguments` (EVENT, REFERENCE...), one request; the backend is
// released before it returns. Runs in the child; returns the exit code.
int check_steps(const std::string& folder, const std::vector<std::string>& arguments,
                host_display::Charset charset, std::FILE* out);

// The exit code once the child has ended, after saying how the backend
// ended it when it did not return (it crashed, ended the process or hung).
int check_result(const host_child::ChildOutcome& outcome, int timeout_seconds);

}  // namespace host_check
