// POSIX stand-ins for the Windows calls: malloc/free blocks, dlopen modules,
// standard error for message boxes, open/read/close for files; and for the
// host tool, a way to hold back what modules write to standard error.
#include "platform/platform.h"

#if defined(QB_TEST_HOOKS)
#include "platform/test_hooks.h"
#endif

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <link.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

std::string as_directory(const std::string& path) {
  return path.empty() || path.back() == '/' ? path : path + '/';
}

FileKind file_kind(const std::string& path) {
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return FileKind::missing;
  if (S_ISDIR(info.st_mode)) return FileKind::directory;
  return S_ISREG(info.st_mode) ? FileKind::other : FileKind::special;
}

bool console_speaks_ansi_text() { return false; }

bool is_utf8_terminal(StandardStream stream) {
  if (!::isatty(stream == StandardStream::output ? STDOUT_FILENO : STDERR_FILENO)) return false;
  // The locale the environment asks for, looked at without making it this
  // process's own (that would change how the C library treats text).
  if (locale_t user = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
    const bool utf8 = std::strcmp(::nl_langinfo_l(CODESET, user), "UTF-8") == 0;
    ::freelocale(user);
    return utf8;
  }
  // A locale that is not installed still tells by its name what the
  // terminal speaks (such as "ja_JP.UTF-8").
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = std::getenv(variable);
    if (name != nullptr && *name != '\0') break;
  }
  std::string lower = name != nullptr ? name : "";
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

namespace {

// A pointer from a module's dynamic section. The loader relocates these in
// place on most systems but not on all; an unrelocated one is an offset
// below the module's load address.
template <typename T>
const T* dynamic_pointer(const link_map* map, ElfW(Addr) value) {
  return reinterpret_cast<const T*>(value < map->l_addr ? map->l_addr + value : value);
}

// How many entries the dynamic symbol table has, which the section itself
// does not say: the SysV hash table counts them, the GNU one ends with the
// last symbol's chain.
std::size_t dynamic_symbol_count(const ElfW(Word)* sysv_hash, const std::uint32_t* gnu_hash) {
  if (sysv_hash != nullptr) return sysv_hash[1];
  if (gnu_hash == nullptr) return 0;
  const std::uint32_t bucket_count = gnu_hash[0];
  const std::uint32_t first_hashed = gnu_hash[1];
  const std::uint32_t bloom_words = gnu_hash[2];
  const auto* buckets = reinterpret_cast<const std::uint32_t*>(
      reinterpret_cast<const ElfW(Addr)*>(gnu_hash + 4) + bloom_words);
  const std::uint32_t* chains = buckets + bucket_count;
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; i < bucket_count; ++i) last = std::max(last, buckets[i]);
  if (last < first_hashed) return first_hashed;
  while ((chains[last - first_hashed] & 1) == 0) ++last;  // bit 0 ends a chain
  return last + 1;
}

}  // namespace

std::vector<std::string> exported_names(module_handle module) {
  std::vector<std::string> names;
  link_map* map = nullptr;
  if (module == nullptr || dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      map->l_ld == nullptr)
    return names;
  const ElfW(Sym)* symbols = nullptr;
  const char* strings = nullptr;
  std::size_t strings_size = 0;
  const ElfW(Word)* sysv_hash = nullptr;
  const std::uint32_t* gnu_hash = nullptr;
  for (const ElfW(Dyn)* entry = map->l_ld; entry->d_tag != DT_NULL; ++entry) {
    switch (entry->d_tag) {
      case DT_SYMTAB: symbols = dynamic_pointer<ElfW(Sym)>(map, entry->d_un.d_ptr); break;
      case DT_STRTAB: strings = dynamic_pointer<char>(map, entry->d_un.d_ptr); break;
      case DT_STRSZ: strings_size = entry->d_un.d_val; break;
      case DT_HASH: sysv_hash = dynamic_pointer<ElfW(Word)>(map, entry->d_un.d_ptr); break;
      case DT_GNU_HASH: gnu_hash = dynamic_pointer<std::uint32_t>(map, entry->d_un.d_ptr); break;
      default: break;
    }
  }
  if (symbols == nullptr || strings == nullptr) return names;
  const std::size_t count = dynamic_symbol_count(sysv_hash, gnu_hash);
  for (std::size_t i = 1; i < count; ++i) {  // entry 0 is always the empty symbol
    const ElfW(Sym)& symbol = symbols[i];
    const unsigned binding = ELF64_ST_BIND(symbol.st_info);  // the same in ELF32
    const unsigned visibility = ELF64_ST_VISIBILITY(symbol.st_other);
    // Defined here, visible outside: what dlsym can find by name.
    if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK) ||
        (visibility != STV_DEFAULT && visibility != STV_PROTECTED) || symbol.st_name >= strings_size)
      continue;
    names.emplace_back(strings + symbol.st_name);
  }
  return names;
}

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

