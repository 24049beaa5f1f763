// Finding the backend in a base directory, through the built module.
#include "backend/backend_discovery.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/test_hooks.h"
#include "support/module_host.h"

namespace {

using namespace testing_support;

// Which fixture answered: each replies "from <name>".
std::string bound_fixture(ModuleHost& host) {
  const std::string reply = host.request(plugin_request({"who"}));
  const std::string prefix = plugin_reply("").substr(0, 46) + "from ";
  if (reply.rfind(prefix, 0) != 0) return "";
  return reply.substr(prefix.size(), reply.size() - prefix.size() - 4);
}

const std::string already_loaded = to_shift_jis(
    ": 既に使用中か、Quillbridge自身です。Quillbridgeと栞は専用のフォルダに置いてください。");

class Discovery : public ::testing::Test {
 protected:
  FixtureLog log;
  TempDir dir;
  ModuleHost host;
};

TEST_F(Discovery, SettingsEntryWinsOverFallbacks) {
  dir.add_fixture("second", "satori.dll");
  dir.add_fixture("recording", "mine.so");
  dir.write("descript.txt", "name,x\r\nshiori,mine.so\r\n");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");

  // The entry on the first line of a file saved with a byte order mark.
  dir.write("descript.txt", "\xEF\xBB\xBFshiori,mine.so\r\n");
  EXPECT_EQ(backend::choose_backend(dir.base()).settings_name, "mine.so");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");
}

TEST_F(Discovery, AliasFileOnlyWhenDescriptCannotBeOpened) {
  dir.add_fixture("recording", "a.so");
  dir.add_fixture("second", "b.so");
  dir.write("alias.txt", "shiori,b.so\n");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "second");

  // A descript.txt that names nothing does not send discovery to alias.txt.
  dir.write("descript.txt", "charset,Shift_JIS\n");
  dir.add_fixture("recording", "kawari.dll");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");

  // Nor does a directory of that name count as a settings file.
  std::filesystem::remove(dir.path() / "descript.txt");
  std::filesystem::create_directory(dir.path() / "descript.txt");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "second");
}

TEST_F(Discovery, NamesAreTakenUntrimmedAndEmptyFieldsDropped) {
  dir.add_fixture("recording", " spaced.so");
  dir.write("descript.txt", "shiori, spaced.so\n");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");

  dir.add_fixture("second", "plain.so");
  dir.write("descript.txt", "shiori,,plain.so\n");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "second");
}

TEST_F(Discovery, ShioriKeyIsExactAndNeedsASecondField) {
  dir.add_fixture("recording", "wanted.so");
  dir.add_fixture("second", "other.so");
  dir.write("descript.txt", "Shiori,other.so\nshiori\nshiori,\n shiori,other.so\nshiori,wanted.so\n");
  EXPECT_EQ(backend::choose_backend(dir.base()).settings_name, "wanted.so");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");
}

TEST_F(Discovery, FirstEntryWinsThenFallbacksInTableOrder) {
  dir.add_fixture("recording", "aya.dll");
  dir.add_fixture("second", "kawari.dll");
  dir.add_fixture("recording", "late.so");
  dir.write("descript.txt", "shiori,missing.so\nshiori,late.so\n");
  ASSERT_EQ(host.load(dir.base()), 1);
  EXPECT_EQ(bound_fixture(host), "second");  // kawari.dll comes before aya.dll
}

