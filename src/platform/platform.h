// Everything the module needs from the operating system, as plain functions.
// platform_posix.cpp and platform_win.cpp implement this header; nothing
// outside src/platform/ includes a system header or tests _WIN32.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#define QB_CDECL __cdecl
#define QB_EXPORT  // the export list lives in the .def file
#else
#define QB_CDECL
#define QB_EXPORT __attribute__((visibility("default")))
#endif

namespace platform {

// A handoff block: fixed memory that carries text across a module boundary
// with its byte count beside it. The handle is the address of the bytes
// (GMEM_FIXED on Windows, malloc on POSIX).
#if defined(_WIN32)
using block_handle = void*;  // HGLOBAL
#else
using block_handle = char*;
#endif

// The truth value the exports return (BOOL on Windows, int elsewhere).
using module_bool = int;

// The three entry points of a module of our shape, as the backend exports them.
using entry_load = module_bool(QB_CDECL*)(block_handle block, long length);
using entry_request = block_handle(QB_CDECL*)(block_handle block, long* length);
using entry_unload = module_bool(QB_CDECL*)();

// Returns a block of `size` bytes holding a copy of `bytes` (left for the
// caller to fill when `bytes` is null), or null when memory cannot be had.
// A size of 0 still yields a real, freeable block.
block_handle allocate_block(const char* bytes, std::size_t size);
// The bytes of a block; null for a null block.
char* block_bytes(block_handle block);
// Frees a block; a null block is ignored.
void free_block(block_handle block);

using module_handle = void*;
// Loads a module file by its byte-string path; null on failure. On POSIX a
// function the module names is bound when it is first called, as the hosts
// of such modules load them, so a module that names a function it never
// calls still loads. On failure, `reason` (when given) receives the system
// loader's own words for why (POSIX: dlerror; Windows: the error code and
// its system text).
module_handle load_module(const std::string& path, std::string* reason = nullptr);
// Looks up an exported entry point by name; null when absent.
void* find_entry(module_handle module, const char* name);
void free_module(module_handle module);

// Whether the module file at `path` is mapped into this process already,
// found without loading or running anything: not at all, as some other
// module (another copy of the host's engine, say), or as this very module.
// The file is recognised by the loader's own rules, so a second path to it
// counts too (a symbolic link on POSIX).
enum class Residence { not_loaded, loaded, this_module };
Residence module_residence(const std::string& path);

// Arranges for `cleanup(context)` to run when the process exits or this
// module is unloaded, whichever comes first, before every clean-up that was
// registered earlier (the backend's own static destructors among them).
// POSIX only: on Windows this does nothing, since a backend must not be
// called at process exit there and the record's destructor covers
// FreeLibrary.
void add_exit_cleanup(void (*cleanup)(void* context), void* context);
// Runs now the clean-ups filed above that have not run yet, and gives back
// the room they took, so that filing one per load costs nothing lasting.
// Nothing on Windows.
void run_exit_cleanups();

// `path` with a directory separator at its end, the system's own one added
// when it has none; an empty path stays empty. A trailing 0x5C that ends a
// two-byte character is no separator.
std::string as_directory(const std::string& path);

// Shows `text` to the user in a system-modal box with the module's caption
// and returns once the user has closed it.
void show_error(const std::string& text);

// The bytes that start a two-byte character in the system's ANSI code page.
// Filled once when the module is attached; scanners fetch the table once per
// call and then index it per byte.
struct LeadByteSet {
  bool lead[256];
};
const LeadByteSet& lead_bytes();

// True while the process itself is ending and unloading this module (not the
// host freeing it). Modules loaded after this one may be gone by then, so
// the backend must not be called or freed. Always false on POSIX.
bool process_is_exiting();

// Read-only access to an existing file, never denying others read or write.
using file_handle = void*;
// Null when the path cannot be opened for reading. Only regular files open:
// a directory, pipe or device reads as absent, and opening never blocks.
file_handle open_file(const std::string& path);
// Reads up to `capacity` bytes; returns the count read, 0 at the end of the
// file, or -1 on a read error.
long read_file(file_handle file, char* buffer, std::size_t capacity);
void close_file(file_handle file);

// What a program that hosts modules (the host tool) needs besides the above.
// The module itself never calls these.

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
