// A stand-in backend module with the three-function shape. It follows the
// handoff rules (frees what it receives, hands over what it allocates) and
// reports every call to the test host through fixture_channel.h. Built with
// FIXTURE_WITHOUT_UNLOAD it lacks the unload export; built with
// FIXTURE_BAD_REQUEST it answers 400 when no test host chooses its reply,
// like a backend that does not speak GET Sentence; built with
// FIXTURE_OTHER_INTERFACE its entries are named other_load, other_request
// and other_unload, as a module of another interface names them; built with
// FIXTURE_WITH_COMPANION it imports fixture_companion.dll and reports
// "companion" from its load. With QB_FIXTURE_MODE set to exit-request in its
// environment, its request calls exit(-1), as engines do on a fatal error.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "fixture_channel.h"

namespace {

char own_name[MAX_PATH] = "fixture";
fixture_note_fn note_to_host = nullptr;
fixture_load_result_fn load_result_from_host = nullptr;
fixture_reply_fn reply_from_host = nullptr;

void note(const char* event, const char* bytes = "", long length = 0) {
  if (note_to_host != nullptr) {
    note_to_host(own_name, event, bytes, length);
  }
}

template <typename Entry>
Entry host_entry(HMODULE host, const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(host, name)));
}

void connect_to_host(HINSTANCE self) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(self, path, sizeof path);
  if (n > 0 && n < sizeof path) {
    const char* base = path;
    // Shift_JIS names may hold 0x5C as a second byte: step by character.
    for (const char* p = path; *p != '\0'; p = CharNextA(p)) {
      if (*p == '\\' || *p == '/') base = p + 1;
    }
    lstrcpynA(own_name, base, sizeof own_name);
  }
  HMODULE host = GetModuleHandleA(nullptr);
  note_to_host = host_entry<fixture_note_fn>(host, QB_FIXTURE_NOTE);
  load_result_from_host = host_entry<fixture_load_result_fn>(host, QB_FIXTURE_LOAD_RESULT);
  reply_from_host = host_entry<fixture_reply_fn>(host, QB_FIXTURE_REPLY);
}

}  // namespace

#if defined(FIXTURE_WITH_COMPANION)
extern "C" __declspec(dllimport) const char* fixture_companion_word();
#endif

#if defined(FIXTURE_OTHER_INTERFACE)
#define FIXTURE_ENTRY(name) other_##name
#else
#define FIXTURE_ENTRY(name) name
#endif

extern "C" {

__declspec(dllexport) BOOL __cdecl FIXTURE_ENTRY(load)(HGLOBAL block, long length) {
  note("load", static_cast<const char*>(block), length);
  GlobalFree(block);
#if defined(FIXTURE_WITH_COMPANION)
  note(fixture_companion_word());
#endif
  return load_result_from_host != nullptr ? load_result_from_host() : TRUE;
}

__declspec(dllexport) HGLOBAL __cdecl FIXTURE_ENTRY(request)(HGLOBAL block, long* length) {
  // A request block longer than its text is reported as such, so that the
  // cases expecting "request" see the difference.
  const bool exact = block == nullptr || GlobalSize(block) == static_cast<SIZE_T>(*length);
  note(exact ? "request" : "request in a longer block", static_cast<const char*>(block), *length);
  GlobalFree(block);
  char mode[32] = "";
  GetEnvironmentVariableA("QB_FIXTURE_MODE", mode, sizeof mode);
  if (lstrcmpA(mode, "exit-request") == 0) exit(-1);
  // The answer when no test host is there to choose one (another host
  // program loaded the fixture).
#if defined(FIXTURE_BAD_REQUEST)
  static const char fallback[] = "SHIORI/3.0 400 Bad Request\r\nCharset: UTF-8\r\n\r\n";
#else
  static const char fallback[] = "SHIORI/2.5 200 OK\r\nSentence: fixture\r\n\r\n";
#endif
  long size = sizeof fallback - 1;
  long count = size;
  const char* bytes = reply_from_host != nullptr ? reply_from_host(&size, &count) : fallback;
  HGLOBAL reply = GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(size));
  if (reply != nullptr && size > 0) std::memcpy(reply, bytes, static_cast<size_t>(size));
  *length = count;
  return reply;
}

#if !defined(FIXTURE_WITHOUT_UNLOAD)
__declspec(dllexport) BOOL __cdecl FIXTURE_ENTRY(unload)(void) {
  note("unload");
  return TRUE;
}
#endif

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    connect_to_host(self);
    note("attach");
  } else if (reason == DLL_PROCESS_DETACH) {
    note(reserved != nullptr ? "detach-exit" : "detach-free");
  }
  return TRUE;
}

}  // extern "C"
