// quillbridge-host --check: for a folder whose results come back empty.
// Walks through what the module does with the folder, with the module's own
// routines, and says at each step what happened and why.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "backend/backend_module.h"
#include "quillbridge-host/module_child.h"
#include "quillbridge-host/text_display.h"

namespace host_check {

// Exit codes of the check, kept stable for scripts and the readmes; 2 is a
// usage error, 4 host_child::exit_module_died.
inline constexpr int exit_sentence = 0;    // a Sentence came back
inline constexpr int exit_no_backend = 1;  // no backend found, or binding failed
inline constexpr int exit_no_sentence = 3; // the backend answered without a Sentence

// The first `size` bytes of the file at `path` (fewer when it is shorter or
// cannot be read).
std::string file_head(const std::string& path, std::size_t size);

// The check's steps on `folder` (with a separator at its end), reported on
// `out` with Shift_JIS shown as `charset` says: discovery, binding and,
// given `arguments` (EVENT, REFERENCE...), one request; the backend is
// released before it returns. Runs in the child; returns the exit code.
int check_steps(const std::string& folder, const std::vector<std::string>& arguments,
                host_display::Charset charset, std::FILE* out);

// How the reply being read was asked for: in which form, whether a settings
// line set it, and whether a 400 to the first request brought this one.
struct Asking {
  backend::Protocol form = backend::Protocol::shiori_2_5;
  bool set_by_line = false;
  bool retried = false;
};

// Shows the status line and the headers the module takes from `reply`,
// then the result (Sentence or Value) and the header it came from, or why
// there is none. True when a result came back. (check_reply.cpp)
bool explain_reply(const std::string& reply, const Asking& asking,
                   const host_display::Report& report);

// The exit code once the child has ended, after saying how the backend
// ended it when it did not return (it crashed, ended the process or hung).
int check_result(const host_child::ChildOutcome& outcome, int timeout_seconds);

// ASCII letters compared without regard to case; other bytes as they are.
inline bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Without the spaces and tabs at either end.
inline std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace host_check
