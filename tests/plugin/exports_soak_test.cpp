// A long run of requests through the built module and a backend: nothing
// may pile up. Bounded by count and by time, so it always ends by itself.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "support/module_host.h"

namespace {

using namespace testing_support;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers' own bookkeeping grows with every allocation, so resident
// memory says nothing there; a short run still lets LeakSanitizer look.
constexpr long soak_requests = 20'000;
constexpr bool check_resident = false;
constexpr long load_unload_pairs = 1'000;
constexpr bool check_heap = false;  // the sanitizers keep their own heap
#else
constexpr long soak_requests = 1'000'000;
constexpr bool check_resident = true;
constexpr long load_unload_pairs = 12'000;
constexpr bool check_heap = true;
#endif
constexpr auto soak_time_limit = std::chrono::seconds(25);
constexpr long resident_margin = 1 << 20;

// The recording backend as the fallback name, with no log file, so that it
// records nothing to disk, and answering as it does by default.
void add_quiet_backend(TempDir& dir) {
  unsetenv("QB_FIXTURE_LOG");
  unsetenv("QB_FIXTURE_REPLY");
  unsetenv("QB_FIXTURE_MODE");
  dir.add_fixture("recording", "satori.dll");
}

long resident_bytes() {
  long pages = 0, resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

TEST(ExportsSoak, MillionRequestsKeepResidentMemoryFlat) {
  TempDir dir;
  add_quiet_backend(dir);
  ModuleHost host;
  ASSERT_EQ(host.load(dir.base()), 1);

  const std::string request = plugin_request({"greet", "World", std::string(100, 'x')});
  const std::string expected = plugin_reply("from recording");
  const auto deadline = std::chrono::steady_clock::now() + soak_time_limit;
  long resident_after_warm_up = 0, done = 0, wrong = 0;
  for (; done < soak_requests; ++done) {
    if (host.request(request) != expected) ++wrong;
    if (done == 999) resident_after_warm_up = resident_bytes();
    if (done % 4096 == 0 && std::chrono::steady_clock::now() > deadline) break;
  }
  const long resident_at_end = resident_bytes();
  EXPECT_EQ(host.unload(), 1);

  EXPECT_EQ(wrong, 0);
  EXPECT_GT(done, 1000);
  std::printf("soak: %ld requests, resident %ld -> %ld bytes\n", done, resident_after_warm_up,
              resident_at_end);
  if (check_resident) {
    EXPECT_LE(resident_at_end, resident_after_warm_up + resident_margin);
  }
}

// Hosts that start a plug-in around every call load and unload it that often;
// nothing the module files per load (its exit clean-up included) may stay.
TEST(ExportsSoak, LoadUnloadPairsKeepTheHeapFlat) {
  TempDir dir;
  add_quiet_backend(dir);
  ModuleHost host;
  constexpr long warm_up = 100;
  std::size_t heap_after_warm_up = 0;
  long refused = 0;
  for (long done = 0; done < load_unload_pairs; ++done) {
    if (done == warm_up) heap_after_warm_up = mallinfo2().uordblks;
    if (host.load(dir.base()) != 1) ++refused;
    if (host.unload() != 1) ++refused;
  }
  const std::size_t heap_at_end = mallinfo2().uordblks;
  EXPECT_EQ(refused, 0);
  std::printf("load/unload: %ld pairs, heap in use %zu -> %zu bytes\n", load_unload_pairs,
              heap_after_warm_up, heap_at_end);
  if (check_heap) {
    EXPECT_LE(heap_at_end, heap_after_warm_up + (64u << 10));
  }
}

}  // namespace