struct ChildProcess {
  pid_t pid = -1;
  int output = -1;  // read ends of the child's standard output and error
  int error = -1;
  bool ended = false;
  int status = 0;
};

namespace {

// Appends what the pipe holds now, without waiting; closes it at its end.
void take_waiting(int& fd, std::string& into) {
  char buffer[64 * 1024];
  while (fd >= 0) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      if (got == 0 || errno != EAGAIN) {
        ::close(fd);
        fd = -1;
      }
      return;
    }
  }
}

std::string signal_name(int number) {
  static constexpr struct {
    int number;
    const char* name;
  } names[] = {{SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},
               {SIGFPE, "SIGFPE"},   {SIGILL, "SIGILL"},   {SIGKILL, "SIGKILL"},
               {SIGTERM, "SIGTERM"}, {SIGTRAP, "SIGTRAP"}, {SIGSYS, "SIGSYS"},
               {SIGPIPE, "SIGPIPE"}};
  std::string text = "signal " + std::to_string(number);
  for (const auto& known : names)
    if (known.number == number) return text + " (" + known.name + ")";
  return text;
}

}  // namespace

ChildProcess* start_child(const std::vector<std::string>& arguments,
                          int (*child_main)(int argc, char** argv)) {
  int output[2], error[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(error, O_CLOEXEC) != 0) {
    ::close(output[0]);
    ::close(output[1]);
    return nullptr;
  }
  std::fflush(nullptr);  // or the child would write what is buffered again
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::dup2(error[1], STDERR_FILENO);
    std::vector<std::string> words = arguments;
    std::vector<char*> argv = {const_cast<char*>("")};
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::exit(child_main(static_cast<int>(argv.size() - 1), argv.data()));
  }
  ::close(output[1]);
  ::close(error[1]);
  if (pid < 0) {
    ::close(output[0]);
    ::close(error[0]);
    return nullptr;
  }
  ::fcntl(output[0], F_SETFL, O_NONBLOCK);
  ::fcntl(error[0], F_SETFL, O_NONBLOCK);
  auto* child = new ChildProcess;
  child->pid = pid;
  child->output = output[0];
  child->error = error[0];
  return child;
}

bool follow_child(ChildProcess& child, int milliseconds, std::string& output, std::string& error) {
  pollfd watched[2];
  nfds_t count = 0;
  for (int fd : {child.output, child.error})
    if (fd >= 0) watched[count++] = pollfd{fd, POLLIN, 0};
  ::poll(watched, count, milliseconds);  // with both pipes closed, just waits
  take_waiting(child.output, output);
  take_waiting(child.error, error);
  if (!child.ended && ::waitpid(child.pid, &child.status, WNOHANG) == child.pid)
    child.ended = true;
  if (!child.ended) return true;
  // What it wrote after the reads above. A process it started may hold the
  // pipes open: nothing is waited for.
  take_waiting(child.output, output);
  take_waiting(child.error, error);
  return false;
}

ChildEnd end_child(ChildProcess* child) {
  if (!child->ended) {
    ::kill(child->pid, SIGKILL);
    while (::waitpid(child->pid, &child->status, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {child->output, child->error})
    if (fd >= 0) ::close(fd);
  ChildEnd end;
  if (WIFSIGNALED(child->status)) {
    end.crashed = true;
    end.cause = signal_name(WTERMSIG(child->status));
  } else {
    end.exit_code = WEXITSTATUS(child->status);
  }
  delete child;
  return end;
}

std::FILE* take_standard_output() {
  std::fflush(stdout);
  const int own = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  std::FILE* stream = own >= 0 ? ::fdopen(own, "w") : nullptr;
  if (stream == nullptr) {
    if (own >= 0) ::close(own);
    return stdout;
  }
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  return stream;
}

}  // namespace platform
