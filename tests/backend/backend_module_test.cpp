// Binding, calling and releasing backends, through the built module.
#include "backend/backend_module.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "support/module_host.h"

namespace {

using namespace testing_support;
using Events = std::vector<FixtureEvent>;

// The three binding messages as they appear after the path.
const std::string load_failed = to_shift_jis(": LoadLibraryで失敗。");
const std::string missing_export =
    to_shift_jis(": load, unload, requestのいずれかがエクスポートされていません。");
const std::string load_refused = to_shift_jis(": load()がFALSEを返しました。");

std::string shown(const std::string& message) {
  return "error - Quillbridge.dll: " + message + "\n";
}

TEST(BackendBinding, BoundBackendGetsDirectoryAndIsReleasedByUnload) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  ModuleHost host;
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(host.unload(), 1);
  EXPECT_EQ(host.unload(), 1);
  EXPECT_EQ(log.events(), (Events{{"recording", "attach", ""},
                                  {"recording", "load", dir.base()},
                                  {"recording", "unload", ""},
                                  {"recording", "detach", ""}}));
}

TEST(BackendBinding, MissingExportFreesWithoutAnyCall) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("no_unload", "satori.dll");
  ModuleHost host;
  StderrCapture errors;
  EXPECT_EQ(host.load(dir.base()), 0);
  EXPECT_EQ(errors.text(), shown(dir.base() + "satori.dll" + missing_export));
  EXPECT_EQ(log.events(), (Events{{"no_unload", "attach", ""}, {"no_unload", "detach", ""}}));
  EXPECT_EQ(host.request(plugin_request({"x"})), plugin_reply(""));
}

TEST(BackendBinding, RefusedLoadIsUnloadedAndReported) {
  for (const std::string fixture : {"refusing", "wide_zero"}) {
    FixtureLog log;
    TempDir dir;
    dir.add_fixture(fixture, "satori.dll");
    ModuleHost host;
    StderrCapture errors;
    EXPECT_EQ(host.load(dir.base()), 0) << fixture;
    EXPECT_EQ(errors.text(), shown(dir.base() + "satori.dll" + load_refused));
    EXPECT_EQ(log.bytes_of("unload").size(), 1u);
    EXPECT_EQ(log.events().back().event, "detach");
    EXPECT_EQ(host.request(plugin_request({"x"})), plugin_reply(""));  // record is empty
  }
}

TEST(BackendBinding, UnloadableFileIsReported) {
  TempDir dir;
  dir.write("satori.dll", "not a module");
  ModuleHost host;
  StderrCapture errors;
  EXPECT_EQ(host.load(dir.base()), 0);
  EXPECT_EQ(errors.text(), shown(dir.base() + "satori.dll" + load_failed));
}

TEST(BackendBinding, FunctionsAreBoundWhenFirstCalled) {
  // The fixture calls, from a function nobody calls, a function defined
  // nowhere; binding everything at load time would refuse it.
  TempDir dir;
  dir.add_fixture("undefined_call", "satori.dll");
  const std::string path = dir.base() + "satori.dll";
  void* eager = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_EQ(eager, nullptr) << "the fixture lost its undefined function";
  if (eager != nullptr) dlclose(eager);
  FixtureLog log;
  ModuleHost host;
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(host.request(plugin_request({"x"})), plugin_reply("from undefined_call"));
}

TEST(BackendBinding, AFailedLoadGivesTheLoadersReason) {
  TempDir dir;
  dir.write("notes.so", "not a module");
  std::string reason;
  EXPECT_EQ(platform::load_module(dir.base() + "notes.so", &reason), nullptr);
  EXPECT_NE(reason.find("notes.so"), std::string::npos) << reason;
}

TEST(BackendBinding, SecondBindReleasesTheFirstBeforeLoading) {
  FixtureLog log;
  TempDir first, second;
  first.add_fixture("recording", "satori.dll");
  second.add_fixture("second", "satori.dll");
  ModuleHost host;
  ASSERT_EQ(host.load(first.base()), 1);
  ASSERT_EQ(host.load(second.base()), 1);
  EXPECT_EQ(host.request(plugin_request({"x"})), plugin_reply("from second"));
  EXPECT_EQ(log.events(), (Events{{"recording", "attach", ""},
                                  {"recording", "load", first.base()},
                                  {"recording", "unload", ""},
                                  {"recording", "detach", ""},
                                  {"second", "attach", ""},
                                  {"second", "load", second.base()},
                                  {"second", "request", "GET Sentence SHIORI/2.5\r\nSender: "
                                   "Quillbridge\r\nCharset: Shift_JIS\r\nEvent: x\r\n\r\n"}}));
}

TEST(BackendBinding, ClosingTheModuleWithoutUnloadReleasesTheBackend) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  {
    ModuleHost host;
    ASSERT_EQ(host.load(dir.base()), 1);
    host.close();  // the host's dlclose, not process exit
    EXPECT_FALSE(module_is_resident());
    const Events events = log.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].event, "unload");
    EXPECT_EQ(events[3].event, "detach");
  }
  // A host that opens the module again gets a fresh one.
  ModuleHost again;
  EXPECT_EQ(again.request(plugin_request({"x"})), plugin_reply(""));
}

