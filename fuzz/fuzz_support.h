// Helpers shared by the fuzz targets: stopping on a broken property, and
// walking a text character by character under the active lead-byte rule.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/platform.h"

// Unlike assert, stays on in every build; libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

namespace fuzz_support {

// True when `byte` starts a character of `text` (read from its start, with
// the end of the view as the end of the text) and equals `wanted`.
inline bool has_character(std::string_view text, char wanted) {
  const bool* lead = platform::lead_bytes().lead;
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == wanted) return true;
    at += (lead[static_cast<unsigned char>(text[at])] && at + 1 < text.size()) ? 2 : 1;
  }
  return false;
}

}  // namespace fuzz_support
