#include "module_spy.h"

#include <cstring>

namespace spy {
namespace {

std::vector<Block> block_records;
std::vector<BoxCall> box_records;
std::vector<Event> events;
std::vector<std::string> bad_free_records;

std::string caller_name(void* return_address) {
  HMODULE caller = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCSTR>(return_address), &caller);
  return module_name(caller);
}

Block* latest(HGLOBAL handle) {
  for (auto it = block_records.rbegin(); it != block_records.rend(); ++it) {
    if (it->handle == handle) return &*it;
  }
  return nullptr;
}

HGLOBAL allocate(UINT flags, SIZE_T size, const std::string& by) {
  HGLOBAL block = GlobalAlloc(flags, size);
  if (block != nullptr) block_records.push_back(Block{block, size, by, ""});
  return block;
}

HGLOBAL release(HGLOBAL block, const std::string& by) {
  Block* record = latest(block);
  if (record == nullptr) {
    bad_free_records.push_back(by + " freed a block nobody allocated");
  } else if (!record->freed_by.empty()) {
    bad_free_records.push_back(by + " freed a block already freed by " + record->freed_by);
    return nullptr;  // never hand a stale handle to the real heap
  } else {
    record->freed_by = by;
  }
  return GlobalFree(block);
}

HGLOBAL WINAPI watched_global_alloc(UINT flags, SIZE_T size) {
  return allocate(flags, size, caller_name(__builtin_return_address(0)));
}

HGLOBAL WINAPI watched_global_free(HGLOBAL block) {
  return release(block, caller_name(__builtin_return_address(0)));
}

HMODULE WINAPI watched_load_library(LPCSTR path) {
  record("LoadLibraryA", path != nullptr ? path : "");
  HMODULE module = LoadLibraryA(path);
  if (module != nullptr) watch(module);
  return module;
}

HMODULE WINAPI watched_load_library_ex(LPCSTR path, HANDLE file, DWORD flags) {
  const std::string what = flags == LOAD_WITH_ALTERED_SEARCH_PATH && file == nullptr
                               ? "LoadLibraryExA"
                               : "LoadLibraryExA with flags " + std::to_string(flags);
  record(what, path != nullptr ? path : "");
  HMODULE module = LoadLibraryExA(path, file, flags);
  if (module != nullptr) watch(module);
  return module;
}

BOOL WINAPI watched_free_library(HMODULE module) {
  record("FreeLibrary " + module_name(module));
  return FreeLibrary(module);
}

int WINAPI watched_message_box(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  box_records.push_back(BoxCall{owner, text != nullptr ? text : "",
                                caption != nullptr ? caption : "", type});
  record("MessageBoxA called");
  int result = MessageBoxA(owner, text, caption, type);
  record("MessageBoxA returned");
  return result;
}

// Points the import-table slot of dll!function in `module` at `replacement`.
void patch_import(HMODULE module, const char* dll, const char* function, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       desc->Name != 0; ++desc) {
    if (_stricmp(reinterpret_cast<char*>(base + desc->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(by_name->Name), function) != 0) continue;
      DWORD old_protection;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                     &old_protection);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old_protection,
                     &old_protection);
    }
  }
}

}  // namespace

std::string module_name(HMODULE module) {
  if (module == nullptr) return "?";
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(module, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "?";
  const char* base = path;
  // Shift_JIS names may hold 0x5C as a second byte: step by character.
  for (const char* p = path; *p != '\0'; p = CharNextA(p)) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  return base;
}

void watch(HMODULE module) {
  patch_import(module, "KERNEL32.dll", "GlobalAlloc",
               reinterpret_cast<void*>(&watched_global_alloc));
  patch_import(module, "KERNEL32.dll", "GlobalFree",
               reinterpret_cast<void*>(&watched_global_free));
  patch_import(module, "KERNEL32.dll", "LoadLibraryA",
               reinterpret_cast<void*>(&watched_load_library));
  patch_import(module, "KERNEL32.dll", "LoadLibraryExA",
               reinterpret_cast<void*>(&watched_load_library_ex));
  patch_import(module, "KERNEL32.dll", "FreeLibrary",
               reinterpret_cast<void*>(&watched_free_library));
  patch_import(module, "USER32.dll", "MessageBoxA",
               reinterpret_cast<void*>(&watched_message_box));
}

HGLOBAL host_alloc(const std::string& bytes) {
  HGLOBAL block = allocate(GMEM_FIXED, bytes.size(), "host");
  if (block != nullptr && !bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

void host_free(HGLOBAL block) { release(block, "host"); }

void record(const std::string& what, const std::string& bytes) {
  events.push_back(Event{what, bytes});
}

void reset() {
  block_records.clear();
  box_records.clear();
  events.clear();
  bad_free_records.clear();
}

const std::vector<Block>& blocks() { return block_records; }
const std::vector<BoxCall>& box_calls() { return box_records; }
const std::vector<Event>& timeline() { return events; }
const std::vector<std::string>& bad_frees() { return bad_free_records; }

const Block* find_block(HGLOBAL handle) { return latest(handle); }

int find_event(const std::string& what, int from) {
  for (int i = from < 0 ? 0 : from; i < static_cast<int>(events.size()); ++i) {
    if (events[i].what == what) return i;
  }
  return -1;
}

}  // namespace spy
