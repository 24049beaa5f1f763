#include "files/settings_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/test_hooks.h"
#include "support/module_host.h"

namespace {

using testing_support::TempDir;
using Lines = std::vector<std::string>;

// Every line read, in order.
struct LineList final : files::LineVisitor {
  bool visit_line(std::string& line) override {
    lines.push_back(line);
    return true;
  }
  Lines lines;
};

// Reads `content` back with reads of 1 byte, a few odd sizes and unlimited,
// as the system may cut them.
class SettingsFile : public ::testing::TestWithParam<std::size_t> {
 protected:
  Lines lines_of(const std::string& content) {
    dir.write("f.txt", content);
    LineList read;
    platform::fault_injection::shorten_reads(GetParam());
    EXPECT_TRUE(files::read_lines((dir.path() / "f.txt").string(), read));
    platform::fault_injection::shorten_reads(0);
    return read.lines;
  }
  TempDir dir;
};

TEST_P(SettingsFile, LineEnds) {
  EXPECT_EQ(lines_of("a\r\nb\r\n"), (Lines{"a", "b"}));
  EXPECT_EQ(lines_of("a\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(lines_of(""), Lines{});
  EXPECT_EQ(lines_of("\n\n"), (Lines{"", ""}));
  EXPECT_EQ(lines_of("a\r\r\nb"), (Lines{"a\r", "b"}));
  EXPECT_EQ(lines_of("a\rb\n"), Lines{"a\rb"});
  EXPECT_EQ(lines_of("a\r"), Lines{"a\r"});
  EXPECT_EQ(lines_of("\r\r\r\n"), Lines{"\r\r"});
}

TEST_P(SettingsFile, CtrlZEndsAndNulCuts) {
  EXPECT_EQ(lines_of(std::string("ab\0cd\nef", 8)), (Lines{"ab", "ef"}));
  EXPECT_EQ(lines_of("a\nb\x1a" "c\nd"), (Lines{"a", "b"}));
  EXPECT_EQ(lines_of("a\r\x1a"), Lines{"a\r"});
  EXPECT_EQ(lines_of("\x1a" "a"), Lines{});
  EXPECT_EQ(lines_of(std::string("\0", 1)), Lines{""});
  EXPECT_EQ(lines_of(std::string("x\0\r\ny", 5)), (Lines{"x", "y"}));
}

TEST_P(SettingsFile, ByteOrderMarkOnlyAtTheVeryStartIsDropped) {
  EXPECT_EQ(lines_of("\xEF\xBB\xBFshiori,a.dll\n"), Lines{"shiori,a.dll"});
  EXPECT_EQ(lines_of("\xEF\xBB\xBF"), Lines{});
  EXPECT_EQ(lines_of("\xEF\xBB\xBF\xEF\xBB\xBF\n"), Lines{"\xEF\xBB\xBF"});
  EXPECT_EQ(lines_of("a\n\xEF\xBB\xBF" "b"), (Lines{"a", "\xEF\xBB\xBF" "b"}));
  EXPECT_EQ(lines_of(" \xEF\xBB\xBF"), Lines{" \xEF\xBB\xBF"});
  // Bytes that begin like the mark are content.
  EXPECT_EQ(lines_of("\xEF\xBB"), Lines{"\xEF\xBB"});
  EXPECT_EQ(lines_of("\xEF\xBB\n" "b"), (Lines{"\xEF\xBB", "b"}));
  EXPECT_EQ(lines_of("\xEF\x1a"), Lines{"\xEF"});
  EXPECT_EQ(lines_of("\xEF\xBB\xBE"), Lines{"\xEF\xBB\xBE"});
}

TEST_P(SettingsFile, BytesPassThrough) {
  EXPECT_EQ(lines_of("\x82\xA0\xFF\x81\x0A" "b"), (Lines{"\x82\xA0\xFF\x81", "b"}));
  EXPECT_EQ(lines_of(" \tpad \t\n"), Lines{" \tpad \t"});
}

TEST_P(SettingsFile, LongLinesAcrossBlocks) {
  const std::string long_line(100000, 'q');
  EXPECT_EQ(lines_of(long_line + "\r\n" + long_line), (Lines{long_line, long_line}));
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, SettingsFile, ::testing::Values(1, 2, 3, 7, 9, 0));

TEST(SettingsFileOpen, NoLineIsReadFromWhatCannotBeOpened) {
  TempDir dir;
  LineList read;
  EXPECT_FALSE(files::read_lines((dir.path() / "missing.txt").string(), read));
  EXPECT_FALSE(files::read_lines(dir.path().string(), read));
  EXPECT_FALSE(files::read_lines("", read));
  EXPECT_EQ(read.lines, Lines{});
}

TEST(SettingsFileOpen, FileExists) {
  TempDir dir;
  dir.write("empty.txt", "");
  EXPECT_TRUE(files::file_exists((dir.path() / "empty.txt").string()));
  EXPECT_FALSE(files::file_exists((dir.path() / "missing").string()));
  EXPECT_FALSE(files::file_exists(dir.path().string()));
  EXPECT_FALSE(files::file_exists(""));
  // A path is cut at a NUL, as the system's open call sees it.
  EXPECT_TRUE(files::file_exists((dir.path() / "empty.txt").string() + std::string(1, '\0') + "x"));
}

}  // namespace
