// quillbridge-host --check: for a folder whose results come back empty.
// Walks through what the module does with the folder, using the module's
// own routines, and says at each step what happened and why: which backend
// file is chosen, whether it binds, the exact request it is sent, its raw
// reply, and which header became the Sentence or why none did.
#pragma once

#include <cstdio>

#include "quillbridge-host/host_options.h"
#include "quillbridge-host/module_child.h"

namespace host_check {

// Exit codes of the check, kept stable for scripts and the readmes; 2 and
// 4 are host_options' exit_usage and exit_module_died.
inline constexpr int exit_sentence = 0;    // a Sentence came back
inline constexpr int exit_no_backend = 1;  // no backend found, or binding failed
inline constexpr int exit_no_sentence = 3; // the backend answered without a Sentence

// The check's steps on `options.folder`, reported on `out`: discovery,
// binding and, given arguments, one request; the backend is released
// before it returns. Runs in the child; returns the exit code.
int check_steps(const host_options::Options& options, std::FILE* out);

// The exit code once the child has ended, after saying how the backend
// ended it when it did not return (it crashed, ended the process or hung).
int check_result(const host_child::ChildOutcome& outcome, int timeout_seconds);

}  // namespace host_check
