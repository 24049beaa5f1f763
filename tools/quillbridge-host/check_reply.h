// The second half of quillbridge-host --check: a backend's reply read the
// way the module reads it, and why it gave no Sentence when it gave none.
#pragma once

#include <string>

#include "quillbridge-host/check_report.h"

namespace host_check {

// Shows the status line and the headers the module takes from `reply`,
// then the Sentence and the header it came from, or why there is none.
// True when a Sentence came back.
bool explain_reply(const std::string& reply, const Report& report);

}  // namespace host_check
