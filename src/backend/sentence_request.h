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
// the view points into `reply`. With `copy_to` (room for reply.size()
// bytes), the Sentence is also copied there, mostly while it is read.
std::string_view sentence_in(std::string_view reply, char* copy_to = nullptr);

// Sends the bound backend (if any) the request for the host's request in
// `host_request`, and returns the backend's reply block to be read in
// place. The backend's request is written while the host's is read; the
// host's block is freed as soon as that is done.
plugin::ReceivedBlock ask_sentence(const BackendModule& backend,
                                   plugin::ReceivedBlock& host_request);

}  // namespace backend
