#include "ui/widgets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/grapheme.h"

namespace stackpeek::ui {
namespace {

std::vector<std::string> wrapped(std::string_view text, int width) {
  std::vector<std::string> out;
  for (const Line& line : wrap_lines(text_from(text), width)) out.push_back(line.plain());
  return out;
}

using Lines = std::vector<std::string>;

TEST(Wrap, BreaksAtWordsAndDropsTheBlankAtTheBreak) {
  EXPECT_EQ(wrapped("alpha beta gamma", 10), (Lines{"alpha beta", "gamma"}));
  EXPECT_EQ(wrapped("abcd e", 5), (Lines{"abcd", "e"}));
  EXPECT_EQ(wrapped("abc d", 5), (Lines{"abc d"}));
}

TEST(Wrap, KeepsLeadingBlanks) {
  EXPECT_EQ(wrapped("  ab cd", 5), (Lines{"  ab", "cd"}));
  EXPECT_EQ(wrapped("    Thread 42 (idle)", 30), (Lines{"    Thread 42 (idle)"}));
}

TEST(Wrap, BreaksWordsLongerThanTheWidthBetweenCharacters) {
  EXPECT_EQ(wrapped("abcdefghijkl", 5), (Lines{"abcde", "fghij", "kl"}));
  EXPECT_EQ(wrapped("ab cdefghij", 5), (Lines{"ab", "cdefg", "hij"}));
}

TEST(Wrap, WideCharactersNeverStickOut) {
  EXPECT_EQ(wrapped("日本語です", 5), (Lines{"日本", "語で", "す"}));
  for (const std::string& line : wrapped("日本語 です 日本語です", 5))
    EXPECT_LE(display_width(line), 5) << line;
}

TEST(Wrap, EmptyLinesStayAndLineFeedsSplit) {
  EXPECT_EQ(wrapped("a\n\nb", 5), (Lines{"a", "", "b"}));
  EXPECT_EQ(wrapped("a\r\nb\n", 5), (Lines{"a", "b"}));
  EXPECT_EQ(wrapped("", 5), (Lines{""}));
}

TEST(Wrap, KeepsSpanStyles) {
  const Style bold{Color::Yellow, Color::Default, true};
  const Text text = {Line(std::vector<Span>{{"Pid        ", bold}, {"42", {}}})};
  const auto lines = wrap_lines(text, 40);
  ASSERT_EQ(lines.size(), 1u);
  ASSERT_EQ(lines[0].spans.size(), 2u);
  EXPECT_EQ(lines[0].spans[0].style, bold);
  EXPECT_EQ(lines[0].spans[1].content, "42");
}

TEST(Paragraph, ScrollsByWrappedLines) {
  Buffer buffer({0, 0, 5, 2});
  render_paragraph(buffer, buffer.area(), text_from("one two three four"), 1);
  EXPECT_EQ(buffer.lines(), (Lines{"two  ", "three"}));
  Buffer past({0, 0, 5, 2});
  render_paragraph(past, past.area(), std::vector<std::string>{"one", "two"}, 5);
  EXPECT_EQ(past.lines(), (Lines{"     ", "     "}));
}

TEST(Paragraph, StaysInsideItsArea) {
  Buffer buffer({0, 0, 7, 3});
  render_paragraph(buffer, {1, 1, 4, 1}, text_from("abcdefgh ijk"), 0);
  EXPECT_EQ(buffer.lines(), (Lines{"       ", " abcd  ", "       "}));
}

TEST(Block, DrawsPlainBordersAndTheTitle) {
  Buffer buffer({0, 0, 8, 3});
  const Rect inner = render_block(buffer, buffer.area(), "Details");
  EXPECT_EQ(inner, (Rect{1, 1, 6, 1}));
  EXPECT_EQ(buffer.lines(), (Lines{"┌Detail┐", "│      │", "└──────┘"}));
}

TEST(Block, StyleCoversTheWholeArea) {
  Buffer buffer({0, 0, 4, 3});
  render_block(buffer, buffer.area(), "T", {Color::Default, Color::Black, false});
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(buffer.at(x, y).style.bg, Color::Black);
}

std::vector<std::string_view> numbered(size_t n, std::vector<std::string>& storage) {
  storage.clear();
  for (size_t i = 0; i < n; ++i) storage.push_back("item " + std::to_string(i));
  return {storage.begin(), storage.end()};
}

TEST(List, MarksTheSelectedRowAndHighlightsItsWholeWidth) {
  std::vector<std::string> storage;
  Buffer buffer({0, 0, 10, 3});
  ListState state{1, 0};
  const Style highlight{Color::Black, Color::Cyan, true};
  render_list(buffer, buffer.area(), numbered(3, storage), state, "> ", highlight);
  EXPECT_EQ(buffer.lines(), (Lines{"  item 0  ", "> item 1  ", "  item 2  "}));
  for (int x = 0; x < 10; ++x) {
    EXPECT_EQ(buffer.at(x, 1).style, highlight);
    EXPECT_EQ(buffer.at(x, 0).style, Style{});
  }
}

TEST(List, WithoutSelectionKeepsNoRoomForTheSymbol) {
  std::vector<std::string> storage;
  Buffer buffer({0, 0, 8, 1});
  ListState state;
  render_list(buffer, buffer.area(), numbered(1, storage), state, "> ", {});
  EXPECT_EQ(buffer.lines(), (Lines{"item 0  "}));
}

TEST(List, ScrollsOnlyAsFarAsTheSelectionNeeds) {
  std::vector<std::string> storage;
  const auto items = numbered(50, storage);
  Buffer buffer({0, 0, 9, 4});
  ListState state{40, 0};
  render_list(buffer, buffer.area(), items, state, "> ", {});
  EXPECT_EQ(state.offset, 37u);
  EXPECT_EQ(buffer.lines(), (Lines{"  item 37", "  item 38", "  item 39", "> item 40"}));
}

TEST(List, ItemsWithLineFeedsTakeSeveralRowsAndShowOnlyWhole) {
  std::vector<std::string> storage = {"a\nb", "c", "d\ne\nf"};
  const std::vector<std::string_view> items(storage.begin(), storage.end());
  Buffer buffer({0, 0, 4, 4});
  ListState state{0, 0};
  render_list(buffer, buffer.area(), items, state, "> ", {});
  EXPECT_EQ(buffer.lines(), (Lines{"> a ", "  b ", "  c ", "    "}));
}

}  // namespace
}  // namespace stackpeek::ui
