// The module's whole boundary: load, unload and request, called by the
// plug-in host one at a time. Nothing thrown inside may reach the host.
#include <optional>
#include <string>

#include "backend/backend_discovery.h"
#include "backend/backend_module.h"
#include "backend/sentence_request.h"
#include "platform/platform.h"
#include "plugin/handoff.h"
#include "plugin/plugin_codec.h"

namespace {

// The module's only state. Its destructor, run when the module is unloaded,
// releases a backend that the host never asked to unload.
backend::BackendModule bound_backend;

}  // namespace

extern "C" {

QB_EXPORT platform::module_bool QB_CDECL load(platform::block_handle block, long length) {
  // No block, or a count below zero, names no directory at all; reading it
  // as the empty one would send discovery to the current directory.
  if (block == nullptr || length < 0) {
    platform::free_block(block);
    return 0;
  }
  // Likewise a directory that could not be copied.
  const std::optional<std::string> base_directory = plugin::take_block(block, length);
  if (!base_directory) return 0;
  try {
    return backend::find_backend(bound_backend, *base_directory) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

QB_EXPORT platform::module_bool QB_CDECL unload() {
  try {
    backend::release_backend(bound_backend);
  } catch (...) {
  }
  return 1;
}

QB_EXPORT platform::block_handle QB_CDECL request(platform::block_handle block, long* length) {
  if (length == nullptr) {
    platform::free_block(block);
    return nullptr;
  }
  // A request that could not be copied is not passed on as an empty one.
  const std::optional<std::string> text = plugin::take_block(block, *length);
  try {
    if (text) {
      const plugin::ArgumentList arguments = plugin::decode_plugin_request(*text);
      std::string backend_reply;
      const std::string_view sentence =
          backend::ask_sentence(bound_backend, arguments, backend_reply);
      return plugin::give_block(plugin::encode_plugin_response(sentence), length);
    }
  } catch (...) {
  }
  // Out of memory somewhere on the way: still answer, with an empty result.
  try {
    return plugin::give_block(plugin::encode_plugin_response({}), length);
  } catch (...) {
    *length = 0;
    return nullptr;
  }
}

}  // extern "C"
