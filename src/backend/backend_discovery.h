// Choosing which file in the base directory is the backend: the settings
// file's "shiori" entry, else the first well-known backend file present.
#pragma once

#include <array>
#include <string>

#include "backend/backend_module.h"

namespace backend {

inline constexpr std::array<const char*, 11> FALLBACK_BACKENDS = {
    "satori.dll", "misaka.dll",  "kawari.dll", "shiori.dll",    "niseshiori.dll", "konoka.dll",
    "hisui.dll",  "nasino.dll", "aya.dll",    "eseshiori.dll", "psyche.dll",
};

// The backend file name the settings of `base_directory` point at (the
// second field of the first line whose first field is "shiori"), or empty.
std::string read_backend_setting(const std::string& base_directory);

// Finds the backend for `base_directory` and binds it; true exactly when
// binding ran and succeeded. Tells the user when no backend file is found.
bool find_backend(BackendModule& backend, const std::string& base_directory);

}  // namespace backend
