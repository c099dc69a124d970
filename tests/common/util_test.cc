#include "common/util.h"

#include <gtest/gtest.h>

namespace stackpeek {
namespace {

using Lines = std::vector<std::string_view>;

TEST(AsciiLowerTest, OnlyAsciiLettersChange) {
  EXPECT_EQ(ascii_lower("PyTHON3 \xC3\x89"), "python3 \xC3\x89");
}

TEST(PathTextTest, ReplacesBytesThatAreNotUtf8) {
  EXPECT_EQ(path_text(std::filesystem::path("/tmp/a\xff"
                                            "b/caf\u00e9")),
            "/tmp/a\uFFFDb/caf\u00e9");
}

TEST(SplitLinesTest, DropsCarriageReturnBeforeLineFeedAndNoFinalEmptyLine) {
  EXPECT_EQ(split_lines(""), Lines{});
  EXPECT_EQ(split_lines("a\r\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(split_lines("a\n\nb\r"), (Lines{"a", "", "b\r"}));
  EXPECT_EQ(split_lines("\n"), (Lines{""}));
}

TEST(SplitNulTest, FinalNulEndsTheLastField) {
  using namespace std::string_view_literals;
  EXPECT_EQ(split_nul(""), Lines{});
  EXPECT_EQ(split_nul("a\0b\0"sv), (Lines{"a", "b"}));
  EXPECT_EQ(split_nul("a\0\0b"sv), (Lines{"a", "", "b"}));
}

TEST(ParseUnsignedTest, PlusDigitsAndLimit) {
  EXPECT_EQ(parse_unsigned("0"), 0u);
  EXPECT_EQ(parse_unsigned("+255", 255), 255u);
  EXPECT_EQ(parse_unsigned("256", 255), std::nullopt);
  EXPECT_EQ(parse_unsigned("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_unsigned("18446744073709551616"), std::nullopt);
  for (const char* bad : {"", "+", "-1", " 1", "1 ", "1a", "++1"}) {
    EXPECT_EQ(parse_unsigned(bad), std::nullopt) << bad;
  }
}

TEST(UtilTest, StripEscapeSequences) {
  EXPECT_EQ(strip_escape_sequences("plain"), "plain");
  EXPECT_EQ(strip_escape_sequences("\x1b[1;32mhot\x1b[0m"), "hot");
  EXPECT_EQ(strip_escape_sequences("a\x1b[?25hb"), "ab");
  EXPECT_EQ(strip_escape_sequences("a\x1b]0;t\x07"),
            "a]0;t\x07");                              // only the ESC of other sequences
  EXPECT_EQ(strip_escape_sequences("a\x1b[12"), "a");  // cut off at the end
  EXPECT_EQ(strip_escape_sequences("a\x1b"), "a");
  EXPECT_EQ(strip_escape_sequences("a\x1b[1\n2mb"), "ab");  // up to the final byte
}

}  // namespace
TEST(UtilTest, EscapeControlsLeavesNothingATerminalWouldObey) {
  EXPECT_EQ(escape_controls("python3 train.py --lr=0.1 …  読み込み \\n"),
            "python3 train.py --lr=0.1 …  読み込み \\n");
  // C0 (line feed and tab by name), DEL, C1, bytes that are not UTF-8.
  EXPECT_EQ(escape_controls(std::string_view("a\x1b]0;TITLE\x07"
                                             "b\x1b[2J\nc\td\r\x7f\x00",
                                             23)),
            "a\\x1b]0;TITLE\\x07b\\x1b[2J\\nc\\td\\x0d\\x7f\\x00");
  EXPECT_EQ(escape_controls("\xc2\x9b"
                            "31m \xc2\x85"),
            "\\u{009b}31m \\u{0085}");
  EXPECT_EQ(escape_controls("x\x9by\xff"), "x\\x9by\\xff");
  EXPECT_EQ(escape_controls("\xef\xbf\xbd"), "\xef\xbf\xbd");  // U+FFFD itself is text
  // Bidirectional controls and zero-width format characters.
  EXPECT_EQ(escape_controls("a\u202Eb\u2066c\u200Fd\u061Ce"),
            "a\\u{202e}b\\u{2066}c\\u{200f}d\\u{061c}e");
  EXPECT_EQ(escape_controls("a\u200Bb\u200Dc\u2060d\uFEFFe"),
            "a\\u{200b}b\\u{200d}c\\u{2060}d\\u{feff}e");
}

}  // namespace stackpeek
