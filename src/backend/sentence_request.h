// Translating one plug-in request into the backend's "GET Sentence"
// request, and picking the Sentence out of its reply.
#pragma once

#include <string>

#include "backend/backend_module.h"
#include "plugin/plugin_codec.h"

namespace backend {

// The request text sent for `arguments`: the first is the Event, the rest
// go out as Reference0, Reference1, ...
std::string compose_sentence_request(const plugin::ArgumentList& arguments);

// The value of the last "Sentence" header of a backend reply, or empty.
std::string read_sentence(const std::string& reply);

// Asks the bound backend (if any) for the Sentence answering `arguments`.
std::string ask_sentence(const BackendModule& backend, const plugin::ArgumentList& arguments);

}  // namespace backend
