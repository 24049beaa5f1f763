// How quillbridge-host --check reports: headed steps of indented lines,
// with every byte from a file or a backend shown the way the rest of the
// tool shows it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "quillbridge-host/text_display.h"

namespace host_check {

// Prints the steps of one check, each line at once, so that everything
// said before a backend crashes stays said.
class Report {
 public:
  explicit Report(host_display::Charset charset, std::FILE* out = stdout)
      : charset_(charset), out_(out) {}

  void heading(const std::string& title) const { write("\n== " + title + "\n"); }
  void line(const std::string& text) const { write("  " + text + "\n"); }
  // Bytes that came from a file or a backend, made readable.
  std::string bytes(std::string_view raw) const {
    return host_display::readable(std::string(raw), charset_);
  }
  std::string quoted(std::string_view raw) const {
    // Built up in steps: '"' + text trips a false -Wrestrict in GCC 12 at -O2.
    std::string text = "\"";
    text += bytes(raw);
    text += '"';
    return text;
  }
  void block(const char* title, const std::string& raw) const {
    write("--- " + std::string(title) + " (" + std::to_string(raw.size()) + " bytes)\n" +
          host_display::readable_lines(raw, charset_));
  }
 private:
  void write(const std::string& text) const {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

  host_display::Charset charset_;
  std::FILE* out_;
};

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
