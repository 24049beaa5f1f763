#include "text/token_cutting.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs read_pairs(const std::string& text) {
  Pairs pairs;
  text::read_header_block(text.c_str(), [&](std::string_view key, std::string_view value) {
    pairs.emplace_back(key, value);
  });
  return pairs;
}

class TokenCutting : public ::testing::Test {
 protected:
  void TearDown() override { platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932); }
};

TEST_F(TokenCutting, CutsAtDelimiterAndStaysOnTheEnd) {
  const std::string text = "ab:cd";
  const char* cursor = text.c_str();
  EXPECT_EQ(text::cut_token(cursor, ':'), "ab");
  EXPECT_EQ(text::cut_token(cursor, ':'), "cd");
  EXPECT_EQ(*cursor, '\0');
  EXPECT_EQ(text::cut_token(cursor, ':'), "");
  EXPECT_EQ(*cursor, '\0');
}

TEST_F(TokenCutting, TrailByteEqualToDelimiterDoesNotEndToken) {
  // 0x95 0x5C is one two-byte character; only the second 0x5C cuts.
  const std::string text = "\x95\x5C\x5C" "A";
  const char* cursor = text.c_str();
  EXPECT_EQ(text::cut_token(cursor, '\x5C'), "\x95\x5C");
  EXPECT_EQ(text::cut_token(cursor, '\x5C'), "A");

  platform::use_lead_byte_rule(platform::LeadByteRule::single_byte);
  cursor = text.c_str();
  EXPECT_EQ(text::cut_token(cursor, '\x5C'), "\x95");
}

TEST_F(TokenCutting, LeadByteBeforeTheEndIsOneCharacter) {
  const std::string text = "a\x82";
  const char* cursor = text.c_str();
  EXPECT_EQ(text::cut_token(cursor, ':'), "a\x82");
  EXPECT_EQ(cursor, text.c_str() + 2);  // on the NUL, not past it
}

TEST_F(TokenCutting, HeaderBlockTrimsLeadingSpacesAndOneCarriageReturn) {
  EXPECT_EQ(read_pairs("START\r\nX: a\r\nY:b\r\n\r\n"), (Pairs{{"X", "a"}, {"Y", "b"}}));
  EXPECT_EQ(read_pairs("S\nKey:   v  \r\n"), (Pairs{{"Key", "v  "}}));
  EXPECT_EQ(read_pairs("S\nKey:\tv\r\n"), (Pairs{{"Key", "\tv"}}));
  EXPECT_EQ(read_pairs("S\nKey: a\rb\r\n"), (Pairs{{"Key", "a\rb"}}));
  EXPECT_EQ(read_pairs("S\nKey: a\r\r\n"), (Pairs{{"Key", "a\r"}}));
  EXPECT_EQ(read_pairs("S\nA: x\nB: y"), (Pairs{{"A", "x"}, {"B", "y"}}));
}

TEST_F(TokenCutting, EmptyValueOrKeyEndsTheBlock) {
  EXPECT_EQ(read_pairs("S\r\nA: 1\r\nB: \r\nC: 3\r\n"), (Pairs{{"A", "1"}}));
  // Only one CR goes; a value of two CRs is one CR, not empty.
  EXPECT_EQ(read_pairs("S\r\nA: 1\r\nB: \r\r\nC: 3\r\n"), (Pairs{{"A", "1"}, {"B", "\r"}, {"C", "3"}}));
  EXPECT_EQ(read_pairs("S\r\n:x\r\nC: 3\r\n"), Pairs{});
  EXPECT_EQ(read_pairs("no line feed: at all"), Pairs{});
  EXPECT_EQ(read_pairs(""), Pairs{});
}

TEST_F(TokenCutting, HeadersAfterTheEmptyLineStillCount) {
  EXPECT_EQ(read_pairs("S\r\nSentence: a\r\n\r\nx: y\r\nSentence: b\r\n"),
            (Pairs{{"Sentence", "a"}, {"\r\nx", "y"}, {"Sentence", "b"}}));
}

TEST_F(TokenCutting, LeadByteSwallowsFollowingColon) {
  // Under code page 932 the colon after 0x81 belongs to that character.
  EXPECT_EQ(read_pairs("S\nK\x81:ey: v\n"), (Pairs{{"K\x81:ey", "v"}}));
  platform::use_lead_byte_rule(platform::LeadByteRule::single_byte);
  EXPECT_EQ(read_pairs("S\nK\x81:ey: v\n"), (Pairs{{"K\x81", "ey: v"}}));
}

}  // namespace
