#pragma once

#include <vector>

#include "ui/buffer.h"

namespace stackpeek::ui {

/// What one part of a split asks for: at least, exactly, or a percentage of the cells.
struct Constraint {
  enum class Kind { Min, Length, Percentage };
  Kind kind;
  int value;
  static Constraint min(int v) { return {Kind::Min, v}; }
  static Constraint length(int v) { return {Kind::Length, v}; }
  static Constraint percentage(int v) { return {Kind::Percentage, v}; }
};

/// Vertical splits stack parts top to bottom; horizontal ones left to right.
enum class Direction { Vertical, Horizontal };

/// Splits `area` along `direction`, one part per constraint; the parts cover the area in
/// order without gaps or overlap. Lengths and percentages are served first, in order and
/// as far as the area allows; Min parts get the rest, the last Min part (or, without one,
/// the last part) also whatever is left over. Fractional sizes are rounded at the part
/// boundaries, so percentages that add up to 100 always fill the area exactly.
std::vector<Rect> split(Rect area, Direction direction, const std::vector<Constraint>& constraints);

}  // namespace stackpeek::ui
