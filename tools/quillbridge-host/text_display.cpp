#include "quillbridge-host/text_display.h"

#include <cstdio>

#include "platform/platform.h"
#include "quillbridge-host/platform/host_platform.h"

#if defined(QB_HOST_HAS_ICONV)
#include <iconv.h>
#endif

namespace host_display {
namespace {

// CP932 is Shift_JIS as Windows writes it, with the vendor characters that
// dictionaries do use.
constexpr const char* module_charset = "CP932";

std::string hex_escape(unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  return text;
}

// Converts `in` whole from one character set to another with `converter`
// (opened once, and reset here); false when any of it does not convert.
#if defined(QB_HOST_HAS_ICONV)
bool convert(iconv_t converter, const std::string& in, std::string& out) {
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  std::string source = in;
  // Four bytes out per byte in covers both directions used here.
  std::string target(source.size() * 4 + 4, '\0');
  char* from_at = source.data();
  char* to_at = target.data();
  std::size_t from_left = source.size(), to_left = target.size();
  if (iconv(converter, &from_at, &from_left, &to_at, &to_left) == static_cast<std::size_t>(-1) ||
      from_left != 0)
    return false;
  target.resize(target.size() - to_left);
  out = target;
  return true;
}

bool to_utf8(const std::string& in, std::string& out) {
  static const iconv_t converter = iconv_open("UTF-8", module_charset);
  return convert(converter, in, out);
}

bool to_shift_jis(const std::string& in, std::string& out) {
  static const iconv_t converter = iconv_open(module_charset, "UTF-8");
  return convert(converter, in, out);
}
#else
bool to_utf8(const std::string&, std::string&) { return false; }
bool to_shift_jis(const std::string&, std::string&) { return false; }
#endif

// Shows `bytes`; `keep_line_ends` leaves CR, LF and tab as they are instead
// of writing \r \n \t.
std::string show(const std::string& bytes, Charset charset, bool keep_line_ends) {
  const platform::LeadByteSet& lead = platform::lead_bytes();
  std::string shown;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\r' || byte == '\n' || byte == '\t') {
      if (keep_line_ends)
        shown += static_cast<char>(byte);
      else
        shown += byte == '\r' ? "\\r" : byte == '\n' ? "\\n" : "\\t";
    } else if (byte >= 0x20 && byte < 0x7F) {
      shown += static_cast<char>(byte);
    } else if (byte >= 0x80 && charset == Charset::as_they_are) {
      shown += static_cast<char>(byte);
    } else if (byte >= 0x80 && charset == Charset::shift_jis_as_utf8) {
      // A lead byte takes the next byte with it, whatever that byte is.
      const std::size_t size = lead.lead[byte] && i + 1 < bytes.size() ? 2 : 1;
      std::string converted;
      if (to_utf8(bytes.substr(i, size), converted)) {
        shown += converted;
        i += size - 1;
      } else {
        shown += hex_escape(byte);
      }
    } else {
      shown += hex_escape(byte);
    }
  }
  return shown;
}

}  // namespace

bool can_convert_shift_jis() {
  std::string converted;
  return to_utf8("\x82\xA0", converted);
}

StreamCharsets stream_charsets(bool shift_jis, bool convert_on_terminal) {
  if (host_system::console_speaks_ansi_text()) return {Charset::as_they_are, Charset::as_they_are};
  if (shift_jis) return {Charset::shift_jis_as_utf8, Charset::shift_jis_as_utf8};
  const auto on = [&](host_system::StandardStream stream) {
    return convert_on_terminal && host_system::is_utf8_terminal(stream) && can_convert_shift_jis()
               ? Charset::shift_jis_as_utf8
               : Charset::escaped;
  };
  return {on(host_system::StandardStream::output), on(host_system::StandardStream::error)};
}

std::string readable(const std::string& bytes, Charset charset) {
  return show(bytes, charset, false);
}

std::string readable_lines(const std::string& bytes, Charset charset) {
  if (bytes.empty()) return "(empty)\n";
  std::string shown;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    shown += readable(bytes.substr(start, end - start), charset) + "\n";
    start = end;
  }
  return shown;
}

std::string utf8_from_shift_jis(const std::string& bytes) {
  return show(bytes, Charset::shift_jis_as_utf8, true);
}

std::size_t whole_characters(const std::string& bytes) {
  const platform::LeadByteSet& lead = platform::lead_bytes();
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t size = lead.lead[static_cast<unsigned char>(bytes[i])] ? 2 : 1;
    if (i + size > bytes.size()) break;
    i += size;
  }
  return i;
}

bool shift_jis_from_utf8(const std::string& utf8, std::string& shift_jis) {
  return to_shift_jis(utf8, shift_jis);
}

}  // namespace host_display
