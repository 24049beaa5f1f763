#include "quillbridge-host/text_display.h"

#include <cstdio>

#if defined(QB_HOST_HAS_ICONV)
#include <iconv.h>
#endif

namespace host_display {
namespace {

std::string hex_escape(unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  return text;
}

bool is_lead_byte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The UTF-8 of one Shift_JIS character, or empty when it is not one.
std::string shift_jis_character(const std::string& character) {
#if defined(QB_HOST_HAS_ICONV)
  // CP932 is Shift_JIS as Windows writes it, with the vendor characters
  // that dictionaries do use.
  iconv_t converter = iconv_open("UTF-8", "CP932");
  if (converter == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in = character;
  std::string out(16, '\0');
  char* from = in.data();
  char* to = out.data();
  std::size_t from_left = in.size(), to_left = out.size();
  const bool ok = iconv(converter, &from, &from_left, &to, &to_left) != static_cast<std::size_t>(-1) &&
                  from_left == 0;
  iconv_close(converter);
  if (!ok) return {};
  out.resize(out.size() - to_left);
  return out;
#else
  (void)character;
  return {};
#endif
}

}  // namespace

bool can_convert_shift_jis() { return !shift_jis_character("\x82\xA0").empty(); }

std::string readable(const std::string& bytes, bool shift_jis) {
  std::string shown;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (byte >= 0x20 && byte < 0x7F) {
      shown += static_cast<char>(byte);
    } else if (shift_jis && byte >= 0x80) {
      // A lead byte takes the next byte with it, whatever that byte is.
      const std::size_t size = is_lead_byte(byte) && i + 1 < bytes.size() ? 2 : 1;
      const std::string converted = shift_jis_character(bytes.substr(i, size));
      if (converted.empty()) {
        shown += hex_escape(byte);
      } else {
        shown += converted;
        i += size - 1;
      }
    } else {
      shown += hex_escape(byte);
    }
  }
  return shown;
}

std::string readable_lines(const std::string& bytes, bool shift_jis) {
  if (bytes.empty()) return "(empty)\n";
  std::string shown;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    shown += readable(bytes.substr(start, end - start), shift_jis) + "\n";
    start = end;
  }
  return shown;
}

}  // namespace host_display
