// What the host tool needs from the operating system beyond what the module
// needs (platform/platform.h): host_platform_posix.cpp and
// host_platform_win.cpp implement it. Only the tool links these, so none of
// it ends up in the module.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

// `path` with a directory separator at its end, the system's own one added
// when it has none; an empty path stays empty. A trailing 0x5C that ends a
// two-byte character is no separator.
std::string as_directory(const std::string& path);

// `special` is a pipe, socket or device, which loading would wait on forever
// or misread; `other` is an ordinary file.
enum class FileKind { missing, directory, special, other };
// What lies at a byte-string path, judged the way module loading sees it.
FileKind file_kind(const std::string& path);

// True where the console shows the system's own multibyte text as it is and
// program arguments arrive in it (Windows: the ANSI code page), so that
// Shift_JIS texts need no conversion; false where terminals speak UTF-8.
bool console_speaks_ansi_text();

enum class StandardStream { output, error };
// True when `stream` is a terminal and the user's locale has UTF-8 as its
// character set, so that text for it is best shown converted to UTF-8.
// Always false on Windows, where the console speaks the ANSI code page.
bool is_utf8_terminal(StandardStream stream);

// The names that a loaded module exports, in its export table's order;
// empty when there are none or they cannot be read.
std::vector<std::string> exported_names(module_handle module);

// Lets standard input and output pass bytes unchanged (Windows would turn LF
// into CR LF and stop reading at byte 0x1A).
void use_binary_standard_streams();

// From now on keeps what anything in this process writes to standard error
// (loaded modules show their messages there on POSIX) instead of showing it,
// so that it can be shown converted. False where that cannot be done; then
// standard error stays as it was.
bool hold_standard_error();
// The bytes written to standard error since it was held or last taken.
std::string take_held_standard_error();
// Writes to standard error as it was before it was held.
void write_unheld_standard_error(const std::string& text);

// A child process that runs part of this program, so that a module that
// crashes or hangs there ends the child, not the program. What the child
// writes to standard output and standard error comes back through pipes.
struct ChildProcess;

// Starts a child that runs `child_main` with `arguments` (the words after the
// program's name). POSIX forks, and the child calls child_main and exits with
// what it returns; Windows starts this program's own file again with the
// same words, so main must recognise them and call child_main itself. Null
// when no child can be started.
ChildProcess* start_child(const std::vector<std::string>& arguments,
                          int (*child_main)(int argc, char** argv));

// Waits at most `milliseconds` for the child to write or end, and appends
// what it wrote since the last call to `output` and `error`. True while it
// runs; false once it has ended and everything it wrote has been taken.
bool follow_child(ChildProcess& child, int milliseconds, std::string& output, std::string& error);

// How a child ended: its exit code, or, when it crashed, what ended it in
// the system's words, such as "signal 11 (SIGSEGV)" or "exception
// 0xC0000005 (access violation)".
struct ChildEnd {
  bool crashed = false;
  int exit_code = 0;
  std::string cause;
};
// Stops the child at once if it still runs, waits for it, and frees the record.
ChildEnd end_child(ChildProcess* child);

// For a child, before it loads anything: returns a stream of its own on
// standard output, and sends whatever else writes to standard output (a
// loaded module) to standard error from then on. On Windows a crash then
// ends the child at once, without the system's crash dialog.
std::FILE* take_standard_output();

}  // namespace platform
