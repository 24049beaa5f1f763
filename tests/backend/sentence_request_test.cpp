#include "backend/sentence_request.h"

#include <gtest/gtest.h>

#include "support/module_host.h"

namespace {

using namespace testing_support;

std::string composed(const backend::ArgumentList& arguments,
                     backend::Protocol form = backend::Protocol::shiori_2_5) {
  std::string text(backend::sentence_request_size(arguments, form), '\0');
  backend::compose_sentence_request(arguments, text.data(), form);
  return text;
}

backend::ArgumentList argument_list(const std::vector<std::string_view>& values) {
  backend::ArgumentList arguments;
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

TEST(SentenceRequest, TheThreeOhFormSaysIdAndALocalCaller) {
  const std::string head_3_0 =
      "GET SHIORI/3.0\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\nSecurityLevel: local\r\n";
  EXPECT_EQ(composed(argument_list({"greet", "a"}), backend::Protocol::shiori_3_0),
            head_3_0 + "ID: greet\r\nReference0: a\r\n\r\n");
  EXPECT_EQ(composed({}, backend::Protocol::shiori_3_0), head_3_0 + "\r\n");
}

TEST(SentenceRequest, ReferencesArePlainDecimal) {
  std::vector<std::string> values;
  for (int i = 0; i < 12; ++i) values.push_back("v" + std::to_string(i));
  backend::ArgumentList twelve;
  for (std::size_t i = 0; i < values.size(); ++i) twelve.set(i, values[i]);
  const std::string request = composed(twelve);
  EXPECT_NE(request.find("\r\nReference9: v10\r\nReference10: v11\r\n\r\n"), std::string::npos);
  EXPECT_EQ(request.find("Reference01"), std::string::npos);
}

// The result a reply gives in `form`, with " (UTF-8)" when it is labelled so.
std::string read(std::string_view reply, backend::Protocol form = backend::Protocol::shiori_2_5) {
  const backend::SentenceResult result = backend::result_in(reply, form);
  return std::string(result.text) + (result.utf8 ? " (UTF-8)" : "");
}

TEST(SentenceReply, TakesTheLastExactResultHeaderOfItsFormAndTheLastCharset) {
  EXPECT_EQ(read("SHIORI/2.5 200 OK\r\nSentence: hello\r\n\r\n"), "hello");
  EXPECT_EQ(read("SHIORI/2.5 204 No Content\r\nSentence: hello\r\n\r\n"), "hello");
  EXPECT_EQ(read("S\r\nsentence: no\r\nSentence : no\r\nValue: no\r\n\r\n"), "");
  EXPECT_EQ(read("S\r\nX: \r\nSentence: unseen\r\n\r\n"), "");
  EXPECT_EQ(read("S\r\nSentence: one\r\nSentence: two\r\n\r\n"), "two");
  EXPECT_EQ(read(""), "");
  const auto three_oh = backend::Protocol::shiori_3_0;
  EXPECT_EQ(read("S\r\nValue: a\r\nSentence: no\r\nValue: b\r\n\r\n", three_oh), "b");
  EXPECT_EQ(read("S\r\nvalue: no\r\nCharset: utf-8\r\n\r\n", three_oh), " (UTF-8)");
  EXPECT_EQ(read("S\r\nCharset: UTF-8\r\nValue: v\r\nCharset: Shift_JIS\r\n\r\n", three_oh), "v");
  EXPECT_EQ(read("S\r\nCharset: UTF-8 \r\nValue: v\r\n\r\n", three_oh), "v");
  EXPECT_EQ(read("S\r\nSentence: s\r\nCharset: UTF-8\r\n\r\n"), "s (UTF-8)");
  // The status is the word after the first space of the first line.
  EXPECT_EQ(backend::status_code("SHIORI/2.6 400 Bad Request\r\n\r\n"), "400");
  EXPECT_EQ(backend::status_code("X 4000\r\n"), "4000");
  EXPECT_EQ(backend::status_code("SHIORI/3.0\r\nX: 400 y\r\n"), "");
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

// Engines that read only SHIORI/3.0, one that reads only 2.x, and the
// settings line that fixes the form. Each case loads, sends two requests,
// loads again and sends one more; `forms` lists what the backend was sent
// for each host request ("+" between a request and its retry, "|" at the
// second load), `reply` what the host got each time.
TEST(SentenceRoundTrip, EachEngineIsAskedInTheFormItReads) {
  struct Case {
    const char* mode;
    const char* settings;
    const char* forms;
    const char* reply;
  };
  const std::string utf8 = "SAORI/1.0 200 OK\r\nCharset: UTF-8\r\nResult: greet/x\r\n\r\n";
  const Case cases[] = {
      {"engine-3.0", "shiori,engine.dll\n", "2.5+3.0 3.0 | 2.5+3.0", "greet/x"},
      {"engine-3.0", "shiori.protocol,SHIORI/3.0\nshiori,engine.dll\n", "3.0 3.0 | 3.0", "greet/x"},
      {"engine-3.0", "shiori,engine.dll\nshiori.protocol,SHIORI/2.5\n", "2.5 2.5 | 2.5", ""},
      {"engine-3.0", "shiori,engine.dll\nshiori.protocol,SHIORI/3\nshiori.protocol,SHIORI/3.0\n",
       "2.5+3.0 3.0 | 2.5+3.0", "greet/x"},
      {"engine-id-only", "shiori,engine.dll\n", "2.5 2.5 | 2.5", ""},
      {"engine-id-only", "shiori,engine.dll\nshiori.protocol,SHIORI/3.0\n", "3.0 3.0 | 3.0",
       "greet/x"},
      {"engine-local-only", "shiori,engine.dll\nshiori.protocol,SHIORI/3.0\n", "3.0 3.0 | 3.0",
       "utf8"},
      {"engine-2.x", "shiori,engine.dll\n", "2.5 2.5 | 2.5", "greet/x"},
      {"engine-2.x", "shiori,engine.dll\nshiori.protocol,SHIORI/3.0\n", "3.0 3.0 | 3.0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " with " + c.settings);
    FixtureLog log;
    log.set_mode(c.mode);
    TempDir dir;
    dir.add_fixture("recording", "engine.dll");
    dir.write("descript.txt", c.settings);
    ModuleHost host;
    std::string forms;
    std::size_t seen = 0;
    const auto ask = [&] {
      const std::string reply = host.request(plugin_request({"greet", "x"}));
      EXPECT_EQ(reply, std::string(c.reply) == "utf8" ? utf8 : plugin_reply(c.reply));
      const std::vector<std::string> requests = log.bytes_of("request");
      for (std::string separator = forms.empty() || forms.back() == ' ' ? "" : " ";
           seen < requests.size(); ++seen, separator = "+")
        forms += separator + (requests[seen].rfind("GET SHIORI/3.0\r\n", 0) == 0 ? "3.0" : "2.5");
    };
    ASSERT_EQ(host.load(dir.base()), 1);
    ask();
    ask();
    host.unload();
    forms += " | ";
    ASSERT_EQ(host.load(dir.base()), 1);
    ask();
    EXPECT_EQ(forms, c.forms);
  }
}

}  // namespace
