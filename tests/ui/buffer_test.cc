#include "ui/buffer.h"

#include <gtest/gtest.h>

#include "common/utf8.h"

namespace stackpeek::ui {
namespace {

bool has_control(const Buffer& buffer) {
  for (const std::string& line : buffer.lines()) {
    size_t pos = 0;
    while (pos < line.size())
      if (utf8::is_control(utf8::next(line, pos))) return true;
  }
  return false;
}

TEST(Buffer, ControlCharactersNeverEnter) {
  Buffer buffer({0, 0, 20, 1});
  const int end = buffer.set_string(0, 0,
                                    "a\x1b[31mb\tc\a\x7f\xc2\x85\xc2\x9b"
                                    "d\r\n",
                                    {}, 20);
  EXPECT_EQ(buffer.lines()[0], "a[31mb cd           ");  // a tab is one space
  EXPECT_EQ(end, 9);
  EXPECT_FALSE(has_control(buffer));
}

TEST(Buffer, WideCharactersTakeTwoCellsAndAreNeverCut) {
  Buffer buffer({0, 0, 5, 2});
  EXPECT_EQ(buffer.set_string(0, 0, "日本", {}, 5), 4);
  EXPECT_EQ(buffer.at(0, 0).symbol, "日");
  EXPECT_EQ(buffer.at(1, 0).symbol, "");
  EXPECT_EQ(buffer.lines()[0], "日本 ");
  // A wide character that would stick out of the width is left off.
  EXPECT_EQ(buffer.set_string(0, 1, "ab日", {}, 3), 2);
  EXPECT_EQ(buffer.lines()[1], "ab   ");
}

TEST(Buffer, OverwritingHalfAWideCharacterBlanksTheOtherHalf) {
  Buffer buffer({0, 0, 4, 2});
  buffer.set_string(0, 0, "日本", {}, 4);
  buffer.set_string(1, 0, "x", {}, 1);
  EXPECT_EQ(buffer.lines()[0], " x本");
  buffer.set_string(0, 1, "日本", {}, 4);
  buffer.set_string(2, 1, "y", {}, 1);
  EXPECT_EQ(buffer.lines()[1], "日y ");
}

TEST(Buffer, CombiningMarksStayWithTheirCharacter) {
  Buffer buffer({0, 0, 3, 1});
  buffer.set_string(0, 0, "e\xcc\x81x", {}, 3);
  EXPECT_EQ(buffer.at(0, 0).symbol, "e\xcc\x81");
  EXPECT_EQ(buffer.at(1, 0).symbol, "x");
}

TEST(Buffer, WritesStayInsideTheArea) {
  Buffer buffer({2, 1, 3, 1});
  EXPECT_EQ(buffer.set_string(3, 1, "abcdef", {}, 100), 5);
  buffer.set_string(3, 0, "zz", {}, 10);  // row outside
  buffer.set_style({0, 0, 100, 100}, {Color::Red, Color::Default, false});
  EXPECT_EQ(buffer.lines(), std::vector<std::string>{" ab"});
  EXPECT_EQ(buffer.at(2, 1).style.fg, Color::Red);
}

TEST(Buffer, StylesPatchOverWhatIsThere) {
  Buffer buffer({0, 0, 2, 1});
  buffer.set_style({0, 0, 2, 1}, {Color::Default, Color::Black, false});
  buffer.set_string(0, 0, "a", {Color::Yellow, Color::Default, true}, 1);
  EXPECT_EQ(buffer.at(0, 0).style, (Style{Color::Yellow, Color::Black, true}));
  buffer.clear({0, 0, 1, 1});
  EXPECT_EQ(buffer.at(0, 0), Cell{});
  EXPECT_EQ(buffer.at(1, 0).style.bg, Color::Black);
}

}  // namespace
}  // namespace stackpeek::ui
