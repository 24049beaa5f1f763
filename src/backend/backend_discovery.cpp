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

// Looks at one settings line at a time and stops at the first "shiori"
// entry, so that a huge settings file costs no more than its longest line.
class ShioriEntryFinder final : public files::LineVisitor {
 public:
  bool visit_line(std::string& line) override {
    ++line_number;
    fields_.clear();
    text::split_fields(line, ",", fields_);
    if (fields_.size() < 2 || fields_[0] != "shiori") return true;
    name = fields_[1];
    return false;
  }

  long line_number = 0;
  std::string name;

 private:
  std::vector<std::string> fields_;
};

// Reads the settings entry into `choice`.
void read_settings(const std::string& base_directory, BackendChoice& choice,
                   DiscoveryObserver* observer) {
  for (const char* settings_file : {"descript.txt", "alias.txt"}) {
    const std::string path = base_directory + settings_file;
    ShioriEntryFinder finder;
    const bool opened = files::read_lines(path, finder);
    if (observer != nullptr) observer->settings_file(path, opened);
    if (!opened) continue;
    choice.settings_path = path;
    if (!finder.name.empty()) {
      choice.settings_line = finder.line_number;
      choice.settings_name = finder.name;
      if (observer != nullptr) observer->settings_entry(path, finder.line_number, finder.name);
    }
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
  if (!choice.name.empty()) return bind_backend(backend, base_directory, choice.name);
  platform::show_error(not_found_prefix + base_directory + not_found_suffix);
  return false;
}

}  // namespace backend
