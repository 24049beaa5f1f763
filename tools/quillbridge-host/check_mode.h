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
inline constexpr int exit_backend_died = 4; // the backend crashed or did not return in time

// True when the command line asks for the check (a "--check" among the
// options before the first other word); main then hands the whole command
// line to run_check.
bool is_check_command(int argc, char** argv);

// Runs `quillbridge-host [--sjis] [--timeout SECONDS] --check FOLDER [EVENT
// [REFERENCE...]]` and returns the exit code. The steps that call into the
// backend run in a child process, started with a word of its own first.
int run_check(int argc, char** argv);

// True for the command line of that child; main then hands it to
// run_check_child, which runs the steps and tells run_check each call into
// the backend as it begins.
bool is_check_child_command(int argc, char** argv);
int run_check_child(int argc, char** argv);

}  // namespace host_check
