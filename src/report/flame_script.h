#pragma once

// The script of a flame graph SVG, for a person reading it in a browser. Its state lives in
// the address's fragment, "#zoom=N&search=TEXT", so Back undoes a step and a link keeps
// what it shows:
// - a click on a box zooms to it: the box fills the width with its callees above it, the
//   boxes below it span the width, the rest hide ("Reset zoom", or a click on the root,
//   returns). N counts the boxes (<g> elements) in document order.
// - "Search" (shown only where the script runs) asks for a regular expression, or a plain
//   text when it is none, and paints the boxes whose label matches it, naming how many; a
//   click then clears it.
// Labels are fitted again as the writer fits them. Where scripts do not run (an <img>, a
// converter), the picture reads the same.

#include <string>

namespace stackpeek::report {

/// How the writer drew the boxes, in pixels.
struct FlameGeometry {
  double flame_width = 0;  // the root's width
  double margin = 0;       // the root's x
  double char_width = 0;   // advance of one label character
  double text_inset = 0;   // room kept at a box's left and right
  double baseline = 0;     // a label's baseline below its box's top
};

/// The "Reset zoom" and "Search" texts and the <script> element, to end the SVG with.
std::string flame_script(const FlameGeometry& geometry);

}  // namespace stackpeek::report
