#pragma once

// A flame graph as a self-contained SVG file: boxes stacked from the outermost frame at the
// bottom, each as wide as its weight, its label cut to the box and its full text in a
// <title> tooltip. No fonts, styles or scripts are fetched: a browser opens the file
// alone. A small script adds click-to-zoom (the box clicked fills the width, "#zoom=N" in
// the address keeps it); where scripts do not run, the picture reads the same.

#include <cstdint>
#include <string>
#include <vector>

namespace stackpeek::report {

struct FlameBox {
  std::string label;    // drawn in the box, cut to fit
  std::string tooltip;  // the box's <title>; lines separated by "\n"
  std::string fill;     // "#rrggbb"
  double weight = 0;
  int32_t parent = -1;  // index of the box below; -1 for the root (boxes[0])
};

struct LegendEntry {
  std::string fill;
  std::string text;
};

struct FlamePicture {
  std::string title;
  std::string subtitle;
  /// boxes[0] is the root; every box comes after its parent, siblings left to right.
  std::vector<FlameBox> boxes;
  std::vector<LegendEntry> legend;
};

/// Width of the drawing in pixels, and the narrowest box drawn: narrower siblings are
/// drawn together as one "…" box at their parent's right end, without their callees.
constexpr double kFlameWidth = 1200;
constexpr double kMinBoxWidth = 2;

/// The SVG text. Every text from the picture is escaped for XML; control characters and
/// bytes that are not UTF-8 are written visibly ("\x1b").
std::string render_flame_svg(const FlamePicture& picture);

/// `text` escaped for XML character data and attribute values.
std::string xml_text(std::string_view text);

}  // namespace stackpeek::report
