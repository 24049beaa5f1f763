#include "text/stop_search.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace text {
namespace {

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) inline __m256i load(const char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}
__attribute__((target("avx2"))) inline void store(char* at, __m256i bytes) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), bytes);
}

// With AVX2: 128 bytes a round while no stop is among them, copying each
// round as it goes, so that the search costs about what the copy alone
// does; then 32 bytes at a time to place the stop.
__attribute__((target("avx2"))) const char* find_stop_avx2(const char* from, const char* end,
                                                          char delimiter, char* copy_to) {
  const __m256i pattern = _mm256_set1_epi8(delimiter);
  const __m256i zero = _mm256_setzero_si256();
  for (; end - from >= 128; from += 128) {
    const __m256i a = load(from), b = load(from + 32), c = load(from + 64), d = load(from + 96);
    const __m256i first_half =
        _mm256_or_si256(_mm256_cmpeq_epi8(a, pattern), _mm256_cmpeq_epi8(b, pattern));
    const __m256i second_half =
        _mm256_or_si256(_mm256_cmpeq_epi8(c, pattern), _mm256_cmpeq_epi8(d, pattern));
    const __m256i delimiters = _mm256_or_si256(first_half, second_half);
    // A NUL among them makes the smallest byte zero.
    const __m256i smallest = _mm256_min_epu8(_mm256_min_epu8(a, b), _mm256_min_epu8(c, d));
    const __m256i stops = _mm256_or_si256(delimiters, _mm256_cmpeq_epi8(smallest, zero));
    if (!_mm256_testz_si256(stops, stops)) break;
    if (copy_to != nullptr) {
      store(copy_to, a);
      store(copy_to + 32, b);
      store(copy_to + 64, c);
      store(copy_to + 96, d);
      copy_to += 128;
    }
  }
  for (; end - from >= 32; from += 32) {
    const __m256i bytes = load(from);
    const __m256i stops =
        _mm256_or_si256(_mm256_cmpeq_epi8(bytes, pattern), _mm256_cmpeq_epi8(bytes, zero));
    const auto marks = static_cast<std::uint32_t>(_mm256_movemask_epi8(stops));
    if (marks != 0) {
      const int before = std::countr_zero(marks);
      if (copy_to != nullptr) std::memcpy(copy_to, from, static_cast<std::size_t>(before));
      return from + before;
    }
    if (copy_to != nullptr) {
      store(copy_to, bytes);
      copy_to += 32;
    }
  }
  return find_stop(from, end, delimiter, copy_to);  // under 32 bytes are left
}
#endif

}  // namespace

// One slice at a time, so that the second search and the copy find the
// slice in the nearest cache.
const char* find_stop_by_slices(const char* from, const char* end, char delimiter, char* copy_to) {
  constexpr std::ptrdiff_t slice = 4096;
  while (from < end) {
    const std::size_t length = static_cast<std::size_t>(end - from < slice ? end - from : slice);
    const auto* nul = static_cast<const char*>(std::memchr(from, '\0', length));
    const std::size_t searched = nul != nullptr ? static_cast<std::size_t>(nul - from) : length;
    const auto* hit = static_cast<const char*>(std::memchr(from, delimiter, searched));
    const char* stop = hit != nullptr ? hit : from + searched;
    if (copy_to != nullptr) {
      std::memcpy(copy_to, from, static_cast<std::size_t>(stop - from));
      copy_to += stop - from;
    }
    if (stop != from + length) return stop;
    from += length;
  }
  return end;
}

const char* find_stop_beyond(const char* from, const char* end, char delimiter, char* copy_to) {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("avx2")) return find_stop_avx2(from, end, delimiter, copy_to);
#endif
  return find_stop_by_slices(from, end, delimiter, copy_to);
}

}  // namespace text
