#include "plugin/plugin_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The decoded arguments as texts of their own, outliving the request.
using Arguments = std::vector<std::string>;

Arguments decoded(const std::string& request) {
  const backend::ArgumentList arguments = plugin::decode_plugin_request(request);
  Arguments texts;
  for (std::size_t i = 0; i < arguments.size(); ++i) texts.emplace_back(arguments[i]);
  return texts;
}

Arguments decode_lines(const std::string& lines) {
  return decoded("EXECUTE SAORI/1.0\r\n" + lines + "\r\n");
}

std::string reply_for(std::string_view sentence) {
  long length = -1;
  platform::block_handle block = plugin::encode_plugin_response(sentence, false, &length);
  std::string reply(platform::block_bytes(block), static_cast<std::size_t>(length));
  platform::free_block(block);
  return reply;
}

TEST(PluginRequest, FillsArgumentsByIndex) {
  EXPECT_EQ(decode_lines("Argument0: hello\r\nArgument1: world\r\n"),
            (Arguments{"hello", "world"}));
  EXPECT_EQ(decode_lines("Argument2: x\r\n"), (Arguments{"", "", "x"}));
  EXPECT_EQ(decode_lines("Argument1: b\r\nArgument0: a\r\nArgument1: c\r\n"),
            (Arguments{"a", "c"}));
  EXPECT_EQ(decode_lines("Sender: x\r\nargument0: no\r\nArgumen: no\r\n"), Arguments{});
}

TEST(PluginRequest, IndexTextConvertsLikeStrtol) {
  EXPECT_EQ(decode_lines("Argument: a\r\n"), Arguments{"a"});
  EXPECT_EQ(decode_lines("ArgumentX: a\r\n"), Arguments{"a"});
  EXPECT_EQ(decode_lines("Argument05: f\r\n").at(5), "f");
  EXPECT_EQ(decode_lines("Argument 5: f\r\n").at(5), "f");
  EXPECT_EQ(decode_lines("Argument5b: f\r\n").at(5), "f");
  EXPECT_EQ(decode_lines("Argument+7: f\r\n").at(7), "f");
}

TEST(PluginRequest, IndexOutsideTheListIsIgnored) {
  EXPECT_EQ(decode_lines("Argument100: x\r\nArgument-1: y\r\n"), Arguments{});
  EXPECT_EQ(decode_lines("Argument99: last\r\n").size(), 100u);
  EXPECT_EQ(decode_lines("Argument2147483648: x\r\n"), Arguments{});  // wraps negative
}

TEST(PluginRequest, IndexWrapsModulo32Bits) {
  EXPECT_EQ(decode_lines("Argument4294967296: zero\r\n"), Arguments{"zero"});
  const Arguments wrapped = decode_lines("Argument4294967395: last\r\n");
  ASSERT_EQ(wrapped.size(), 100u);
  EXPECT_EQ(wrapped[99], "last");
  EXPECT_EQ(decode_lines("Argument-4294967295: one\r\n"), (Arguments{"", "one"}));
  // Far more digits than any integer holds: still defined, still wrapped.
  EXPECT_LE(decode_lines("Argument99999999999999999999999999999999: x\r\n").size(), 100u);
}

TEST(PluginRequest, EmptyValueEndsTheRequest) {
  EXPECT_EQ(decode_lines("Argument0: a\r\nArgument1: \r\nArgument2: c\r\n"), Arguments{"a"});
  EXPECT_EQ(decode_lines("Argument0:   a  \r\n"), Arguments{"a  "});
  EXPECT_EQ(decoded(""), Arguments{});
}

TEST(PluginReply, AlwaysTheSuccessReply) {
  EXPECT_EQ(reply_for("hi"),
            "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: hi\r\n\r\n");
  EXPECT_EQ(reply_for(""),
            "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: \r\n\r\n");
}

}  // namespace
