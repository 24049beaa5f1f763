// Backends that answer badly or slowly, or call back into the module,
// through the built module. Each odd reply must give a defined Result, and
// the very next request to a backend that behaves again must come through
// whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>

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

TEST(MisbehavingBackend, CallsBackIntoTheModuleChangeNothing) {
  // Real engines load their own plug-ins, which may be this module: from
  // inside a call to the backend, load answers 0 without discovery, unload 1
  // without releasing, and request the empty reply without the backend.
  const std::map<std::string, std::string> answers = {
      {"load", "0"}, {"unload", "1"}, {"request", plugin_reply("")}};
  for (const std::string callback : {"load:load", "load:unload", "request:unload",
                                     "unload:unload", "request:load", "request:request"}) {
    FixtureLog log;
    setenv("QB_FIXTURE_CALLBACK", callback.c_str(), 1);
    setenv("QB_FIXTURE_MODULE", QB_MODULE_PATH, 1);
    TempDir dir;
    dir.add_fixture("recording", "satori.dll");
    {
      ModuleHost host;
      StderrCapture errors;
      EXPECT_EQ(host.load(dir.base()), 1) << callback;
      EXPECT_EQ(host.request(plugin_request({"outer"})), good_reply) << callback;
      EXPECT_EQ(host.unload(), 1) << callback;
      EXPECT_EQ(errors.text(), "") << callback;
    }
    unsetenv("QB_FIXTURE_CALLBACK");
    unsetenv("QB_FIXTURE_MODULE");
    const std::string export_called = callback.substr(callback.find(':') + 1);
    const std::string entry = callback.substr(0, callback.find(':'));
    // Each entry ran once, in order, and the callback came from inside it.
    std::vector<std::string> order;
    for (const FixtureEvent& e : log.events()) {
      order.push_back(e.event);
      if (e.event == "callback-" + export_called) {
        EXPECT_EQ(e.bytes, answers.at(export_called)) << callback;
      }
    }
    std::vector<std::string> expected = {"attach", "load", "request", "unload", "detach"};
    expected.insert(std::find(expected.begin(), expected.end(), entry) + 1,
                    "callback-" + export_called);
    EXPECT_EQ(order, expected) << callback;
  }
}

}  // namespace
