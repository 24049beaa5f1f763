// Backends that answer badly or slowly, through the built module. Each odd
// reply must give a defined Result, and the very next request to a backend
// that behaves again must come through whole.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "support/module_host.h"

namespace {

using namespace testing_support;

const std::string good_reply = plugin_reply("from recording");

std::string huge_sentence() {
  std::string sentence;
  for (std::size_t i = 0; i < (6u << 20); ++i) sentence += static_cast<char>('a' + i % 26);
  return sentence;
}

TEST(MisbehavingBackend, OddRepliesGiveDefinedResultsAndLeaveNoTrace) {
  const struct {
    const char* mode;
    std::string sentence;
  } cases[] = {
      {"null-block", ""},
      {"negative", ""},
      {"zero", ""},
      {"no-header", ""},
      // Scanning stops at a NUL, as everywhere else in the module.
      {"nul-sentence", "a"},
      // A CR that does not stand right before the LF is part of the text.
      {"lone-cr", "a\rb\r"},
      {"huge", huge_sentence()},
  };
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  ModuleHost host;
  ASSERT_EQ(host.load(dir.base()), 1);
  for (const auto& c : cases) {
    log.set_mode(c.mode);
    EXPECT_EQ(host.request(plugin_request({"odd"})), plugin_reply(c.sentence)) << c.mode;
    unsetenv("QB_FIXTURE_MODE");
    EXPECT_EQ(host.request(plugin_request({"after", c.mode})), good_reply) << c.mode;
  }
  EXPECT_EQ(host.unload(), 1);
  // Every request reached the backend, none was lost or doubled.
  EXPECT_EQ(log.bytes_of("request").size(), 2 * std::size(cases));
  EXPECT_EQ(log.bytes_of("unload").size(), 1u);
}

TEST(MisbehavingBackend, SlowLoadAndRequestAreWaitedFor) {
  using clock = std::chrono::steady_clock;
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  ModuleHost host;

  log.set_mode("slow-load");
  auto start = clock::now();
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_GE(clock::now() - start, std::chrono::milliseconds(200));

  log.set_mode("slow-request");
  start = clock::now();
  EXPECT_EQ(host.request(plugin_request({"slow"})), good_reply);
  EXPECT_GE(clock::now() - start, std::chrono::milliseconds(200));

  unsetenv("QB_FIXTURE_MODE");
  EXPECT_EQ(host.request(plugin_request({"quick"})), good_reply);
  EXPECT_EQ(log.bytes_of("request").size(), 2u);
}

}  // namespace
