// POSIX stand-ins for the Windows calls: malloc/free blocks, dlopen modules,
// standard error for message boxes, open/read/close for files. Written for
// glibc on Linux, not for POSIX at large: the exit clean-ups rely on glibc's
// __cxa_finalize taking any key, and RTLD_NOLOAD is an extension.
#include "platform/platform.h"

#if defined(QB_TEST_HOOKS)
#include "platform/test_hooks.h"
#endif

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

// There is no ANSI code page here; the Shift_JIS set matches the texts the
// module declares on both sides. Constant-initialised, so it is in force
// before any export can run.
constexpr LeadByteSet make_cp932_lead_bytes() {
  LeadByteSet set{};
  for (int b = 0x81; b <= 0x9F; ++b) set.lead[b] = true;
  for (int b = 0xE0; b <= 0xFC; ++b) set.lead[b] = true;
  return set;
}
constexpr LeadByteSet cp932_lead_bytes = make_cp932_lead_bytes();

#if defined(QB_TEST_HOOKS)
constexpr LeadByteSet single_byte_lead_bytes{};
const LeadByteSet* active_lead_bytes = &cp932_lead_bytes;

struct FaultPlan {
  long calls[fault_injection::call_kinds] = {};
  int armed_kind = -1;
  long armed_call = 0;
  std::size_t read_limit = 0;
};
FaultPlan fault_plan;

// Counts one call of `kind`; true when the test wants this one to fail.
bool injected_failure(fault_injection::Call kind) {
  const int index = static_cast<int>(kind);
  const long number = ++fault_plan.calls[index];
  return fault_plan.armed_kind == index && fault_plan.armed_call == number;
}
#define QB_INJECTED_FAILURE(kind) injected_failure(fault_injection::Call::kind)
#else
#define QB_INJECTED_FAILURE(kind) false
#endif

// dlopen searches the library path for a bare name; a module file is
// always meant relative to the current directory, as the file probe sees it.
std::string module_file(const std::string& path) {
  std::string file = path.c_str();
  if (!file.empty() && file.find('/') == std::string::npos) file = "./" + file;
  return file;
}

// Only a regular file may be opened: a FIFO would block the open (or the
// reads) forever and a device such as /dev/zero never ends.
bool is_regular_file(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

#if defined(QB_TEST_HOOKS)
void use_lead_byte_rule(LeadByteRule rule) {
  active_lead_bytes =
      rule == LeadByteRule::code_page_932 ? &cp932_lead_bytes : &single_byte_lead_bytes;
}

namespace fault_injection {

void reset() { fault_plan = FaultPlan{}; }

void fail_nth(Call kind, long nth) {
  fault_plan.armed_kind = static_cast<int>(kind);
  fault_plan.armed_call = fault_plan.calls[static_cast<int>(kind)] + nth;
}

long calls_made(Call kind) { return fault_plan.calls[static_cast<int>(kind)]; }

void shorten_reads(std::size_t bytes) { fault_plan.read_limit = bytes; }

}  // namespace fault_injection

const LeadByteSet& lead_bytes() { return *active_lead_bytes; }
#else
const LeadByteSet& lead_bytes() { return cp932_lead_bytes; }
#endif

block_handle allocate_block(const char* bytes, std::size_t size) {
  if (QB_INJECTED_FAILURE(block_allocation)) return nullptr;
  // malloc(0) may return null; a block must always be a real, freeable one.
  char* block = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  if (block != nullptr && bytes != nullptr && size != 0) std::memcpy(block, bytes, size);
  return block;
}

char* block_bytes(block_handle block) { return block; }

void free_block(block_handle block) { std::free(block); }

module_handle load_module(const std::string& path, std::string* reason) {
  if (QB_INJECTED_FAILURE(module_load)) return nullptr;
  const std::string file = module_file(path);
  if (file.empty()) {
    if (reason != nullptr) *reason = "no file name";
    return nullptr;
  }
  // Lazy binding, as the hosts of these modules use: a backend built with a
  // function left undefined that it never calls loads there, so it must
  // load here too. Local, so that two backends never mix their symbols.
  module_handle module = dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (module == nullptr && reason != nullptr) {
    const char* said = dlerror();
    *reason = said != nullptr ? said : "the loader gave no reason";
  }
  return module;
}

bool module_is_loaded(const std::string& path) {
  const std::string file = module_file(path);
  // The loader opens the file to compare it with what is loaded; a pipe
  // must not get that far.
  if (file.empty() || !is_regular_file(file.c_str())) return false;
  void* handle = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);  // gives back the reference RTLD_NOLOAD took
  return true;
}

namespace {

// Clean-ups are filed under a key of their own rather than under this
// module's handle (__dso_handle), so that they can be run and their room in
// the C library's exit list given back without running the module's static
// destructors too. Any address in this module's code will do: no module's
// handle can share it.
void* exit_cleanup_key() { return reinterpret_cast<void*>(&run_exit_cleanups); }

}  // namespace

void add_exit_cleanup(void (*cleanup)(void* context), void* context) {
  abi::__cxa_atexit(cleanup, context, exit_cleanup_key());
}

void run_exit_cleanups() {
  // Marks each entry free as it runs it; freed entries at the end of the
  // list are what the next registration takes, so a load that follows
  // reuses the room instead of adding to it.
  abi::__cxa_finalize(exit_cleanup_key());
}

namespace {

// dlclose runs only the clean-ups filed under the module's own handle; the
// ones filed under the key above must run now too, while the module (and
// the record they use, whose destructor runs after this) is still whole,
// and must not be left behind pointing into unmapped code.
__attribute__((destructor)) void run_exit_cleanups_at_unload() { run_exit_cleanups(); }

}  // namespace

void* find_entry(module_handle module, const char* name) {
  if (module == nullptr) return nullptr;
  if (QB_INJECTED_FAILURE(entry_lookup)) return nullptr;
  return dlsym(module, name);
}

void free_module(module_handle module) {
  if (module != nullptr) dlclose(module);
}

void show_error(const std::string& text) {
  // A message box shows its text up to the first NUL; so does this line.
  std::fprintf(stderr, "error - Quillbridge.dll: %s\n", text.c_str());
  std::fflush(stderr);
}

file_handle open_file(const std::string& path) {
  if (path.empty()) return nullptr;
  if (QB_INJECTED_FAILURE(file_open)) return nullptr;
  // Checked before opening, since opening some devices already acts; then
  // opened without waiting and checked again, in case the file was swapped.
  if (!is_regular_file(path.c_str())) return nullptr;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return reinterpret_cast<file_handle>(static_cast<std::intptr_t>(fd) + 1);
}

bool process_is_exiting() { return false; }

long read_file(file_handle file, char* buffer, std::size_t capacity) {
  if (QB_INJECTED_FAILURE(file_read)) return -1;
  int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(file) - 1);
#if defined(QB_TEST_HOOKS)
  if (fault_plan.read_limit != 0 && capacity > fault_plan.read_limit)
    capacity = fault_plan.read_limit;
#endif
  for (;;) {
    ssize_t got = ::read(fd, buffer, capacity);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return -1;
  }
}

void close_file(file_handle file) {
  if (file == nullptr) return;
  ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(file) - 1));
}

}  // namespace platform
