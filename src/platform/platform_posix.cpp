// POSIX stand-ins for the Windows calls: malloc/free blocks, dlopen modules,
// standard error for message boxes, open/read/close for files; and for the
// host tool, a way to hold back what modules write to standard error.
#include "platform/platform.h"

#include "platform/fault_injection.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// From the C runtime's start files: the handle of the module this code is
// linked into, under which exit-time clean-ups are filed.
extern "C" void* __dso_handle;

namespace platform {
namespace {

constexpr LeadByteSet make_lead_bytes(LeadByteRule rule) {
  LeadByteSet set{};
  if (rule == LeadByteRule::code_page_932) {
    for (int b = 0x81; b <= 0x9F; ++b) set.lead[b] = true;
    for (int b = 0xE0; b <= 0xFC; ++b) set.lead[b] = true;
  }
  return set;
}

constexpr LeadByteSet cp932_lead_bytes = make_lead_bytes(LeadByteRule::code_page_932);
constexpr LeadByteSet single_byte_lead_bytes = make_lead_bytes(LeadByteRule::single_byte);

// There is no ANSI code page here; the Shift_JIS set matches the texts the
// module declares on both sides. Constant-initialised, so it is in force
// before any export can run.
const LeadByteSet* active_lead_bytes = &cp932_lead_bytes;

// Test-only call counters (see fault_injection.h); disarmed unless a test asks.
struct FaultPlan {
  long calls[fault_injection::call_kinds] = {};
  int armed_kind = -1;
  long armed_call = 0;
};
FaultPlan fault_plan;

// Counts one call of `kind`; true when the test wants this one to fail.
bool injected_failure(fault_injection::Call kind) {
  const int index = static_cast<int>(kind);
  const long number = ++fault_plan.calls[index];
  return fault_plan.armed_kind == index && fault_plan.armed_call == number;
}

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

namespace fault_injection {

void reset() { fault_plan = FaultPlan{}; }

void fail_nth(Call kind, long nth) {
  fault_plan.armed_kind = static_cast<int>(kind);
  fault_plan.armed_call = fault_plan.calls[static_cast<int>(kind)] + nth;
}

long calls_made(Call kind) { return fault_plan.calls[static_cast<int>(kind)]; }

}  // namespace fault_injection

block_handle allocate_block(const char* bytes, std::size_t size) {
  if (injected_failure(fault_injection::Call::block_allocation)) return nullptr;
  // malloc(0) may return null; a block must always be a real, freeable one.
  char* block = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  if (block != nullptr && bytes != nullptr && size != 0) std::memcpy(block, bytes, size);
  return block;
}

char* block_bytes(block_handle block) { return block; }

void free_block(block_handle block) { std::free(block); }

// malloc keeps no size that a receiver could read back as the text's length.
void shrink_block(block_handle, std::size_t) {}

module_handle load_module(const std::string& path) {
  if (injected_failure(fault_injection::Call::module_load)) return nullptr;
  const std::string file = module_file(path);
  if (file.empty()) return nullptr;
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

Residence module_residence(const std::string& path) {
  const std::string file = module_file(path);
  // The loader opens the file to compare it with what is loaded; a pipe
  // must not get that far.
  if (file.empty() || !is_regular_file(file.c_str())) return Residence::not_loaded;
  void* handle = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return Residence::not_loaded;
  Residence residence = Residence::loaded;
  Dl_info own_info;
  link_map* own_map = nullptr;
  link_map* found_map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&module_residence), &own_info,
              reinterpret_cast<void**>(&own_map), RTLD_DL_LINKMAP) != 0 &&
      dlinfo(handle, RTLD_DI_LINKMAP, &found_map) == 0 && own_map == found_map)
    residence = Residence::this_module;
  dlclose(handle);  // gives back the reference RTLD_NOLOAD took
  return residence;
}

void add_exit_cleanup(void (*cleanup)(void* context), void* context) {
  // Registered under this module's handle, the clean-up runs at exit() or at
  // dlclose of this module, whichever comes first, and never after it is gone.
  abi::__cxa_atexit(cleanup, context, &__dso_handle);
}

void* find_entry(module_handle module, const char* name) {
  if (module == nullptr) return nullptr;
  if (injected_failure(fault_injection::Call::entry_lookup)) return nullptr;
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

const LeadByteSet& lead_bytes() { return *active_lead_bytes; }

void use_lead_byte_rule(LeadByteRule rule) {
  active_lead_bytes =
      rule == LeadByteRule::code_page_932 ? &cp932_lead_bytes : &single_byte_lead_bytes;
}

file_handle open_file(const std::string& path) {
  if (path.empty()) return nullptr;
  if (injected_failure(fault_injection::Call::file_open)) return nullptr;
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
  if (injected_failure(fault_injection::Call::file_read)) return -1;
  int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(file) - 1);
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

std::string as_directory(const std::string& path) {
  return path.empty() || path.back() == '/' ? path : path + '/';
}

FileKind file_kind(const std::string& path) {
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return FileKind::missing;
  return S_ISDIR(info.st_mode) ? FileKind::directory : FileKind::other;
}

bool console_speaks_ansi_text() { return false; }

void use_binary_standard_streams() {}

namespace {
// While standard error is held, fd 2 writes into an unnamed temporary file
// (a file, not a pipe: a module that writes a lot can never block on it)
// and the original standard error waits in `unheld_fd`.
int held_fd = -1;
int unheld_fd = -1;
off_t held_taken = 0;  // how much of the file has been taken already
}  // namespace

bool hold_standard_error() {
  if (held_fd >= 0) return true;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return false;
  std::fflush(stderr);
  const int keep = ::dup(STDERR_FILENO);
  const int held = keep < 0 ? -1 : ::dup(::fileno(file));
  std::fclose(file);
  if (held < 0 || ::dup2(held, STDERR_FILENO) < 0) {
    if (keep >= 0) ::close(keep);
    if (held >= 0) ::close(held);
    return false;
  }
  ::fcntl(keep, F_SETFD, FD_CLOEXEC);
  ::fcntl(held, F_SETFD, FD_CLOEXEC);
  held_fd = held;
  unheld_fd = keep;
  return true;
}

std::string take_held_standard_error() {
  if (held_fd < 0) return {};
  std::fflush(stderr);
  // pread leaves alone the file offset that fd 2 shares, so writers keep
  // appending where they were.
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::pread(held_fd, buffer, sizeof buffer, held_taken);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    held_taken += got;
  }
  return bytes;
}

void write_unheld_standard_error(const std::string& text) {
  if (unheld_fd < 0) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return;
  }
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::write(unheld_fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

}  // namespace platform
