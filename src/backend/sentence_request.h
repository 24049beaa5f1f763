// Translating one plug-in request into the backend's "GET Sentence"
// request, and picking the Sentence out of its reply.
#pragma once

#include <cstddef>
#include <string_view>

#include "backend/backend_module.h"
#include "plugin/handoff.h"
#include "plugin/plugin_codec.h"

namespace backend {

// The length of the request text sent for `arguments`.
std::size_t sentence_request_size(const plugin::ArgumentList& arguments);

// Writes the request text sent for `arguments` to `out`, which has room for
// sentence_request_size(arguments) bytes: the first argument is the Event,
// the rest go out as Reference0, Reference1, ...
void compose_sentence_request(const plugin::ArgumentList& arguments, char* out);

// The value of the last "Sentence" header of a backend reply, or empty; the
// view points into `reply`.
std::string_view sentence_in(std::string_view reply);

// Sends the bound backend (if any) the request for the host's request in
// `host_request`, and returns the backend's reply block to be read in
// place. The host's block is freed as soon as the backend's request is
// written, before the backend is called.
plugin::ReceivedBlock ask_sentence(const BackendModule& backend,
                                   plugin::ReceivedBlock& host_request);

}  // namespace backend