TEST_F(Discovery, BaseWithoutSeparatorIsJoinedDirectly) {
  // "<dir>/plug" + "satori.dll" names "<dir>/plugsatori.dll", beside "plug".
  dir.add_fixture("recording", "plugsatori.dll");
  ASSERT_EQ(host.load((dir.path() / "plug").string()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");
}

TEST_F(Discovery, NotFoundMessageAndEarlierBackendKept) {
  dir.add_fixture("recording", "satori.dll");
  ASSERT_EQ(host.load(dir.base()), 1);

  TempDir empty;
  StderrCapture errors;
  EXPECT_EQ(host.load(empty.base()), 0);
  EXPECT_EQ(errors.text(), "error - Quillbridge.dll: " + to_shift_jis("栞が見つかりませんでした。") +
                               empty.base() + to_shift_jis("descript.txtを設定してください。") +
                               "\n");
  EXPECT_EQ(bound_fixture(host), "recording");
  EXPECT_TRUE(log.bytes_of("unload").empty());
}

TEST_F(Discovery, NulInBaseDirectoryFindsNothing) {
  dir.add_fixture("recording", "satori.dll");
  StderrCapture errors;
  EXPECT_EQ(host.load(dir.base() + std::string(1, '\0')), 0);
  // The message stops where the box would stop: at the NUL.
  EXPECT_EQ(errors.text(), "error - Quillbridge.dll: " + to_shift_jis("栞が見つかりませんでした。") +
                               dir.base() + "\n");
}

TEST_F(Discovery, ModuleItselfAndFilesLoadedAlreadyAreNotBound) {
  // The settings name this very module (through a link to its file).
  std::filesystem::create_symlink(QB_MODULE_PATH, dir.path() / "Quillbridge.so");
  dir.write("descript.txt", "shiori,Quillbridge.so\n");
  {
    StderrCapture errors;
    EXPECT_EQ(host.load(dir.base()), 0);
    EXPECT_EQ(errors.text(), "error - Quillbridge.dll: " + dir.base() + "Quillbridge.so" +
                                 already_loaded + "\n");
  }

  // The host runs the engine the settings name: the module must not touch it.
  TempDir ghost;
  ghost.add_fixture("recording", "satori.dll");
  void* engine = dlopen((ghost.path() / "satori.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(engine, nullptr);
  {
    StderrCapture errors;
    EXPECT_EQ(host.load(ghost.base()), 0);
    EXPECT_EQ(errors.text(),
              "error - Quillbridge.dll: " + ghost.base() + "satori.dll" + already_loaded + "\n");
  }
  EXPECT_EQ(host.unload(), 1);
  EXPECT_EQ(log.events(), (std::vector<FixtureEvent>{{"recording", "attach", ""}}));
  dlclose(engine);

  // The module's own backend is released before the check, so loading the
  // same directory again rebinds it.
  ASSERT_EQ(host.load(ghost.base()), 1);
  ASSERT_EQ(host.load(ghost.base()), 1);
  EXPECT_EQ(bound_fixture(host), "recording");
}

TEST_F(Discovery, PipesAndDevicesReadAsAbsentWithoutBlocking) {
  ASSERT_EQ(mkfifo((dir.path() / "descript.txt").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir.path() / "alias.txt");
  ASSERT_EQ(mkfifo((dir.path() / "satori.dll").c_str(), 0600), 0);
  dir.add_fixture("recording", "misaka.dll");
  alarm(20);  // a hang fails the run instead of stalling it
  EXPECT_EQ(host.load(dir.base()), 1);
  alarm(0);
  EXPECT_EQ(bound_fixture(host), "recording");
}

// Records what discovery reports, one line per step.
struct StepLog : backend::DiscoveryObserver {
  std::vector<std::string> steps;
  void settings_file(const std::string& path, bool opened) override {
    steps.push_back("settings " + path + (opened ? " opened" : " absent"));
  }
  void settings_entry(const std::string& path, long line, const std::string& name) override {
    steps.push_back("entry " + path + ":" + std::to_string(line) + " " + name);
  }
  void protocol_entry(const std::string& path, long line, const std::string& value,
                      backend::Protocol protocol) override {
    steps.push_back("protocol " + path + ":" + std::to_string(line) + " " + value +
                    (protocol == backend::Protocol::detect ? " ignored" : ""));
  }
  void candidate_probed(const std::string& path, bool openable) override {
    steps.push_back("probe " + path + (openable ? " openable" : " absent"));
  }
};

TEST_F(Discovery, ChoiceReportsEachStepAndReadsNoFurtherThanTheEntries) {
  // The entries are on lines 2 and 3 of a settings file of many megabytes.
  dir.write("descript.txt", "name,x\r\nshiori,gone.so\r\nshiori.protocol,SHIORI/3.0\r\n" +
                                std::string(16u << 20, '\n'));
  dir.add_fixture("recording", "kawari.dll");
  namespace faults = platform::fault_injection;
  faults::reset();
  StepLog observer;
  const backend::BackendChoice choice = backend::choose_backend(dir.base(), &observer);
  EXPECT_EQ(faults::calls_made(faults::Call::file_read), 1);
  const std::string base = dir.base();
  EXPECT_EQ(observer.steps,
            (std::vector<std::string>{"settings " + base + "descript.txt opened",
                                      "entry " + base + "descript.txt:2 gone.so",
                                      "protocol " + base + "descript.txt:3 SHIORI/3.0",
                                      "probe " + base + "gone.so absent",
                                      "probe " + base + "satori.dll absent",
                                      "probe " + base + "misaka.dll absent",
                                      "probe " + base + "kawari.dll openable"}));
  EXPECT_EQ(choice.settings_name, "gone.so");
  EXPECT_EQ(choice.protocol, backend::Protocol::shiori_3_0);
  EXPECT_EQ(choice.name, "kawari.dll");
  EXPECT_EQ(choice.source, backend::ChoiceSource::fallback);
  EXPECT_TRUE(log.events().empty());  // choosing loads nothing
}

TEST_F(Discovery, OnlyTheFirstProtocolLineWithAValueCounts) {
  const auto read = [&](const std::string& settings) {
    dir.write("descript.txt", settings);
    StepLog observer;
    const backend::Protocol protocol = backend::choose_backend(dir.base(), &observer).protocol;
    std::string said;
    for (const std::string& step : observer.steps)
      if (step.rfind("protocol ", 0) == 0) said = step.substr(step.rfind(':') + 1);
    return said + (protocol == backend::Protocol::shiori_2_5   ? " => 2.5"
                   : protocol == backend::Protocol::shiori_3_0 ? " => 3.0"
                                                               : " => detect");
  };
  EXPECT_EQ(read("shiori.protocol,SHIORI/2.5\nshiori.protocol,SHIORI/3.0\n"), "1 SHIORI/2.5 => 2.5");
  EXPECT_EQ(read("shiori.protocol\nshiori.protocol,,SHIORI/3.0\n"), "2 SHIORI/3.0 => 3.0");
  EXPECT_EQ(read("Shiori.protocol,SHIORI/3.0\nshiori.protocol,shiori/3.0\n"),
            "2 shiori/3.0 ignored => detect");
  EXPECT_EQ(read("shiori.protocol, SHIORI/3.0\n"), "1  SHIORI/3.0 ignored => detect");
  EXPECT_EQ(read("charset,UTF-8\n"), " => detect");
}

}  // namespace

