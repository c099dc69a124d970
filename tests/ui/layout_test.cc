#include "ui/layout.h"

#include <gtest/gtest.h>

namespace stackpeek::ui {
namespace {

std::vector<int> heights(const std::vector<Rect>& parts) {
  std::vector<int> h;
  for (const Rect& r : parts) h.push_back(r.height);
  return h;
}

std::vector<int> widths(const std::vector<Rect>& parts) {
  std::vector<int> w;
  for (const Rect& r : parts) w.push_back(r.width);
  return w;
}

const std::vector<Constraint> kScreenRows = {Constraint::min(8), Constraint::length(9),
                                             Constraint::length(1)};

TEST(Layout, PartsCoverTheAreaInOrderAtEverySize) {
  const std::vector<Constraint> thirds = {Constraint::percentage(15), Constraint::percentage(70),
                                          Constraint::percentage(15)};
  for (int size = 0; size <= 60; ++size) {
    for (const auto& constraints : {kScreenRows, thirds}) {
      const Rect area{3, 2, 7, size};
      const auto parts = split(area, Direction::Vertical, constraints);
      ASSERT_EQ(parts.size(), constraints.size());
      int y = area.y;
      for (const Rect& part : parts) {
        EXPECT_EQ(part.y, y) << size;
        EXPECT_GE(part.height, 0);
        EXPECT_EQ(part.x, 3);
        EXPECT_EQ(part.width, 7);
        y += part.height;
      }
      EXPECT_EQ(y, area.bottom()) << size;
    }
  }
}

TEST(Layout, ScreenRowsGiveTheRestToTheMainArea) {
  EXPECT_EQ(heights(split({0, 0, 120, 30}, Direction::Vertical, kScreenRows)),
            (std::vector<int>{20, 9, 1}));
  EXPECT_EQ(heights(split({0, 0, 120, 18}, Direction::Vertical, kScreenRows)),
            (std::vector<int>{8, 9, 1}));
}

TEST(Layout, SmallAreasServeLengthsFirst) {
  EXPECT_EQ(heights(split({0, 0, 80, 12}, Direction::Vertical, kScreenRows)),
            (std::vector<int>{2, 9, 1}));
  EXPECT_EQ(heights(split({0, 0, 80, 5}, Direction::Vertical, kScreenRows)),
            (std::vector<int>{0, 5, 0}));
  EXPECT_EQ(heights(split({0, 0, 80, 0}, Direction::Vertical, kScreenRows)),
            (std::vector<int>{0, 0, 0}));
}

TEST(Layout, PercentagesRoundAtTheBoundaries) {
  EXPECT_EQ(widths(split({0, 0, 120, 1}, Direction::Horizontal,
                         {Constraint::percentage(56), Constraint::percentage(44)})),
            (std::vector<int>{67, 53}));
  EXPECT_EQ(heights(split({0, 0, 1, 30}, Direction::Vertical,
                          {Constraint::percentage(15), Constraint::percentage(70),
                           Constraint::percentage(15)})),
            (std::vector<int>{5, 21, 4}));
  EXPECT_EQ(widths(split({0, 0, 120, 1}, Direction::Horizontal,
                         {Constraint::percentage(13), Constraint::percentage(74),
                          Constraint::percentage(13)})),
            (std::vector<int>{16, 88, 16}));
}

TEST(Layout, LeftoverWithoutMinGoesToTheLastPart) {
  EXPECT_EQ(widths(split({0, 0, 10, 1}, Direction::Horizontal,
                         {Constraint::length(3), Constraint::length(2)})),
            (std::vector<int>{3, 7}));
}

}  // namespace
}  // namespace stackpeek::ui
