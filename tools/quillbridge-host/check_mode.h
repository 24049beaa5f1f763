// quillbridge-host --check: for a folder whose results come back empty.
// Walks through what the module does with the folder, using the module's
// own routines, and says at each step what happened and why: which backend
// file is chosen, whether it binds, the exact request it is sent, its raw
// reply, and which header became the Sentence or why none did.
#pragma once

namespace host_check {

// Exit codes of the check, kept stable for scripts and the readmes.
inline constexpr int exit_sentence = 0;    // a Sentence came back
inline constexpr int exit_no_backend = 1;  // no backend found, or binding failed
inline constexpr int exit_usage = 2;       // usage error
inline constexpr int exit_no_sentence = 3; // the backend answered without a Sentence

// True when the command line asks for the check (a "--check" among the
// options before the first other word); main then hands the whole command
// line to run_check.
bool is_check_command(int argc, char** argv);

// Runs `quillbridge-host [--sjis] --check FOLDER [EVENT [REFERENCE...]]`
// and returns the exit code.
int run_check(int argc, char** argv);

}  // namespace host_check
