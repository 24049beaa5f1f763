#include "backend/backend_module.h"

namespace backend {
namespace {

// Shift_JIS texts, each following the backend's path.
constexpr const char load_failed_suffix[] = ": LoadLibrary\x82\xC5\x8E\xB8\x94s\x81" "B";
constexpr const char missing_export_suffix[] =
    ": load, unload, request\x82\xCC\x82\xA2\x82\xB8\x82\xEA\x82\xA9\x82\xAA\x83G\x83N\x83X"
    "\x83|\x81[\x83g\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81" "B";
constexpr const char load_refused_suffix[] =
    ": load()\x82\xAA" "FALSE\x82\xF0\x95\xD4\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81" "B";
// Already in use, or Quillbridge itself; Quillbridge and its backend belong
// in a folder of their own.
constexpr const char already_loaded_suffix[] =
    ": \x8A\xF9\x82\xC9\x8Eg\x97p\x92\x86\x82\xA9\x81" "AQuillbridge\x8E\xA9\x90g\x82\xC5\x82"
    "\xB7\x81" "BQuillbridge\x82\xC6\x9Ex\x82\xCD\x90\xEA\x97p\x82\xCC\x83t\x83H\x83\x8B\x83_"
    "\x82\xC9\x92u\x82\xA2\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "B";

template <typename Entry>
Entry resolve(platform::module_handle module, const char* name) {
  return reinterpret_cast<Entry>(platform::find_entry(module, name));
}

bool refuse(const std::string& message, BindingObserver* observer) {
  if (observer != nullptr)
    observer->failed(message);
  else
    platform::show_error(message);
  return false;
}

}  // namespace

BackendModule::~BackendModule() {
  // When the process exits, the backend (loaded after us) has already been
  // detached; calling its unload or freeing it then would run code that is
  // torn down, under the loader lock. The record just forgets it.
  if (platform::process_is_exiting()) return;
  // Gone while busy: the process is ending from inside an export, as a rule
  // from inside the backend's own call (exit() on a fatal error). Calling it
  // again could deadlock on a lock it holds there, or reach a backend whose
  // load never returned; it gets no second call.
  const ReentryGuard guard(*this);
  if (guard.nested()) return;
  release_backend(*this);
}

bool bind_backend(BackendModule& backend, const std::string& base_directory,
                  const std::string& file_name, BindingObserver* observer) {
  release_backend(backend);
  const std::string path = base_directory + file_name;

  // Binding a module that is loaded already would hand back that module:
  // this one (whose load would recurse) or an engine the host is running
  // (whose load would reset it, and whose unload would follow ours).
  if (platform::module_is_loaded(path)) {
    if (observer != nullptr) observer->refused_as_loaded(path);
    return refuse(path + already_loaded_suffix, observer);
  }

  switch (open_backend(backend, path, observer)) {
    case Opening::opened: break;
    case Opening::not_a_module: return refuse(path + load_failed_suffix, observer);
    case Opening::lacks_entry: return refuse(path + missing_export_suffix, observer);
  }
  if (start_backend(backend, base_directory, observer)) return true;
  return refuse(path + load_refused_suffix, observer);
}

Opening open_backend(BackendModule& backend, const std::string& path, BindingObserver* observer) {
  release_backend(backend);
  std::string loader_reason;  // asked for only where someone reads it
  backend.module = platform::load_module(path, observer != nullptr ? &loader_reason : nullptr);
  if (observer != nullptr) observer->module_loaded(path, backend.module, loader_reason);
  if (backend.module == nullptr) return Opening::not_a_module;

  backend.load_entry = resolve<platform::entry_load>(backend.module, "load");
  backend.request_entry = resolve<platform::entry_request>(backend.module, "request");
  backend.unload_entry = resolve<platform::entry_unload>(backend.module, "unload");
  if (observer != nullptr)
    observer->entries_found(backend.module, backend.load_entry != nullptr,
                            backend.request_entry != nullptr, backend.unload_entry != nullptr);
  if (backend.load_entry != nullptr && backend.request_entry != nullptr &&
      backend.unload_entry != nullptr)
    return Opening::opened;
  release_backend(backend);
  return Opening::lacks_entry;
}

bool start_backend(BackendModule& backend, const std::string& base_directory,
                   BindingObserver* observer) {
  // Without a block for the directory the backend cannot be started; that
  // is reported like a refusal rather than calling it with nothing.
  long length = 0;
  platform::block_handle directory = platform::give_block(base_directory, &length);
  if (directory != nullptr) {
    const platform::module_bool accepted = backend.load_entry(directory, length);
    if (observer != nullptr) observer->load_returned(accepted);
    if (accepted != 0) return true;
  }
  release_backend(backend);
  return false;
}

void release_backend(BackendModule& backend) {
  const platform::module_handle module = backend.module;
  const platform::entry_unload unload_entry = backend.unload_entry;
  backend.module = nullptr;
  backend.load_entry = nullptr;
  backend.request_entry = nullptr;
  backend.unload_entry = nullptr;
  backend.protocol = Protocol::detect;
  if (unload_entry != nullptr) unload_entry();
  if (module != nullptr) platform::free_module(module);
}

platform::ReceivedBlock forward_request(const BackendModule& backend,
                                        platform::block_handle request, std::size_t length) {
  if (backend.request_entry == nullptr) {
    platform::free_block(request);
    return {};
  }
  long count = static_cast<long>(length);
  platform::block_handle reply = backend.request_entry(request, &count);
  return platform::ReceivedBlock(reply, count);
}

}  // namespace backend
