// Translating one plug-in request into the backend's "GET Sentence"
// request, and picking the Sentence out of its reply.
#pragma once

#include <string_view>

#include "backend/backend_module.h"
#include "plugin/handoff.h"
#include "plugin/plugin_codec.h"
#include "text/text_writer.h"

namespace backend {

// Writes the request text sent for `arguments`: the first is the Event, the
// rest go out as Reference0, Reference1, ... Run it with a counting writer
// to learn the request's size first.
void compose_sentence_request(const plugin::ArgumentList& arguments, text::TextWriter& out);

// The value of the last "Sentence" header of a backend reply, or empty;
// the view points into `reply`.
std::string_view sentence_in(std::string_view reply);

// Asks the bound backend (if any) for the Sentence answering `arguments`,
// which point into `host_request`: that block is freed as soon as the
// backend's request has been written, since nothing reads it any more. The
// backend's reply block is kept in `reply` and the Sentence is a view into
// it, so that it is copied only once, into the answer for the host.
std::string_view ask_sentence(const BackendModule& backend, const plugin::ArgumentList& arguments,
                              plugin::ReceivedBlock& host_request, plugin::ReceivedBlock& reply);

}  // namespace backend
