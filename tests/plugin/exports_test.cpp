// The module as a host sees it: opened with dlopen, driven through its exports.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

#include "support/module_host.h"

namespace {

using namespace testing_support;

const std::string empty_reply = plugin_reply("");

TEST(Exports, RequestWithoutBackendAnswersEmptyResult) {
  ModuleHost host;
  EXPECT_EQ(host.request(plugin_request({"greet", "3"})), empty_reply);
  EXPECT_EQ(host.request(""), empty_reply);
  EXPECT_EQ(host.request(std::string("GET Version SAORI/1.0\r\n\r\n")), empty_reply);
}

TEST(Exports, ReplyBlockIsExactlyTheReplyAndCountIsStored) {
  ModuleHost host;
  long length = 0;
  char* reply = host.request_entry(make_block(""), &length);
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(length, static_cast<long>(empty_reply.size()));
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(length)), empty_reply);
  // The block holds no NUL after the reply: its usable size may round up,
  // but the module asked for exactly the reply's length.
  EXPECT_LT(malloc_usable_size(reply), empty_reply.size() + 16);
  std::free(reply);
}

TEST(Exports, BadCountsFromTheHostAreSafe) {
  ModuleHost host;
  long length = -20;
  char* reply = host.request_entry(make_block("junk"), &length);
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(length)), empty_reply);
  std::free(reply);

  length = 40;
  reply = host.request_entry(nullptr, &length);
  EXPECT_EQ(std::string(reply, static_cast<std::size_t>(length)), empty_reply);
  std::free(reply);

  // No count pointer: the block is still taken (and freed), nothing returned.
  EXPECT_EQ(host.request_entry(make_block("x"), nullptr), nullptr);
}

TEST(Exports, LoadWithoutADirectoryLooksNowhere) {
  // A backend in the current directory must not be found through a load
  // that names no directory; a count of 0 still means the empty one.
  FixtureLog log;
  TempDir here;
  here.add_fixture("recording", "satori.dll");
  char* saved = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(here.path().c_str()), 0);
  ModuleHost host;
  {
    StderrCapture errors;
    EXPECT_EQ(host.load_entry(nullptr, 0), 0);
    EXPECT_EQ(host.load_entry(nullptr, 12), 0);
    EXPECT_EQ(host.load_entry(make_block("dir/"), -1), 0);
    EXPECT_EQ(errors.text(), "");
    EXPECT_TRUE(log.events().empty());
  }
  EXPECT_EQ(host.load_entry(make_block(""), 0), 1);
  EXPECT_EQ(chdir(saved), 0);
  std::free(saved);
}

TEST(Exports, RequestStopsAtNul) {
  ModuleHost host;
  // Everything after the NUL is ignored, including this argument.
  EXPECT_EQ(host.request(std::string("S\r\n\0Argument0: x\r\n", 18)), empty_reply);
}

TEST(Exports, ClosingTheModuleReallyUnloadsIt) {
  {
    ModuleHost host;
    EXPECT_TRUE(module_is_resident());
  }
  EXPECT_FALSE(module_is_resident());
}

}  // namespace
