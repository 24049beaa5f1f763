// The host tool's Win32 calls: file kinds, the console's streams and child
// processes.
#include "quillbridge-host/platform/host_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace host_system {

std::string as_directory(const std::string& path) {
  if (path.empty()) return path;
  bool ends_in_separator = false;
  const platform::LeadByteSet& lead = platform::lead_bytes();
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    ends_in_separator = byte == '\\' || byte == '/';
    if (lead.lead[byte]) ++i;  // its second byte is never a separator
  }
  return ends_in_separator ? path : path + '\\';
}

FileKind file_kind(const std::string& path) {
  const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::directory;
  return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? FileKind::special : FileKind::regular_file;
}

bool console_speaks_ansi_text() { return true; }

bool is_utf8_terminal(StandardStream) { return false; }

void use_binary_standard_streams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

struct ChildProcess {
  HANDLE process = nullptr;
  HANDLE job = nullptr;    // closing it ends the child: it goes with this process
  HANDLE error = nullptr;  // read ends of the child's standard error and of what it tells
  HANDLE told = nullptr;
};

namespace {

// The word that starts a child's command line, then the handle of the pipe
// it tells its parent lines through; never typed by a user.
constexpr const char child_word[] = "--quillbridge-host-child";
HANDLE parent_channel = nullptr;

// Appends what the pipe holds now, without waiting; false when it held nothing.
bool take_waiting(HANDLE pipe, std::string& into) {
  bool took = false;
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0) return took;
    char buffer[64 * 1024];
    DWORD got = 0;
    const DWORD wanted = waiting < sizeof buffer ? waiting : static_cast<DWORD>(sizeof buffer);
    if (!ReadFile(pipe, buffer, wanted, &got, nullptr) || got == 0) return took;
    into.append(buffer, got);
    took = true;
  }
}

// The exception a process ended with, named; empty for an exit code that
// is none of these (a backend's exit(-1) ends with 0xFFFFFFFF).
const char* exception_name(DWORD code) {
  switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC00000FD: return "stack overflow";
    case 0xC0000094: return "integer division by zero";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000096: return "privileged instruction";
    case 0xC0000409: return "stack buffer overrun or fast fail";
    case 0xC0000374: return "heap corruption";
    case 0xC000008E: return "floating-point division by zero";
    case 0x80000003: return "breakpoint";
    default: return nullptr;
  }
}

void close_all(std::initializer_list<HANDLE> handles) {
  for (HANDLE handle : handles)
    if (handle != nullptr) CloseHandle(handle);
}

}  // namespace

ChildProcess* start_child(const std::function<int()>&) {
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  // The write ends go to the child; the read ends stay here only.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE error_read = nullptr, error_write = nullptr, told_read = nullptr, told_write = nullptr;
  if (!CreatePipe(&error_read, &error_write, &inherit, 0)) return nullptr;
  if (!CreatePipe(&told_read, &told_write, &inherit, 0)) {
    close_all({error_read, error_write});
    return nullptr;
  }
  SetHandleInformation(error_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(told_read, HANDLE_FLAG_INHERIT, 0);
  // This program's own command line, untouched (so the child's runtime
  // reads the same words from it), with the marker after the program name.
  std::string command = GetCommandLineA();
  std::size_t name_end = command[0] == '"' ? command.find('"', 1) : command.find_first_of(" \t");
  name_end = name_end == std::string::npos ? command.size() : name_end + (command[0] == '"');
  command.insert(name_end, std::string(" ") + child_word + ' ' +
                               std::to_string(reinterpret_cast<std::uintptr_t>(told_write)));

  std::fflush(nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = error_write;
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessA(program, &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                 nullptr, nullptr, &startup, &started);
  close_all({error_write, told_write});
  if (!ok) {
    close_all({error_read, told_read});
    return nullptr;
  }
  // In a job that ends with its last handle, which only this process holds.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr && (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                                  sizeof limits) ||
                         !AssignProcessToJobObject(job, started.hProcess))) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  return new ChildProcess{started.hProcess, job, error_read, told_read};
}

bool started_as_child(int& argc, char**& argv) {
  if (argc < 3 || std::strcmp(argv[1], child_word) != 0) return false;
  parent_channel = reinterpret_cast<HANDLE>(std::strtoull(argv[2], nullptr, 10));
  argv[2] = argv[0];
  argv += 2;
  argc -= 2;
  return true;
}

std::FILE* take_standard_output() {
  // No crash dialog: the parent reports the crash.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  std::fflush(stdout);
  const int own = _dup(_fileno(stdout));
  std::FILE* stream = own >= 0 ? _fdopen(own, "wb") : nullptr;
  if (stream == nullptr) {
    if (own >= 0) _close(own);
    return stdout;
  }
  _dup2(_fileno(stderr), _fileno(stdout));
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  return stream;
}

bool tell_parent(const std::string& line) {
  if (parent_channel == nullptr) return false;
  const std::string text = line + '\n';
  DWORD wrote = 0;
  WriteFile(parent_channel, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
  return true;
}

void leave_child(int status) {
  std::fflush(nullptr);
  // Unlike ExitProcess, runs no DLL's detach code.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  std::abort();  // not reached
}

bool follow_child(ChildProcess& child, int milliseconds, std::string& error, std::string& told) {
  // Anonymous pipes cannot be waited on: read what is there, else wait on
  // the process for a while. Told lines first: what the child wrote to
  // standard error before them is in its pipe by then.
  const bool took_told = take_waiting(child.told, told);
  const bool took_error = take_waiting(child.error, error);
  if (took_told || took_error) return true;
  if (WaitForSingleObject(child.process, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0)
    return true;
  // A process it started may hold the pipes open: nothing is waited for.
  take_waiting(child.told, told);
  take_waiting(child.error, error);
  return false;
}

ChildEnd end_child(ChildProcess* child) {
  if (WaitForSingleObject(child->process, 0) != WAIT_OBJECT_0) {
    TerminateProcess(child->process, 1);
    WaitForSingleObject(child->process, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(child->process, &code);
  close_all({child->process, child->job, child->error, child->told});
  delete child;
  ChildEnd end;
  end.exit_code = static_cast<int>(code);
  if (const char* name = exception_name(code)) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    end.crashed = true;
    end.cause = std::string("exception ") + hex + " (" + name + ")";
  }
  return end;
}

}  // namespace host_system
