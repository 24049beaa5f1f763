// How quillbridge-host turns bytes into text for a person, and text a person
// typed into the Shift_JIS bytes a module expects.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace host_display {

// How bytes outside ASCII are shown.
enum class Charset {
  escaped,            // as \xNN
  shift_jis_as_utf8,  // Shift_JIS characters converted for a UTF-8 terminal
  as_they_are,        // unchanged, for a console that speaks Shift_JIS itself
};

// True when this build can convert between Shift_JIS and UTF-8.
bool can_convert_shift_jis();

// How Shift_JIS text is shown on standard output and on standard error.
struct StreamCharsets {
  Charset output = Charset::escaped;
  Charset error = Charset::escaped;
};

// The rule of every mode: as it is where the console speaks the system's
// code page (Windows); with --sjis (`shift_jis`), converted wherever it
// goes; else converted on a terminal whose locale speaks UTF-8 when
// `convert_on_terminal` (not --raw), and escaped elsewhere, so that what is
// saved or passed on stays ASCII.
StreamCharsets stream_charsets(bool shift_jis, bool convert_on_terminal);

// `bytes` on one line: CR, LF and tab as \r \n \t, other control bytes as
// \xNN, bytes outside ASCII as `charset` says (with shift_jis_as_utf8, bytes
// that make no Shift_JIS character stay \xNN).
std::string readable(const std::string& bytes, Charset charset);

// The same, broken into screen lines after each LF; always ends in a line
// end, and an empty text shows as "(empty)".
std::string readable_lines(const std::string& bytes, Charset charset);

// A module's message text (Shift_JIS) for a UTF-8 terminal: characters
// converted, line ends and tabs kept, every other byte that makes no
// character shown as \xNN, so nothing after a bad byte is lost.
std::string utf8_from_shift_jis(const std::string& bytes);

// How many bytes at the start of `bytes` make whole Shift_JIS characters:
// all but a lead byte at the very end, whose second byte is still to come.
std::size_t whole_characters(const std::string& bytes);

// Text typed in UTF-8 as code page 932 Shift_JIS. False when it is not
// UTF-8 or holds a character Shift_JIS cannot write.
bool shift_jis_from_utf8(const std::string& utf8, std::string& shift_jis);

// Prints what the tool shows, each line at once, so that everything said
// before a module crashes stays said: --check's headed steps of indented
// lines, and requests and replies.
class Report {
 public:
  explicit Report(host_display::Charset charset, std::FILE* out = stdout)
      : charset_(charset), out_(out) {}

  void heading(const std::string& title) const { write("\n== " + title + "\n"); }
  void line(const std::string& text) const { write("  " + text + "\n"); }
  // Bytes that came from a file or a backend, made readable.
  std::string bytes(std::string_view raw) const {
    return readable(std::string(raw), charset_);
  }
  std::string quoted(std::string_view raw) const {  // "\"" + text: a false -Wrestrict in GCC 12
    return std::string("\"").append(bytes(raw)).append(1, '"');
  }
  void block(const char* title, const std::string& raw) const {
    write("--- " + std::string(title) + " (" + std::to_string(raw.size()) + " bytes)\n" +
          readable_lines(raw, charset_));
  }

 private:
  void write(const std::string& text) const {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

  host_display::Charset charset_;
  std::FILE* out_;
};

}  // namespace host_display
