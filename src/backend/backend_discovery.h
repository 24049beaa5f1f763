// Choosing which file in the base directory is the backend: the settings
// file's "shiori" entry, else the first well-known backend file present;
// and which request it is sent, by the settings file's "shiori.protocol"
// entry.
// The choice is made apart from the binding, and reports each step it takes
// to an optional observer, so that a diagnostic tool can explain it.
#pragma once

#include <array>
#include <string>

#include "backend/backend_module.h"

namespace backend {

inline constexpr std::array<const char*, 11> FALLBACK_BACKENDS = {
    "satori.dll", "misaka.dll",  "kawari.dll", "shiori.dll",    "niseshiori.dll", "konoka.dll",
    "hisui.dll",  "nasino.dll", "aya.dll",    "eseshiori.dll", "psyche.dll",
};

// Where the chosen name came from.
enum class ChoiceSource { settings_entry, fallback, none };

// What discovery decided for a base directory.
struct BackendChoice {
  std::string settings_name;  // the file the "shiori" entry names; empty when none
  std::string name;           // the backend file chosen; empty when none is openable
  ChoiceSource source = ChoiceSource::none;
  Protocol protocol = Protocol::detect;  // as the "shiori.protocol" entry sets it
};

// Told each step of discovery as it happens. Every method does nothing
// unless overridden.
class DiscoveryObserver {
 public:
  // A settings file was tried: base + "descript.txt", then (only when that
  // one could not be opened) base + "alias.txt".
  virtual void settings_file(const std::string& /*path*/, bool /*opened*/) {}
  // Line `line` of the settings file at `path` names the backend file `name`.
  // Reading stops here; no later line is looked at.
  virtual void settings_entry(const std::string& /*path*/, long /*line*/,
                              const std::string& /*name*/) {}
  // Line `line` of the settings file at `path` is its first
  // "shiori.protocol" entry, whose value `value` sets `protocol`: detect for
  // a value other than "SHIORI/3.0" and "SHIORI/2.5", which is ignored.
  virtual void protocol_entry(const std::string& /*path*/, long /*line*/,
                              const std::string& /*value*/, Protocol /*protocol*/) {}
  // A candidate file was probed: the settings entry's first, then the
  // fallbacks in table order until one is openable.
  virtual void candidate_probed(const std::string& /*path*/, bool /*openable*/) {}

 protected:
  ~DiscoveryObserver() = default;
};

// Decides which backend file of `base_directory` to bind and how to ask
// it, without binding, loading or showing anything. Holds one settings line
// at a time.
BackendChoice choose_backend(const std::string& base_directory,
                             DiscoveryObserver* observer = nullptr);

// Chooses the backend for `base_directory` and binds it; true exactly when
// binding ran and succeeded. Tells the user when no backend file is found.
bool find_backend(BackendModule& backend, const std::string& base_directory);

}  // namespace backend
