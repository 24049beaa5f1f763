#include "backend/sentence_request.h"

#include <gtest/gtest.h>

#include "support/module_host.h"

namespace {

using namespace testing_support;

std::string composed(const plugin::ArgumentList& arguments) {
  std::string text(backend::sentence_request_size(arguments), '\0');
  backend::compose_sentence_request(arguments, text.data());
  return text;
}

plugin::ArgumentList argument_list(const std::vector<std::string_view>& values) {
  plugin::ArgumentList arguments;
  for (std::size_t i = 0; i < values.size(); ++i) arguments.set(i, values[i]);
  return arguments;
}

const std::string fixed_lines =
    "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n";

TEST(SentenceRequest, FirstArgumentIsEventRestAreReferences) {
  EXPECT_EQ(composed(argument_list({"greet", "a", "b"})),
            fixed_lines + "Event: greet\r\nReference0: a\r\nReference1: b\r\n\r\n");
  EXPECT_EQ(composed(argument_list({"", "", "x"})),
            fixed_lines + "Event: \r\nReference0: \r\nReference1: x\r\n\r\n");
  EXPECT_EQ(composed({}), fixed_lines + "\r\n");
}

TEST(SentenceRequest, ReferencesArePlainDecimal) {
  std::vector<std::string> values;
  for (int i = 0; i < 12; ++i) values.push_back("v" + std::to_string(i));
  plugin::ArgumentList twelve;
  for (std::size_t i = 0; i < values.size(); ++i) twelve.set(i, values[i]);
  const std::string request = composed(twelve);
  EXPECT_NE(request.find("\r\nReference9: v10\r\nReference10: v11\r\n\r\n"), std::string::npos);
  EXPECT_EQ(request.find("Reference01"), std::string::npos);
}

TEST(SentenceReply, TakesTheLastExactSentenceHeader) {
  EXPECT_EQ(backend::sentence_in("SHIORI/2.5 200 OK\r\nSentence: hello\r\n\r\n"), "hello");
  EXPECT_EQ(backend::sentence_in("SHIORI/2.5 204 No Content\r\nSentence: hello\r\n\r\n"),
            "hello");
  EXPECT_EQ(backend::sentence_in("S\r\nsentence: no\r\nSentence : no\r\n\r\n"), "");
  EXPECT_EQ(backend::sentence_in("S\r\nX: \r\nSentence: unseen\r\n\r\n"), "");
  EXPECT_EQ(backend::sentence_in("S\r\nSentence: one\r\nSentence: two\r\n\r\n"), "two");
  EXPECT_EQ(backend::sentence_in(""), "");
}

TEST(SentenceRoundTrip, BackendSeesExactRequestAndHostGetsItsSentence) {
  FixtureLog log;
  log.set_reply("SHIORI/2.5 200 OK\r\nSender: b\r\nSentence: \x82\xA0\x82\xA2 ok\r\n\r\n");
  TempDir dir;
  dir.add_fixture("recording", "satori.dll");
  ModuleHost host;
  ASSERT_EQ(host.load(dir.base()), 1);

  // Argument3 is left out: its slot still goes out, as an empty Reference2.
  std::string request = "EXECUTE SAORI/1.0\r\nArgument0: OnTest\r\n";
  for (int i = 1; i <= 11; ++i)
    if (i != 3) request += "Argument" + std::to_string(i) + ": r" + std::to_string(i) + "\r\n";
  EXPECT_EQ(host.request(request + "\r\n"), plugin_reply("\x82\xA0\x82\xA2 ok"));
  EXPECT_EQ(host.request("GET Version SAORI/1.0\r\n\r\n"), plugin_reply("\x82\xA0\x82\xA2 ok"));

  std::string expected = fixed_lines + "Event: OnTest\r\n";
  for (int i = 1; i <= 11; ++i)
    expected += "Reference" + std::to_string(i - 1) + ": " +
                (i == 3 ? "" : "r" + std::to_string(i)) + "\r\n";
  EXPECT_EQ(log.bytes_of("request"),
            (std::vector<std::string>{expected + "\r\n", fixed_lines + "\r\n"}));
}

}  // namespace
