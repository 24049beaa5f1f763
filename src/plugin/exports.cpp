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
#include "text/text_writer.h"

namespace {

// The module's only state. Its destructor, run when the module is unloaded,
// releases a backend that the host never asked to unload.
backend::BackendModule bound_backend;

}  // namespace

extern "C" {

QB_EXPORT platform::module_bool QB_CDECL load(platform::block_handle block, long length) {
  // A directory that could not be copied must not turn into the empty one,
  // which would send discovery to the current directory.
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
  // Both received blocks are read where they lie: the arguments point into
  // the host's request, the Sentence into the backend's reply. Nothing on the
  // way allocates or throws; the only blocks are the backend's request and
  // the reply returned here.
  plugin::ReceivedBlock host_request(block, *length);
  plugin::ReceivedBlock backend_reply;
  const plugin::ArgumentList arguments = plugin::decode_plugin_request(host_request.text());
  const std::string_view sentence =
      backend::ask_sentence(bound_backend, arguments, host_request, backend_reply);

  text::TextWriter measure;
  plugin::encode_plugin_response(sentence, measure);
  platform::block_handle reply = plugin::new_block(measure.size());
  *length = 0;  // without a block there is nothing to answer with
  if (reply != nullptr) {
    text::TextWriter out(platform::block_bytes(reply));
    plugin::encode_plugin_response(sentence, out);
    *length = static_cast<long>(measure.size());
  }
  return reply;  // the backend's reply block goes only now, with the last view into it
}

}  // extern "C"
