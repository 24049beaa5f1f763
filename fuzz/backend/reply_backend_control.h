// For the targets that drive the whole request export: loads the module
// (compiled into the target) on the reply backend's directory and reaches
// the backend's own controls. Aborts when any of it fails.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
int load(char* block, long length);
int unload();
char* request(char* block, long* length);
}

namespace fuzz_support {

// A host block of exactly the bytes given (one byte for none), no NUL.
inline char* exact_block(const std::string& bytes) {
  char* block = static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

struct ReplyBackend {
  // The next reply and how its count is stated (see reply_backend.cpp).
  void (*set_reply)(const char* bytes, std::size_t size, int count_rule) = nullptr;
  // The bytes of the last request the backend received.
  const std::string* (*last_request)() = nullptr;
};

inline ReplyBackend load_reply_backend(const char* directory) {
  const std::string base = std::string(directory) + "/";
  if (load(exact_block(base), static_cast<long>(base.size())) != 1) std::abort();
  void* module = dlopen((base + "satori.dll").c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) std::abort();
  ReplyBackend backend;
  backend.set_reply = reinterpret_cast<decltype(backend.set_reply)>(dlsym(module, "fuzz_backend_set_reply"));
  backend.last_request =
      reinterpret_cast<decltype(backend.last_request)>(dlsym(module, "fuzz_backend_last_request"));
  dlclose(module);  // the module still holds it
  if (backend.set_reply == nullptr || backend.last_request == nullptr) std::abort();
  std::atexit([] { unload(); });
  return backend;
}

}  // namespace fuzz_support
