// The host tool's POSIX calls: file kinds, the terminal's character set, a
// module's exported names, holding back standard error, and child processes.
#include "quillbridge-host/platform/host_platform.h"

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
