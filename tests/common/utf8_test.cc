#include "common/utf8.h"

#include <gtest/gtest.h>

namespace stackpeek::utf8 {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string replacements(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += kFffd;
  return out;
}

TEST(Utf8DecodeTest, ValidTextPassesThroughUnchanged) {
  const std::string text = "ascii \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \x1B[0m";
  EXPECT_EQ(decode_lossy(text), text);
  EXPECT_TRUE(is_valid(text));
  EXPECT_EQ(decode_lossy(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8DecodeTest, BytesThatNeverStartASequenceEachBecomeOneReplacement) {
  EXPECT_EQ(decode_lossy("\xFF\xFE"), replacements(2));
  EXPECT_EQ(decode_lossy("a\x80"
                         "b"),
            "a" + kFffd + "b");
  EXPECT_FALSE(is_valid("\xFF"));
}

TEST(Utf8DecodeTest, TruncatedSequenceBecomesOneReplacementAndKeepsWhatFollows) {
  EXPECT_EQ(decode_lossy("a\xE2\x82"), "a" + kFffd);
  EXPECT_EQ(decode_lossy("\xE2\x82"
                         "b"),
            kFffd + "b");
  EXPECT_EQ(decode_lossy("\xF0\x9F\x98"
                         "\xC3\xA9"),
            kFffd + "\xC3\xA9");
  EXPECT_EQ(decode_lossy("\xC3"), kFffd);
}

TEST(Utf8DecodeTest, SurrogatesOverlongsAndValuesAboveTheRangeAreReplacedBytewise) {
  EXPECT_EQ(decode_lossy("\xED\xA0\x80"), replacements(3));  // U+D800
  EXPECT_EQ(decode_lossy("\xC0\xAF"), replacements(2));      // overlong '/'
  EXPECT_EQ(decode_lossy("\xE0\x80\xAF"), replacements(3));
  EXPECT_EQ(decode_lossy("\xF0\x80\x80\x80"), replacements(4));
  EXPECT_EQ(decode_lossy("\xF4\x90\x80\x80"), replacements(4));  // above U+10FFFF
  EXPECT_EQ(decode_lossy("\xED\x9F\xBF"), "\xED\x9F\xBF");       // U+D7FF is fine
  EXPECT_FALSE(is_valid("\xED\xA0\x80"));
}

TEST(Utf8CountTest, CharactersNotBytes) {
  EXPECT_EQ(char_count(""), 0u);
  EXPECT_EQ(char_count("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), 4u);
  EXPECT_EQ(byte_offset("a\xC3\xA9\xE2\x82\xAC", 2), 3u);
  EXPECT_EQ(byte_offset("ab", 5), 2u);
  size_t pos = 1;
  EXPECT_EQ(next("a\xF0\x9F\x98\x80", pos), U'\U0001F600');
  EXPECT_EQ(pos, 5u);
}

TEST(Utf8ClassTest, NumericCoversDigitsLetterNumbersAndOtherNumbers) {
  EXPECT_TRUE(is_numeric(U'7'));
  EXPECT_TRUE(is_numeric(U'\u00B2'));  // superscript two, No
  EXPECT_TRUE(is_numeric(U'\u0663'));  // Arabic-Indic three, Nd
  EXPECT_TRUE(is_numeric(U'\u2160'));  // Roman numeral one, Nl
  EXPECT_FALSE(is_numeric(U'a'));
  EXPECT_FALSE(is_numeric(U'.'));
  EXPECT_FALSE(is_numeric(U'\u00E9'));
}

TEST(Utf8TrimTest, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim(" \t\u3000abc d\u00A0\n"), "abc d");
  EXPECT_EQ(trim("\u2003 \u2003"), "");
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim("x"), "x");
  EXPECT_EQ(trim_end("  a b \u2028"), "  a b");
  EXPECT_EQ(trim("\u200Bx\u200B"), "\u200Bx\u200B");  // zero width space is not white space
}

}  // namespace
}  // namespace stackpeek::utf8
