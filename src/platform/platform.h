// Everything the module needs from the operating system, as plain functions.
// platform_posix.cpp and platform_win.cpp implement this header; nothing
// else in the module includes a system header or tests _WIN32. The host
// tool's further needs live in its own platform folder, so that none of
// them is linked into the module.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

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

// A new block of exactly `size` bytes for the caller to fill and hand over;
// null when no block can be had or its size does not fit a byte count.
inline block_handle new_block(std::size_t size) noexcept {
  if (size > static_cast<std::size_t>(std::numeric_limits<long>::max())) return nullptr;
  return allocate_block(nullptr, size);
}

// Puts `text` into a new block for the other side, storing its byte count
// through `length`. When no block can be had, stores 0 and returns null.
inline block_handle give_block(std::string_view text, long* length) noexcept {
  const bool fits = text.size() <= static_cast<std::size_t>(std::numeric_limits<long>::max());
  block_handle block = fits ? allocate_block(text.data(), text.size()) : nullptr;
  *length = block != nullptr ? static_cast<long>(text.size()) : 0;
  return block;
}

// A received block read where it lies: its first `length` bytes are the
// text (a negative length reads as 0, a null block as empty text). A block
// belongs to whoever received it last; this frees it by release() or, at
// the latest, when it goes.
class ReceivedBlock {
 public:
  ReceivedBlock() = default;
  ReceivedBlock(block_handle block, long length) noexcept : block_(block) {
    const char* bytes = block_bytes(block);
    if (bytes != nullptr && length > 0) text_ = {bytes, static_cast<std::size_t>(length)};
  }
  ReceivedBlock(ReceivedBlock&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)), text_(std::exchange(other.text_, {})) {}
  ReceivedBlock& operator=(ReceivedBlock&& other) noexcept {
    if (this != &other) {
      release();
      block_ = std::exchange(other.block_, nullptr);
      text_ = std::exchange(other.text_, {});
    }
    return *this;
  }
  ~ReceivedBlock() { release(); }

  std::string_view text() const { return text_; }
  // Frees the block now; nothing may read the text afterwards.
  void release() noexcept {
    if (block_ == nullptr) return;
    free_block(block_);
    block_ = nullptr;
    text_ = {};
  }

 private:
  block_handle block_ = nullptr;
  std::string_view text_;
};

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
}  // namespace platform
