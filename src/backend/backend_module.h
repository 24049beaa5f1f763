// The one backend module the plug-in drives: its file and its three entry
// points, and everything done to them.
#pragma once

#include <string>

#include "platform/platform.h"

namespace backend {

struct BackendModule {
  platform::module_handle module = nullptr;
  platform::entry_load load_entry = nullptr;
  platform::entry_request request_entry = nullptr;
  platform::entry_unload unload_entry = nullptr;

  BackendModule() = default;
  ~BackendModule();  // releases whatever is still bound
  BackendModule(const BackendModule&) = delete;
  BackendModule& operator=(const BackendModule&) = delete;
};

// Releases any bound backend, then loads base_directory + file_name, resolves
// its entry points and hands it the base directory. Refuses, without calling
// it, a file that is loaded in the process already (this module included).
// Tells the user and returns false on any failure, leaving the record empty.
bool bind_backend(BackendModule& backend, const std::string& base_directory,
                  const std::string& file_name);

// Calls the backend's unload (when resolved), frees its file and clears the
// record. Does nothing on an empty record.
void release_backend(BackendModule& backend);

// Sends one request text to the bound backend and returns its reply; empty
// when no backend is bound or no block can be had for the request.
std::string forward_request(const BackendModule& backend, const std::string& request);

}  // namespace backend
