#include "text/field_splitting.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/test_hooks.h"

namespace {

using Fields = std::vector<std::string>;

Fields split(const std::string& line, const std::string& delimiters = ",") {
  Fields fields;
  text::split_fields(line, delimiters, fields);
  return fields;
}

class FieldSplitting : public ::testing::Test {
 protected:
  void TearDown() override { platform::use_lead_byte_rule(platform::LeadByteRule::code_page_932); }
};

TEST_F(FieldSplitting, DropsEmptyFieldsAndTrimsNothing) {
  EXPECT_EQ(split("shiori,sample.dll"), (Fields{"shiori", "sample.dll"}));
  EXPECT_EQ(split(",,a,,b,,"), (Fields{"a", "b"}));
  EXPECT_EQ(split(",,,"), Fields{});
  EXPECT_EQ(split(""), Fields{});
  EXPECT_EQ(split("whole line"), Fields{"whole line"});
  EXPECT_EQ(split("shiori, sample.dll\t\r"), (Fields{"shiori", " sample.dll\t\r"}));
}

TEST_F(FieldSplitting, TrailBytesAreNeverDelimiters) {
  EXPECT_EQ(split("\x81\x2C\x41"), Fields{"\x81\x2C\x41"});
  EXPECT_EQ(split("\x95\x5C\x5C\x41", "\x5C"), (Fields{"\x95\x5C", "\x41"}));
  EXPECT_EQ(split("\x41\x82"), Fields{"\x41\x82"});
}

TEST_F(FieldSplitting, SingleByteCodePageSplitsEveryByte) {
  platform::use_lead_byte_rule(platform::LeadByteRule::single_byte);
  EXPECT_EQ(split("\x81\x2C\x41"), (Fields{"\x81", "\x41"}));
  EXPECT_EQ(split("\x95\x5C\x5C\x41", "\x5C"), (Fields{"\x95", "\x41"}));
}

TEST_F(FieldSplitting, TwoByteDelimiterMatchesWholeCharactersOnly) {
  // The delimiter is the character 0x81 0x41; 0x41 alone is not one.
  EXPECT_EQ(split("a\x81\x41" "bA c", "\x81\x41"), (Fields{"a", "bA c"}));
  EXPECT_EQ(split("a;b,c", ";,;"), (Fields{"a", "b", "c"}));
}

TEST_F(FieldSplitting, AppendsToExistingListAndCountsAll) {
  Fields fields{"kept"};
  EXPECT_EQ(text::split_fields("x,y", ",", fields), 3u);
  EXPECT_EQ(fields, (Fields{"kept", "x", "y"}));
}

TEST_F(FieldSplitting, StopsAtNul) {
  EXPECT_EQ(split(std::string("a,b\0,c", 6)), (Fields{"a", "b"}));
}

}  // namespace
