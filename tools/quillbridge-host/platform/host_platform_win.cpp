// The host tool's Win32 calls: file kinds, the console's streams, a
// module's exported names, and child processes.
#include "quillbridge-host/platform/host_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace platform {

std::string as_directory(const std::string& path) {
  if (path.empty()) return path;
  bool ends_in_separator = false;
  const LeadByteSet& lead = lead_bytes();
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
  return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? FileKind::special : FileKind::other;
}

bool console_speaks_ansi_text() { return true; }

bool is_utf8_terminal(StandardStream) { return false; }

std::vector<std::string> exported_names(module_handle module) {
  // A loaded module is its image as the loader mapped it: the export
  // directory's addresses are offsets from the handle.
  std::vector<std::string> names;
  const auto* base = static_cast<const unsigned char*>(module);
  if (base == nullptr) return names;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return names;
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (headers->Signature != IMAGE_NT_SIGNATURE ||
      headers->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
    return names;
  const IMAGE_DATA_DIRECTORY& directory =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0 || directory.Size == 0) return names;
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  const auto* name_offsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.emplace_back(reinterpret_cast<const char*>(base + name_offsets[i]));
  return names;
}

void use_binary_standard_streams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

// Modules show their messages in message boxes here; standard error carries
// nothing of theirs to convert.
bool hold_standard_error() { return false; }

std::string take_held_standard_error() { return {}; }

void write_unheld_standard_error(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

struct ChildProcess {
  HANDLE process = nullptr;
  HANDLE output = nullptr;  // read ends of the child's standard output and error
  HANDLE error = nullptr;
};

namespace {

// One word of a command line, quoted so that the C runtime's parser gives
// it back unchanged: backslashes count only before a quote, and the second
// byte of a two-byte character is never one.
std::string quoted_word(const std::string& word) {
  const LeadByteSet& lead = lead_bytes();
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const auto byte = static_cast<unsigned char>(word[i]);
    if (byte == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(byte == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += word[i];
    if (lead.lead[byte] && i + 1 < word.size()) quoted += word[++i];
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + '"';
}

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

std::string exception_name(DWORD code) {
  switch (code) {
    case 0xC0000005: return "access violation";
    case 0xC00000FD: return "stack overflow";
    case 0xC0000094: return "integer division by zero";
    case 0xC000001D: return "illegal instruction";
    case 0xC0000409: return "stack buffer overrun or fast fail";
    case 0xC0000374: return "heap corruption";
    case 0x80000003: return "breakpoint";
    default: return "";
  }
}

}  // namespace

ChildProcess* start_child(const std::vector<std::string>& arguments, int (*)(int, char**)) {
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  std::string command = quoted_word(program);
  for (const std::string& word : arguments) {
    command += ' ';
    command += quoted_word(word);
  }

  // The write ends go to the child; the read ends stay here only.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output_read = nullptr, output_write = nullptr, error_read = nullptr, error_write = nullptr;
  if (!CreatePipe(&output_read, &output_write, &inherit, 0)) return nullptr;
  if (!CreatePipe(&error_read, &error_write, &inherit, 0)) {
    CloseHandle(output_read);
    CloseHandle(output_write);
    return nullptr;
  }
  SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(error_read, HANDLE_FLAG_INHERIT, 0);
  std::fflush(nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output_write;
  startup.hStdError = error_write;
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &started);
  CloseHandle(output_write);
  CloseHandle(error_write);
  if (!ok) {
    CloseHandle(output_read);
    CloseHandle(error_read);
    return nullptr;
  }
  CloseHandle(started.hThread);
  auto* child = new ChildProcess;
  child->process = started.hProcess;
  child->output = output_read;
  child->error = error_read;
  return child;
}

bool follow_child(ChildProcess& child, int milliseconds, std::string& output, std::string& error) {
  // Anonymous pipes cannot be waited on: read what is there, else wait on
  // the process for a while.
  const bool took_output = take_waiting(child.output, output);
  const bool took_error = take_waiting(child.error, error);
  if (took_output || took_error) return true;
  if (WaitForSingleObject(child.process, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0)
    return true;
  // A process it started may hold the pipes open: nothing is waited for.
  take_waiting(child.output, output);
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
  CloseHandle(child->process);
  CloseHandle(child->output);
  CloseHandle(child->error);
  delete child;
  ChildEnd end;
  end.exit_code = static_cast<int>(code);
  // Exit codes from 0x80000000 on are the exception that ended the process.
  if (code >= 0x80000000u) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    const std::string name = exception_name(code);
    end.crashed = true;
    end.cause = std::string("exception ") + hex;
    if (!name.empty()) end.cause += " (" + name + ")";
  }
  return end;
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

}  // namespace platform
