#include "text/token_cutting.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs read_pairs(const std::string& text) {
  Pairs pairs;
  text::read_header_block(text, [&](std::string_view key, std::string_view value) {
    pairs.emplace_back(key, value);
  });
  return pairs;
}

class TokenCutting : public ::testing::Test {
 protected:
  void TearDown() override { platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932); }
};

// One character at a time, as the rule reads: the yardstick for cut_token,
// which finds a delimiter first and then looks back at the lead bytes before
// it.
std::string_view cut_by_characters(const char*& cursor, char delimiter) {
  const bool* lead = platform::lead_bytes().lead;
  const char* start = cursor;
  const char* scan = start;
  while (*scan != 0 && *scan != delimiter)
    scan += (lead[static_cast<unsigned char>(*scan)] && scan[1] != 0) ? 2 : 1;
  cursor = *scan == 0 ? scan : scan + 1;
  return {start, static_cast<std::size_t>(scan - start)};
}

void expect_cuts_like_characters(const std::string& text, char delimiter) {
  const char* cut = text.c_str();
  const char* walked = text.c_str();
  const char* end = text.c_str() + text.size();
  for (int token = 0; token < 4; ++token) {
    const std::string_view expected = cut_by_characters(walked, delimiter);
    EXPECT_EQ(text::cut_token(cut, end, delimiter), expected) << "in " << testing::PrintToString(text);
    EXPECT_EQ(cut, walked);
  }
}

TEST_F(TokenCutting, LeadByteRunsBeforeADelimiterDecideByTheirParity) {
  // A delimiter begins a character when an even run of lead bytes stands
  // before it, counted back to a non-lead byte or the token's start. Runs of
  // each parity, short and long, a lead byte before the end, and delimiters
  // that are lead bytes themselves, under both lead-byte rules.
  const std::string odd(999, '\x81'), even(1000, '\x81');
  const std::pair<std::string, char> cases[] = {
      {":a", ':'},
      {"\x81:a:", ':'},
      {"\x81\x81:a", ':'},
      {"\x81\x81\x81:a:", ':'},
      {"a\x81\x81\x81\x81\x81:b:", ':'},
      {"\x81:\x81\x81:a", ':'},
      {"\x82\xA0\x83::a:", ':'},
      {odd + ":" + even + ":" + odd + "\n:", ':'},
      {"a" + even + ":" + odd, ':'},
      {"\x81\x81\x81:a\n", '\n'},
      {"\x95\\\\a", '\\'},
      {"\xE0\x81\x81" "a\x81", '\x81'},
      {"\x81\x81\x81" "a", '\x81'},
      {"a\x81", ':'},
  };
  for (auto rule : {platform::LeadByteRule::code_page_932, platform::LeadByteRule::single_byte}) {
    platform::use_lead_byte_rule(rule);
    for (const auto& [text, delimiter] : cases) expect_cuts_like_characters(text, delimiter);
  }
}

TEST_F(TokenCutting, LongTwoByteTextKeepsItsTrailBytes) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "\x83:\x95\\\x82\xA0";
  const std::string line = text + ": v\r\n";
  const char* cursor = line.c_str();
  EXPECT_EQ(text::cut_token(cursor, line.c_str() + line.size(), ':'), text);
  EXPECT_EQ(std::string(cursor), " v\r\n");
}

TEST_F(TokenCutting, CutsAtDelimiterAndStaysOnTheEnd) {
  const std::string text = "ab:cd";
  const char* cursor = text.c_str();
  const char* end = text.c_str() + text.size();
  EXPECT_EQ(text::cut_token(cursor, end, ':'), "ab");
  EXPECT_EQ(text::cut_token(cursor, end, ':'), "cd");
  EXPECT_EQ(*cursor, '\0');
  EXPECT_EQ(text::cut_token(cursor, end, ':'), "");
  EXPECT_EQ(*cursor, '\0');
}

TEST_F(TokenCutting, RangeEndAndInnerNulBothEndTheText) {
  // Read in place, a text has no NUL of its own: its end acts as one, and a
  // NUL inside still ends it, also for a lead byte right before either.
  const std::string text = "ab:c\x82:d";
  const char* cursor = text.c_str();
  EXPECT_EQ(text::cut_token(cursor, text.c_str() + 5, ':'), "ab");
  EXPECT_EQ(text::cut_token(cursor, text.c_str() + 5, ':'), "c\x82");
  EXPECT_EQ(cursor, text.c_str() + 5);
  EXPECT_EQ(read_pairs(std::string("S\nA: 1\nB: 2\x82\0\nC: 3\n", 20)),
            (Pairs{{"A", "1"}, {"B", "2\x82"}}));
  EXPECT_EQ(read_pairs(std::string("S\nA: 1\nB\0: 2\n", 14)), (Pairs{{"A", "1"}}));

  // The same far into long texts, and spaces skipped past the checked part.
  const std::string long_value(20000, 'v');
  EXPECT_EQ(read_pairs("S\nA: " + long_value + std::string(1, '\0') + "\nB: 2\n"),
            (Pairs{{"A", long_value}}));
  const std::string long_key(10000, 'k');
  EXPECT_EQ(read_pairs("S\n" + long_key + std::string(1, '\0') + ": v\n"), Pairs{});
  EXPECT_EQ(read_pairs("S\nA:" + std::string(9000, ' ') + "v\r\nB: w\n"),
            (Pairs{{"A", "v"}, {"B", "w"}}));
  EXPECT_EQ(read_pairs("S\nA:" + std::string(9000, ' ') + std::string(1, '\0') + "v\n"), Pairs{});
}

TEST_F(TokenCutting, TrailByteEqualToDelimiterDoesNotEndToken) {
  // 0x95 0x5C is one two-byte character; only the second 0x5C cuts.
  const std::string text = "\x95\x5C\x5C" "A";
  const char* cursor = text.c_str();
  const char* end = text.c_str() + text.size();
  EXPECT_EQ(text::cut_token(cursor, end, '\x5C'), "\x95\x5C");
  EXPECT_EQ(text::cut_token(cursor, end, '\x5C'), "A");

  platform::use_lead_byte_rule(platform::LeadByteRule::single_byte);
  cursor = text.c_str();
  EXPECT_EQ(text::cut_token(cursor, end, '\x5C'), "\x95");
}

TEST_F(TokenCutting, LeadByteBeforeTheEndIsOneCharacter) {
  const std::string text = "a\x82";
  const char* cursor = text.c_str();
  const char* end = text.c_str() + text.size();
  EXPECT_EQ(text::cut_token(cursor, end, ':'), "a\x82");
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
