#include "backend/backend_discovery.h"

#include <vector>

#include "files/settings_file.h"
#include "platform/platform.h"
#include "text/field_splitting.h"

namespace backend {
namespace {

// Shift_JIS texts placed before and after the base directory.
constexpr const char not_found_prefix[] =
    "\x9Ex\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82"
    "\xBD\x81" "B";
constexpr const char not_found_suffix[] =
    "descript.txt\x82\xF0\x90\xDD\x92\xE8\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81" "B";

}  // namespace

std::string read_backend_setting(const std::string& base_directory) {
  std::vector<std::string> lines;
  if (!files::read_lines(lines, base_directory + "descript.txt"))
    files::read_lines(lines, base_directory + "alias.txt");
  for (const std::string& line : lines) {
    std::vector<std::string> fields;
    text::split_fields(line, ",", fields);
    if (fields.size() >= 2 && fields[0] == "shiori") return fields[1];
  }
  return {};
}

bool find_backend(BackendModule& backend, const std::string& base_directory) {
  std::string name = read_backend_setting(base_directory);
  if (name.empty() || !files::file_exists(base_directory + name)) {
    for (const char* fallback : FALLBACK_BACKENDS) {
      if (files::file_exists(base_directory + fallback)) {
        name = fallback;
        break;
      }
    }
  }
  if (!name.empty() && files::file_exists(base_directory + name))
    return bind_backend(backend, base_directory, name);

  platform::show_error(not_found_prefix + base_directory + not_found_suffix);
  return false;
}

}  // namespace backend
