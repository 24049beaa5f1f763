// The Win32 side of the platform layer: handoff blocks in fixed global
// memory, module loading, the system-modal error box, the ANSI code page's
// lead bytes, and read-only file access.
#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

constexpr const char* error_caption = "error - Quillbridge.dll";

LeadByteSet lead_byte_set{};
bool lead_byte_set_filled = false;

// Set when the process, not the host, is unloading us (see DllMain).
bool exiting_process = false;

void fill_from_code_page(UINT code_page) {
  lead_byte_set = LeadByteSet{};
  CPINFO info;
  if (GetCPInfo(code_page, &info) && info.MaxCharSize > 1) {
    // LeadByte holds up to five inclusive ranges, ended by a 0,0 pair.
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
      for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1] && b < 256; ++b) {
        lead_byte_set.lead[b] = true;
      }
    }
  }
  lead_byte_set_filled = true;
}

// The error code of a failed load with the system's text for it
// (e.g. 126: a DLL that the module needs is missing; 193: not a module for
// this word size), in the ANSI code page.
std::string loader_reason(DWORD code, const std::string& path) {
  std::string text = "error " + std::to_string(code);
  char message[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     message, sizeof message, nullptr);
  std::string said(message, length);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
    said.pop_back();
  // Inserts are left to us rather than to FormatMessageA, which would read
  // as many arguments as the text asks for; the path is the one "%1" names.
  const std::size_t insert = said.find("%1");
  if (insert != std::string::npos) said.replace(insert, 2, path.c_str());
  if (!said.empty()) text += ": " + said;
  return text;
}

// A path from a drive's root ("C:\" or "C:/") or a UNC path ("\\").
bool is_absolute_path(const std::string& path) {
  if (path.starts_with("\\\\")) return true;
  if (path.size() < 3 || path[1] != ':' || (path[2] != '\\' && path[2] != '/')) return false;
  const char drive = path[0];
  return (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
}

}  // namespace

block_handle allocate_block(const char* bytes, std::size_t size) {
  // GMEM_FIXED: the handle is the address. A fixed block of zero bytes is
  // still a real, freeable block.
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, size);
  if (block != nullptr && bytes != nullptr && size != 0) {
    std::memcpy(block, bytes, size);
  }
  return block;
}

char* block_bytes(block_handle block) { return static_cast<char*>(block); }

void free_block(block_handle block) {
  if (block != nullptr) {
    GlobalFree(block);
  }
}

module_handle load_module(const std::string& path, std::string* reason) {
  // An engine that ships a DLL of its own expects it found beside the
  // engine, not beside the host program: the altered search starts in the
  // loaded file's folder. It is defined for absolute paths only, so a
  // relative one keeps the default search.
  HMODULE module = nullptr;
  if (is_absolute_path(path)) {
    // The loader finds that folder by backslashes only. A '/' is never the
    // second byte of a character in an ANSI code page, so this changes no
    // character.
    std::string backslashed = path;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    module = LoadLibraryExA(backslashed.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  } else {
    module = LoadLibraryA(path.c_str());
  }
  if (module == nullptr && reason != nullptr) *reason = loader_reason(GetLastError(), path);
  return module;
}

void* find_entry(module_handle module, const char* name) {
  if (module == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void free_module(module_handle module) {
  if (module != nullptr) {
    FreeLibrary(static_cast<HMODULE>(module));
  }
}

bool module_is_loaded(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  // The loader compares full paths with backslashes; a host may pass the
  // directory with forward slashes or relative to the current directory.
  char full_path[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full_path, nullptr);
  const char* name = length > 0 && length < MAX_PATH ? full_path : path.c_str();
  HMODULE found = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, name, &found) != 0;
}

void add_exit_cleanup(void (*)(void*), void*) {}
void run_exit_cleanups() {}

void show_error(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), error_caption, MB_SYSTEMMODAL);
}

const LeadByteSet& lead_bytes() {
  // Filled at attach; an executable that links the core directly gets the
  // same table on first use.
  if (!lead_byte_set_filled) {
    fill_from_code_page(GetACP());
  }
  return lead_byte_set;
}

bool process_is_exiting() { return exiting_process; }

file_handle open_file(const std::string& path) {
  if (path.empty()) {
    return nullptr;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  // Only files on disk count: a name such as "CON" or a pipe opens a device
  // whose reads may wait forever.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return nullptr;
  }
  return file;
}

long read_file(file_handle file, char* buffer, std::size_t capacity) {
  DWORD wanted = capacity > MAXDWORD / 2 ? MAXDWORD / 2 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!ReadFile(static_cast<HANDLE>(file), buffer, wanted, &got, nullptr)) {
    return -1;
  }
  return got > LONG_MAX ? LONG_MAX : static_cast<long>(got);
}

void close_file(file_handle file) {
  if (file != nullptr) {
    CloseHandle(static_cast<HANDLE>(file));
  }
}

}  // namespace platform

// The C runtime calls this before it runs our static destructors on detach,
// so the backend record's destructor can ask process_is_exiting().
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    platform::fill_from_code_page(GetACP());
  } else if (reason == DLL_PROCESS_DETACH) {
    // A non-null reserved argument means ExitProcess: modules loaded after us
    // have been detached already and the loader lock is held.
    platform::exiting_process = reserved != nullptr;
  }
  return TRUE;
}
