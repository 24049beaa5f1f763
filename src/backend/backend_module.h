// The one backend module the plug-in drives: its file and its three entry
// points, and everything done to them.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace backend {

// Which request the backend is sent: the "GET Sentence" request of
// SHIORI/2.5, or the "GET" request of SHIORI/3.0 for engines that read only
// that one. Unless the settings file fixes it, it is found out: a 2.5
// request answered with 400 is sent again as 3.0.
enum class Protocol { detect, shiori_2_5, shiori_3_0 };

struct BackendModule {
  platform::module_handle module = nullptr;
  platform::entry_load load_entry = nullptr;
  platform::entry_request request_entry = nullptr;
  platform::entry_unload unload_entry = nullptr;
  // The form of this load's requests; found out anew at each load.
  Protocol protocol = Protocol::detect;
  // Set while an export or the module's clean-up is at work, so that a
  // backend calling back into the module from inside it is recognised, and
  // so that a process ending from inside it calls the backend no more.
  bool busy = false;

  BackendModule() = default;
  ~BackendModule();  // releases whatever is still bound
  BackendModule(const BackendModule&) = delete;
  BackendModule& operator=(const BackendModule&) = delete;
};

// Marks the record busy for as long as it lives. A guard made while the
// record is busy already is nested: the call came back from inside the
// backend (or from the host during a message box) and must change nothing.
class ReentryGuard {
 public:
  explicit ReentryGuard(BackendModule& backend) : busy_(backend.busy), nested_(backend.busy) {
    busy_ = true;
  }
  ~ReentryGuard() { busy_ = nested_; }
  ReentryGuard(const ReentryGuard&) = delete;
  ReentryGuard& operator=(const ReentryGuard&) = delete;
  bool nested() const { return nested_; }

 private:
  bool& busy_;
  const bool nested_;
};

// Told each step of bind_backend as it happens, so that a diagnostic tool
// can explain a binding without doing it again. Every method does nothing
// unless overridden.
class BindingObserver {
 public:
  // The file at `path` is loaded in this process already; it is refused
  // without being loaded.
  virtual void refused_as_loaded(const std::string& /*path*/) {}
  // The system was asked to load `path`; `module` is null when it failed,
  // and `loader_reason` then holds the system loader's own words for why.
  virtual void module_loaded(const std::string& /*path*/, platform::module_handle /*module*/,
                             const std::string& /*loader_reason*/) {}
  // The entry points were looked up in `module`, which stays loaded until
  // this returns; each flag says whether that export was found.
  virtual void entries_found(platform::module_handle /*module*/, bool /*load*/, bool /*request*/,
                             bool /*unload*/) {}
  // The backend's load was called with the base directory and returned
  // `result` (nonzero: accepted).
  virtual void load_returned(platform::module_bool /*result*/) {}
  // Binding failed with the message the user is shown. With an observer the
  // message goes here instead of to show_error: a console tool must not
  // wait on a message box.
  virtual void failed(const std::string& /*message*/) {}

 protected:
  ~BindingObserver() = default;
};

// Releases any bound backend, then loads base_directory + file_name, resolves
// its entry points and hands it the base directory. Refuses, without calling
// it, a file that is loaded in the process already (this module included).
// Tells the user (or the observer) and returns false on any failure, leaving
// the record empty.
bool bind_backend(BackendModule& backend, const std::string& base_directory,
                  const std::string& file_name, BindingObserver* observer = nullptr);

// bind_backend in two pieces, for a caller that opens a module file of its
// own choosing. open_backend releases the record, loads the file at `path`
// and resolves the three entry points, leaving the record empty unless all
// are found; start_backend calls the opened backend's load with
// `base_directory` and releases it when that fails.
enum class Opening { opened, not_a_module, lacks_entry };
Opening open_backend(BackendModule& backend, const std::string& path,
                     BindingObserver* observer = nullptr);
bool start_backend(BackendModule& backend, const std::string& base_directory,
                   BindingObserver* observer = nullptr);

// Clears the record, then calls the backend's unload (when resolved) and
// frees its file, so that nothing reaches a backend being released. Does
// nothing on an empty record.
void release_backend(BackendModule& backend);

// Hands the bound backend one request: `request`, a block whose first
// `length` bytes are the text, which the backend then owns. Returns the
// backend's reply block, to be read in place. With no backend bound the
// block is freed and the reply is empty.
platform::ReceivedBlock forward_request(const BackendModule& backend,
                                        platform::block_handle request, std::size_t length);

}  // namespace backend
