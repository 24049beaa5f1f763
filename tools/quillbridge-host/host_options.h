// What the command line asks of quillbridge-host, read by one parser for
// every mode (quillbridge_host.cpp).
#pragma once

#include <string>
#include <vector>

#include "quillbridge-host/text_display.h"

namespace host_options {

enum class Mode { send_requests, check, show_help, show_version };

struct Options {
  Mode mode = Mode::send_requests;
  bool check = false;          // --check, also with --help
  std::string module_path;     // MODULE; not for --check
  std::string folder;          // DIRECTORY or FOLDER, with a separator at its end
  std::vector<std::string> arguments;  // what the request carries, in Shift_JIS
  std::string request_file;    // empty: none; "-": standard input
  bool interactive = false;
  bool raw = false;
  // Typed lines are converted to Shift_JIS (--sjis, where terminals speak UTF-8).
  bool convert_typed = false;
  int timeout_seconds = 10;    // --check: for each call into the backend; 0: none
  // How bytes outside ASCII are shown on standard output, and how the
  // module's messages on standard error; follow from the options, the
  // system and where each stream goes.
  host_display::Charset charset = host_display::Charset::escaped;
  host_display::Charset message_charset = host_display::Charset::escaped;
};

// Exit codes that every mode shares.
inline constexpr int exit_usage = 2;
inline constexpr int exit_module_died = 4;  // it crashed, ended the process or hung

}  // namespace host_options
