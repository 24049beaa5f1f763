// The host tool's POSIX calls: file kinds, the terminal's character set and
// child processes (the parent's death signal is Linux's).
#include "quillbridge-host/platform/host_platform.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace host_system {

std::string as_directory(const std::string& path) {
  return path.empty() || path.back() == '/' ? path : path + '/';
}

FileKind file_kind(const std::string& path) {
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return FileKind::missing;
  if (S_ISDIR(info.st_mode)) return FileKind::directory;
  return S_ISREG(info.st_mode) ? FileKind::regular_file : FileKind::special;
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
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"})
    if ((name = std::getenv(variable)) != nullptr && *name != '\0') break;
  return name != nullptr &&
         (::strcasestr(name, "utf-8") != nullptr || ::strcasestr(name, "utf8") != nullptr);
}

void use_binary_standard_streams() {}

struct ChildProcess {
  pid_t pid = -1;
  int error = -1;  // read ends of the child's standard error and of what it tells
  int told = -1;
  bool ended = false;
  int status = 0;
};

namespace {

// In a child: the write end of the pipe its parent reads told lines from.
int parent_channel = -1;

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
  const char* name = ::sigabbrev_np(number);  // glibc's: "SEGV" for 11
  return "signal " + std::to_string(number) + (name != nullptr ? " (SIG" + std::string(name) + ")" : "");
}

}  // namespace

ChildProcess* start_child(const std::function<int()>& child_main) {
  int error[2], told[2];
  if (::pipe2(error, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(told, O_CLOEXEC) != 0) {
    ::close(error[0]);
    ::close(error[1]);
    return nullptr;
  }
  const pid_t parent = ::getpid();
  std::fflush(nullptr);  // or the child would write what is buffered again
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Killed when the parent goes, even by SIGKILL; a parent gone already
    // before this took effect is seen by the check after it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    ::dup2(error[1], STDERR_FILENO);
    ::close(error[0]);
    ::close(told[0]);
    parent_channel = told[1];
    leave_child(child_main());
  }
  ::close(error[1]);
  ::close(told[1]);
  if (pid < 0) {
    ::close(error[0]);
    ::close(told[0]);
    return nullptr;
  }
  ::fcntl(error[0], F_SETFL, O_NONBLOCK);
  ::fcntl(told[0], F_SETFL, O_NONBLOCK);
  return new ChildProcess{pid, error[0], told[0]};
}

bool started_as_child(int&, char**&) { return false; }

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

bool tell_parent(const std::string& line) {
  if (parent_channel < 0) return false;
  const std::string text = line + '\n';
  // A blocking pipe takes it whole: the child sets no signal handler.
  [[maybe_unused]] const ssize_t wrote = ::write(parent_channel, text.data(), text.size());
  return true;
}

void leave_child(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

bool follow_child(ChildProcess& child, int milliseconds, std::string& error, std::string& told) {
  pollfd watched[2];
  nfds_t count = 0;
  for (int fd : {child.error, child.told})
    if (fd >= 0) watched[count++] = pollfd{fd, POLLIN, 0};
  ::poll(watched, count, milliseconds);  // with both pipes closed, just waits
  // Told lines first: what the child wrote to standard error before them is
  // in its pipe by then.
  take_waiting(child.told, told);
  take_waiting(child.error, error);
  if (!child.ended && ::waitpid(child.pid, &child.status, WNOHANG) == child.pid)
    child.ended = true;
  if (!child.ended) return true;
  // What it wrote after the reads above. A process it started may hold the
  // pipes open: nothing is waited for.
  take_waiting(child.told, told);
  take_waiting(child.error, error);
  return false;
}

ChildEnd end_child(ChildProcess* child) {
  if (!child->ended) {
    ::kill(child->pid, SIGKILL);
    while (::waitpid(child->pid, &child->status, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {child->error, child->told})
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

}  // namespace host_system
