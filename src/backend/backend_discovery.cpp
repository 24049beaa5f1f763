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

// Looks at one settings line at a time for the first "shiori" and the first
// "shiori.protocol" entry, and stops once it has both, so that a huge
// settings file costs no more than its longest line.
class SettingsEntryFinder final : public files::LineVisitor {
 public:
  bool visit_line(std::string& line) override {
    ++line_number_;
    fields_.clear();
    text::split_fields(line, ",", fields_);
    if (fields_.size() < 2) return true;
    if (name_line == 0 && fields_[0] == "shiori") {
      name = fields_[1];
      name_line = line_number_;
    } else if (protocol_line == 0 && fields_[0] == "shiori.protocol") {
      protocol_value = fields_[1];
      protocol_line = line_number_;
    }
    return name_line == 0 || protocol_line == 0;
  }

  std::string name;
  long name_line = 0;  // 0: no "shiori" entry
  std::string protocol_value;
  long protocol_line = 0;  // 0: no "shiori.protocol" entry

 private:
  long line_number_ = 0;
  std::vector<std::string> fields_;
};

Protocol protocol_named(const std::string& value) {
  if (value == "SHIORI/3.0") return Protocol::shiori_3_0;
  if (value == "SHIORI/2.5") return Protocol::shiori_2_5;
  return Protocol::detect;
}

// Reads the settings entries into `choice`.
void read_settings(const std::string& base_directory, BackendChoice& choice,
                   DiscoveryObserver* observer) {
  for (const char* settings_file : {"descript.txt", "alias.txt"}) {
    const std::string path = base_directory + settings_file;
    SettingsEntryFinder finder;
    const bool opened = files::read_lines(path, finder);
    if (observer != nullptr) observer->settings_file(path, opened);
    if (!opened) continue;
    choice.settings_name = finder.name;
    choice.protocol = protocol_named(finder.protocol_value);
    if (observer != nullptr && finder.name_line != 0)
      observer->settings_entry(path, finder.name_line, finder.name);
    if (observer != nullptr && finder.protocol_line != 0)
      observer->protocol_entry(path, finder.protocol_line, finder.protocol_value, choice.protocol);
    return;
  }
}

bool probe(const std::string& path, DiscoveryObserver* observer) {
  const bool openable = files::file_exists(path);
  if (observer != nullptr) observer->candidate_probed(path, openable);
  return openable;
}

}  // namespace

BackendChoice choose_backend(const std::string& base_directory, DiscoveryObserver* observer) {
  BackendChoice choice;
  read_settings(base_directory, choice, observer);
  if (!choice.settings_name.empty() && probe(base_directory + choice.settings_name, observer)) {
    choice.name = choice.settings_name;
    choice.source = ChoiceSource::settings_entry;
    return choice;
  }
  for (const char* fallback : FALLBACK_BACKENDS) {
    if (probe(base_directory + fallback, observer)) {
      choice.name = fallback;
      choice.source = ChoiceSource::fallback;
      return choice;
    }
  }
  return choice;
}

bool find_backend(BackendModule& backend, const std::string& base_directory) {
  const BackendChoice choice = choose_backend(base_directory);
  if (!choice.name.empty()) {
    if (!bind_backend(backend, base_directory, choice.name)) return false;
    backend.protocol = choice.protocol;
    return true;
  }
  platform::show_error(not_found_prefix + base_directory + not_found_suffix);
  return false;
}

}  // namespace backend
