#pragma once

#include <vector>

#include "ui/buffer.h"

namespace stackpeek::ui {

struct Constraint {
  enum class Kind { Min, Length, Percentage };
  Kind kind;
  int value;
  static Constraint min(int v) { return {Kind::Min, v}; }
  static Constraint length(int v) { return {Kind::Length, v}; }
  static Constraint percentage(int v) { return {Kind::Percentage, v}; }
};

enum class Direction { Vertical, Horizontal };

/// Splits `area` along `direction`; the parts cover the area without gaps or overlap.
std::vector<Rect> split(Rect area, Direction direction, const std::vector<Constraint>& constraints);

}  // namespace stackpeek::ui