TEST(BackendBinding, ExitWithoutUnloadReleasesTheBackendBeforeItsDestructors) {
  // The fixture logs "detach" from a static destructor; its unload must come
  // first, while the backend is still whole.
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  EXPECT_EXIT(
      {
        ModuleHost host;
        if (host.load(dir.base()) != 1) std::_Exit(1);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const Events events = log.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[2].event, "unload");
  EXPECT_EQ(events[3].event, "detach");
}

TEST(BackendBinding, ExitAfterAReloadStillReleasesTheBackendFirst) {
  // The exit handler of the first load is given back at unload; the one the
  // second load files must again come after that backend's destructors.
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  EXPECT_EXIT(
      {
        ModuleHost host;
        if (host.load(dir.base()) != 1 || host.unload() != 1 || host.load(dir.base()) != 1)
          std::_Exit(1);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const Events events = log.events();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[6].event, "unload");
  EXPECT_EQ(events[7].event, "detach");
}

TEST(BackendBinding, ABackendThatExitsInsideACallIsCalledNoMore) {
  // An engine that ends the process from inside its own call may hold its
  // own lock there; an unload from the exit handlers would deadlock, or run
  // a backend whose load never finished. Only its own destructors follow.
  for (const std::string entry : {"load", "request", "unload"}) {
    FixtureLog log;
    log.set_mode("exit-" + entry);
    TempDir dir;
    dir.add_fixture("recording", "satori.dll");
    EXPECT_EXIT(
        {
          ModuleHost host;
          host.load(dir.base());
          host.request(plugin_request({"x"}));
          host.unload();
          std::_Exit(1);
        },
        ::testing::ExitedWithCode(3), "")
        << entry;
    const Events events = log.events();
    ASSERT_GE(events.size(), 2u) << entry;
    EXPECT_EQ(events[events.size() - 2].event, entry);
    EXPECT_EQ(events.back().event, "detach") << entry;
    EXPECT_EQ(log.bytes_of("unload").size(), entry == "unload" ? 1u : 0u) << entry;
  }
}

TEST(BackendBinding, MisbehavingRepliesGiveEmptyText) {
  for (const std::string mode : {"null-block", "negative", "zero"}) {
    FixtureLog log;
    log.set_mode(mode);
    TempDir dir;
    dir.add_fixture("recording", "satori.dll");
    ModuleHost host;
    ASSERT_EQ(host.load(dir.base()), 1);
    EXPECT_EQ(host.request(plugin_request({"x"})), plugin_reply("")) << mode;
    EXPECT_EQ(host.request(plugin_request({"y"})), plugin_reply("")) << mode;
  }
}

TEST(BackendBinding, ReplyCountDecidesHowManyBytesAreRead) {
  FixtureLog log;
  log.set_mode("short");
  // Half of this 54-byte reply ends 13 bytes into the Sentence.
  log.set_reply("S\r\nSentence: abcdefghijklmnopqrstuvwxyz0123456789\r\n\r\n");
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  ModuleHost host;
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(host.request(plugin_request({"x"})), plugin_reply("abcdefghijklm"));
}

// What a diagnostic tool is told while binding: each step in order, the
// module still loaded while its exports are reported, and the message handed
// over instead of shown.
TEST(BackendBinding, ObserverIsToldEachStepAndGetsTheMessageInsteadOfTheUser) {
  struct Steps final : backend::BindingObserver {
    void module_loaded(const std::string&, platform::module_handle module,
                       const std::string&) override {
      said += module != nullptr ? "loaded;" : "not loaded;";
    }
    void entries_found(platform::module_handle module, bool load, bool request,
                       bool unload) override {
      said += std::string("entries ") + (load ? "L" : "-") + (request ? "R" : "-") +
              (unload ? "U" : "-") + ";";
      if (platform::find_entry(module, "request") == nullptr) said += "freed too early;";
    }
    void load_returned(platform::module_bool result) override {
      said += "load " + std::to_string(result) + ";";
    }
    void failed(const std::string& message) override { said += message + ";"; }
    std::string said;
  };
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("refusing", "satori.dll");
  dir.add_fixture("no_unload", "misaka.dll");
  dir.write("kawari.dll", "not a module");
  dir.add_fixture("recording", "aya.dll");
  const std::string base = dir.base();
  struct Case {
    const char* name;
    bool bound;
    std::string said;
  };
  const Case cases[] = {
      {"satori.dll", false,
       "loaded;entries LRU;load 0;" + base + "satori.dll" + load_refused + ";"},
      {"misaka.dll", false, "loaded;entries LR-;" + base + "misaka.dll" + missing_export + ";"},
      {"kawari.dll", false, "not loaded;" + base + "kawari.dll" + load_failed + ";"},
      {"aya.dll", true, "loaded;entries LRU;load 1;"},
  };
  StderrCapture errors;
  for (const Case& c : cases) {
    backend::BackendModule record;
    Steps steps;
    EXPECT_EQ(backend::bind_backend(record, base, c.name, &steps), c.bound) << c.name;
    EXPECT_EQ(steps.said, c.said) << c.name;
  }
  EXPECT_EQ(errors.text(), "") << "no message goes to the user when an observer is given";
}

TEST(BackendBinding, ForwardWithoutBackendIsEmpty) {
  backend::BackendModule none;
  // The block is freed all the same: the sanitizer build reports a leak.
  const platform::ReceivedBlock reply = backend::forward_request(none, platform::new_block(8), 8);
  EXPECT_EQ(reply.text(), "");
}

}  // namespace
