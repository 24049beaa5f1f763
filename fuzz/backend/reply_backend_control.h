// For the target that drives the whole request export: loads the module
// (compiled into the target) on the reply backend's directory and reaches
// the backend's own controls. Aborts when any of it fails.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
  // The replies to the next requests and how their counts are stated (see
  // reply_backend.cpp).
  void (*set_replies)(const std::string* first, const std::string* later, int count_rule) = nullptr;
  // The requests the backend received since then.
  const std::vector<std::string>* (*requests)() = nullptr;
};

// Loads (again) the module on `directory`, whose backend then starts afresh,
// and returns the backend's controls.
inline ReplyBackend load_reply_backend(const char* directory) {
  const std::string base = std::string(directory) + "/";
  unload();
  if (load(exact_block(base), static_cast<long>(base.size())) != 1) std::abort();
  void* module = dlopen((base + "satori.dll").c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) std::abort();
  ReplyBackend backend;
  backend.set_replies =
      reinterpret_cast<decltype(backend.set_replies)>(dlsym(module, "fuzz_backend_set_replies"));
  backend.requests =
      reinterpret_cast<decltype(backend.requests)>(dlsym(module, "fuzz_backend_requests"));
  dlclose(module);  // the module still holds it
  if (backend.set_replies == nullptr || backend.requests == nullptr) std::abort();
  return backend;
}

}  // namespace fuzz_support
