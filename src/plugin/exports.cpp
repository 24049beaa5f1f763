// The module's whole boundary: load, unload and request, called by the
// plug-in host one at a time. Nothing thrown inside may reach the host.
#include <string>

#include "backend/backend_discovery.h"
#include "backend/backend_module.h"
#include "backend/sentence_request.h"
#include "platform/platform.h"
#include "plugin/plugin_codec.h"

namespace {

// The module's only state. Its destructor, run when the module is unloaded,
// releases a backend that the host never asked to unload.
backend::BackendModule bound_backend;

// Filed after each backend's load has accepted, so that at exit() (POSIX)
// it runs before the destructors the backend registered while loading, and
// the backend's unload still finds it whole. An exit() from inside an
// export (the backend's own call, as a rule) releases nothing: see the
// record's destructor.
void release_at_exit(void*) {
  const backend::ReentryGuard guard(bound_backend);
  if (guard.nested()) return;
  backend::release_backend(bound_backend);
}

}  // namespace

extern "C" {

QB_EXPORT platform::module_bool QB_CDECL load(platform::block_handle block, long length) {
  const backend::ReentryGuard guard(bound_backend);
  platform::ReceivedBlock received(block, length);
  // No block, or a count below zero, names no directory at all; reading it
  // as the empty one would send discovery to the current directory.
  if (block == nullptr || length < 0 || guard.nested()) return 0;
  try {
    // Likewise a directory that could not be copied: the copy throws.
    const std::string base_directory(received.text());
    received.release();
    if (!backend::find_backend(bound_backend, base_directory)) return 0;
    platform::add_exit_cleanup(release_at_exit, nullptr);
    return 1;
  } catch (...) {
    return 0;
  }
}

QB_EXPORT platform::module_bool QB_CDECL unload() {
  const backend::ReentryGuard guard(bound_backend);
  if (guard.nested()) return 1;
  try {
    backend::release_backend(bound_backend);
    // What was filed at load now finds nothing bound; running it here gives
    // its room back, so that hosts loading and unloading around every call
    // do not pile up one exit handler each time.
    platform::run_exit_cleanups();
  } catch (...) {
  }
  return 1;
}

QB_EXPORT platform::block_handle QB_CDECL request(platform::block_handle block, long* length) try {
  if (length == nullptr) {
    platform::free_block(block);
    return nullptr;
  }
  // A request that comes back from inside the backend does not reach it:
  // it gets the empty answer.
  const backend::ReentryGuard guard(bound_backend);
  // The host's block is read in place and freed once the backend's request
  // is written (or its reply read, while a retry may need the arguments);
  // the backend's reply is read in place and freed once the host's reply is
  // written. Nothing on the way throws; the only blocks allocated are the
  // backend's request and the host's reply, each exactly as long as its
  // text.
  platform::ReceivedBlock host_request(block, *length);
  backend::SentenceReply reply;
  if (!guard.nested()) {
    const backend::ArgumentList arguments = plugin::decode_plugin_request(host_request.text());
    reply = backend::ask_sentence(bound_backend, arguments, host_request);
  }
  host_request.release();
  const backend::SentenceResult result = backend::result_in(reply.block.text(), reply.form);
  return plugin::encode_plugin_response(result.text, result.utf8, length);
} catch (...) {
  // Should anything on the way throw after all, the host gets no reply, as
  // when no block can be had, and never the exception; its block went with
  // the unwinding.
  if (length != nullptr) *length = 0;
  return nullptr;
}

}  // extern "C"
