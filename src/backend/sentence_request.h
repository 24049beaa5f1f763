// Translating one plug-in request into the backend's "GET Sentence"
// request, and picking the Sentence out of its reply.
#pragma once

#include <string>
#include <string_view>

#include "backend/backend_module.h"
#include "plugin/plugin_codec.h"

namespace backend {

// The request text sent for `arguments`: the first is the Event, the rest
// go out as Reference0, Reference1, ...
std::string compose_sentence_request(const plugin::ArgumentList& arguments);

// The value of the last "Sentence" header of a backend reply, or empty;
// the view points into `reply`.
std::string_view sentence_in(const std::string& reply);
// The same value as a text of its own.
std::string read_sentence(const std::string& reply);

// Asks the bound backend (if any) for the Sentence answering `arguments`.
// The backend's reply is kept in `reply` and the Sentence is a view into it,
// so that it is copied only once more, into the answer for the host.
std::string_view ask_sentence(const BackendModule& backend, const plugin::ArgumentList& arguments,
                              std::string& reply);

}  // namespace backend
