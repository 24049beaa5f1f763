// What the host tool needs from the operating system beyond what the module
// needs (platform/platform.h), implemented for POSIX and Windows; only the
// tool links it.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace host_system {

// `path` with a directory separator at its end, the system's own one added
// when it has none; an empty path stays empty. A trailing 0x5C that ends a
// two-byte character is no separator.
std::string as_directory(const std::string& path);

// What lies at a byte-string path, judged the way module loading sees it;
// `special` is a pipe, socket or device, which loading would wait on forever.
enum class FileKind { missing, directory, special, regular_file };
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

// Lets standard input and output pass bytes unchanged (Windows would turn LF
// into CR LF and stop reading at byte 0x1A).
void use_binary_standard_streams();

// A child process that runs the module, so that a module that crashes or
// hangs ends the child, not the program. It shares this program's standard
// input and output; what it writes to standard error comes back through a
// pipe, and it tells its parent lines of its own through another.
struct ChildProcess;

// Starts a child that runs `child_main` and leaves with what it returns.
// POSIX forks, and the child calls child_main; Windows starts this program
// again with its own command line and a marker, and main hands that to
// started_as_child. The child ends with this process, however this one
// ends. Null when no child can be started.
ChildProcess* start_child(const std::function<int()>& child_main);

// True in a child started so; takes the marker off `argc` and `argv`.
bool started_as_child(int& argc, char**& argv);

// For a child, before it loads anything: a stream of its own on standard
// output, which whatever else writes there (a module) leaves for standard
// error. On Windows a crash then ends it without the system's dialog.
std::FILE* take_standard_output();

// In a child: sends `line` (no LF in it) to the parent; false elsewhere.
bool tell_parent(const std::string& line);

// Ends a child with `status` once its streams are flushed, without running
// the exit-time code of what it loaded: a backend's clean-up may hang, and
// its unload has been called by then.
[[noreturn]] void leave_child(int status);

// Waits at most `milliseconds` for the child to write or end, and appends
// what it wrote to standard error and the lines it told since the last call
// to `error` and `told` (what it wrote before a told line comes with it or
// earlier). True while it runs; false once it has ended and all is taken.
bool follow_child(ChildProcess& child, int milliseconds, std::string& error, std::string& told);

// How a child ended: its exit code, or what crashed it in the system's words
// ("signal 11 (SIGSEGV)", "exception 0xC0000005 (access violation)").
struct ChildEnd {
  bool crashed = false;
  int exit_code = 0;
  std::string cause;
};
// Stops the child at once if it still runs, waits for it, and frees the record.
ChildEnd end_child(ChildProcess* child);

}  // namespace host_system
