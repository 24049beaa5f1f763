#include "text/token_cutting.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.h"

namespace text {
namespace {

// The first byte in [from, end) that is the delimiter or a NUL, whether or
// not it begins a character; `end` when there is none. One pass finds both,
// sixteen bytes at a time where the processor allows.
const unsigned char* find_stop(const unsigned char* from, const unsigned char* end,
                               unsigned char delimiter) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i nul = _mm_setzero_si128();
  for (; end - from >= 16; from += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, wanted), _mm_cmpeq_epi8(chunk, nul))));
    if (hits != 0) return from + __builtin_ctz(hits);
  }
#endif
  while (from != end && *from != delimiter && *from != 0) ++from;
  return from;
}

}  // namespace

std::string_view cut_token(const char*& cursor, const char* end, char delimiter) {
  const bool* lead = platform::lead_bytes().lead;
  const auto* const start = reinterpret_cast<const unsigned char*>(cursor);
  const auto* const stop_at = reinterpret_cast<const unsigned char*>(end);
  const auto wanted = static_cast<unsigned char>(delimiter);
  const unsigned char* scan = start;  // always the first byte of a character
  const unsigned char* hit;
  for (;;) {
    hit = find_stop(scan, stop_at, wanted);
    if (hit == stop_at || *hit == 0) break;  // the text ends: a NUL is never a trail byte
    // Rather than walk every character up to the hit, look back from it: the
    // byte after a non-lead byte always begins a character, so the hit does
    // exactly when an even number of lead bytes stands right before it.
    const unsigned char* run = hit;
    while (run > scan && lead[run[-1]]) --run;
    if ((hit - run) % 2 == 0) break;
    // The hit was the second byte of a two-byte character: look on after it.
    scan = hit + 1;
  }
  const bool at_delimiter = hit != stop_at && *hit != 0;
  cursor = reinterpret_cast<const char*>(at_delimiter ? hit + 1 : hit);
  return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(hit - start)};
}

}  // namespace text
