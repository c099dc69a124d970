#include "ui/layout.h"

#include <algorithm>
#include <cmath>

namespace stackpeek::ui {
namespace {

using Kind = Constraint::Kind;

// Sizes in cells, possibly fractional, that add up to `total`.
std::vector<double> part_sizes(double total, const std::vector<Constraint>& constraints) {
  std::vector<double> sizes(constraints.size(), 0.0);
  double remaining = total;
  const auto take = [&](double wanted) {
    const double got = std::clamp(wanted, 0.0, remaining);
    remaining -= got;
    return got;
  };
  for (size_t i = 0; i < constraints.size(); ++i) {
    const Constraint& c = constraints[i];
    if (c.kind == Kind::Length) sizes[i] = take(c.value);
    if (c.kind == Kind::Percentage) sizes[i] = take(total * c.value / 100.0);
  }
  size_t sink = constraints.size() - 1;
  for (size_t i = 0; i < constraints.size(); ++i) {
    if (constraints[i].kind != Kind::Min) continue;
    sizes[i] = take(constraints[i].value);
    sink = i;
  }
  sizes[sink] += remaining;
  return sizes;
}

}  // namespace

std::vector<Rect> split(Rect area, Direction direction,
                        const std::vector<Constraint>& constraints) {
  if (constraints.empty()) return {};
  const bool vertical = direction == Direction::Vertical;
  const int total = std::max(vertical ? area.height : area.width, 0);
  const std::vector<double> sizes = part_sizes(total, constraints);
  std::vector<Rect> parts;
  double end = 0.0;
  int start = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    end += sizes[i];
    const int stop =
        i + 1 == sizes.size() ? total : std::clamp<int>(std::lround(end), start, total);
    Rect part = area;
    if (vertical) {
      part.y = area.y + start;
      part.height = stop - start;
    } else {
      part.x = area.x + start;
      part.width = stop - start;
    }
    parts.push_back(part);
    start = stop;
  }
  return parts;
}

}  // namespace stackpeek::ui
