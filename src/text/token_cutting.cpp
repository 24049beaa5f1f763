#include "text/token_cutting.h"

namespace text {

std::string_view cut_token(const char*& cursor, const char* end, char delimiter) {
  reading::Text text{cursor, end};
  const std::string_view token = reading::cut<false>(platform::lead_bytes().lead, text, delimiter);
  cursor = text.cursor;
  return token;
}

}  // namespace text
