#include "report/flame_svg.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "common/utf8.h"
#include "common/util.h"
#include "report/flame_script.h"

namespace stackpeek::report {
namespace {

constexpr double kRowHeight = 17;
constexpr double kBoxHeight = 15;
constexpr double kMargin = 10;
constexpr double kHeaderHeight = 56;
constexpr double kLegendRow = 18;
constexpr double kLegendEntryWidth = 290;
// 12 px monospace: the advance of one character, and the room kept at a box's left.
constexpr double kCharWidth = 7.3;
constexpr double kTextInset = 3;
constexpr std::string_view kElidedFill = "#dddddd";

struct Placed {
  double x = 0;
  double width = 0;
  uint32_t depth = 0;
  bool drawn = false;
};

// What a box's parent keeps of its callees too narrow to draw.
struct Elided {
  double next_x = 0;
  double weight = 0;
  size_t count = 0;
};

// The text made visible (controls and stray bytes written out), cut to `chars`
// characters with "…" when longer.
std::string fitted(std::string_view text, size_t chars) {
  std::string visible = escape_controls(text);
  if (utf8::char_count(visible) <= chars) return visible;
  if (chars == 0) return {};
  visible.resize(utf8::byte_offset(visible, chars - 1));
  return visible + std::string(kEllipsis);
}

std::string tooltip_text(std::string_view tooltip) {
  std::string out;
  for (const auto line : split_lines(tooltip)) {
    if (!out.empty()) out += '\n';
    out += escape_controls(line);
  }
  return out;
}

// A box keeps its whole label in `data-l` when the drawn one is cut, for the zoom script
// to fit it again to the box's new width.
void box_svg(std::string& out, double x, double y, double width, std::string_view fill,
             std::string_view label, std::string_view tooltip) {
  const double room = (width - 2 * kTextInset) / kCharWidth;
  const std::string whole = escape_controls(label);
  const std::string text = room >= 2 ? fitted(label, static_cast<size_t>(room)) : std::string();
  out += text == whole ? "<g>" : fmt::format("<g data-l=\"{}\">", xml_text(whole));
  fmt::format_to(std::back_inserter(out),
                 "<title>{}</title><rect x=\"{:.1f}\" y=\"{:.0f}\" width=\"{:.2f}\" "
                 "height=\"{:.0f}\" fill=\"{}\" rx=\"2\"/>",
                 xml_text(tooltip_text(tooltip)), x, y, width, kBoxHeight, xml_text(fill));
  if (!text.empty()) {
    fmt::format_to(std::back_inserter(out), "<text x=\"{:.1f}\" y=\"{:.0f}\">{}</text>",
                   x + kTextInset, y + kBoxHeight - 4, xml_text(text));
  }
  out += "</g>\n";
}

std::vector<Placed> place(const std::vector<FlameBox>& boxes, std::vector<Elided>& elided) {
  std::vector<Placed> placed(boxes.size());
  elided.assign(boxes.size(), {});
  if (boxes.empty()) return placed;
  const double total = boxes.front().weight;
  placed[0] = {.x = kMargin, .width = kFlameWidth, .depth = 0, .drawn = true};
  elided[0].next_x = kMargin;
  for (size_t i = 1; i < boxes.size(); ++i) {
    const auto parent = static_cast<size_t>(boxes[i].parent);
    if (boxes[i].parent < 0 || parent >= i || !placed[parent].drawn) continue;
    const double width = total > 0 ? boxes[i].weight / total * kFlameWidth : 0;
    if (width < kMinBoxWidth) {
      elided[parent].weight += boxes[i].weight;
      ++elided[parent].count;
      continue;
    }
    placed[i] = {.x = elided[parent].next_x,
                 .width = width,
                 .depth = placed[parent].depth + 1,
                 .drawn = true};
    elided[parent].next_x += width;
    elided[i].next_x = placed[i].x;
  }
  return placed;
}

std::string legend_svg(const std::vector<LegendEntry>& legend, double y) {
  std::string out;
  const auto per_row = static_cast<size_t>(kFlameWidth / kLegendEntryWidth);
  for (size_t i = 0; i < legend.size(); ++i) {
    const double x = kMargin + static_cast<double>(i % per_row) * kLegendEntryWidth;
    const size_t row = i / per_row;
    const double row_y = y + static_cast<double>(row) * kLegendRow;
    fmt::format_to(std::back_inserter(out),
                   "<rect x=\"{:.0f}\" y=\"{:.0f}\" width=\"12\" height=\"12\" fill=\"{}\"/>"
                   "<text x=\"{:.0f}\" y=\"{:.0f}\">{}</text>\n",
                   x, row_y, xml_text(legend[i].fill), x + 17, row_y + 10,
                   xml_text(fitted(legend[i].text, 36)));
  }
  return out;
}

}  // namespace

std::string xml_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string render_flame_svg(const FlamePicture& picture) {
  std::vector<Elided> elided;
  const std::vector<Placed> placed = place(picture.boxes, elided);
  uint32_t depth = 0;
  for (size_t i = 0; i < placed.size(); ++i) {
    if (placed[i].drawn) depth = std::max(depth, placed[i].depth + (elided[i].count > 0 ? 1 : 0));
  }
  const size_t per_row = static_cast<size_t>(kFlameWidth / kLegendEntryWidth);
  const double legend_height =
      std::ceil(static_cast<double>(picture.legend.size()) / static_cast<double>(per_row)) *
      kLegendRow;
  const double chart_top = kHeaderHeight + legend_height;
  const double height = chart_top + (depth + 1) * kRowHeight + kMargin;
  const double width = kFlameWidth + 2 * kMargin;
  std::string out = fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
      "<svg version=\"1.1\" width=\"{0:.0f}\" height=\"{1:.0f}\" viewBox=\"0 0 {0:.0f} {1:.0f}\" "
      "xmlns=\"http://www.w3.org/2000/svg\">\n"
      "<style>text{{font-family:monospace;font-size:12px;fill:#000}}"
      "g:hover rect{{stroke:#000;stroke-width:0.5}}.t{{font-size:17px;text-anchor:middle}}"
      ".s{{fill:#555;text-anchor:middle}}.u{{fill:#06c;cursor:pointer}}</style>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"#f8f8f4\"/>\n"
      "<text class=\"t\" x=\"{2:.0f}\" y=\"22\">{3}</text>\n"
      "<text class=\"s\" x=\"{2:.0f}\" y=\"42\">{4}</text>\n",
      width, height, width / 2, xml_text(fitted(picture.title, 150)),
      xml_text(fitted(picture.subtitle, 160)));
  out += legend_svg(picture.legend, kHeaderHeight);
  const auto row_y = [&](uint32_t d) { return chart_top + (depth - d) * kRowHeight; };
  for (size_t i = 0; i < picture.boxes.size(); ++i) {
    if (!placed[i].drawn) continue;
    const FlameBox& box = picture.boxes[i];
    box_svg(out, placed[i].x, row_y(placed[i].depth), placed[i].width, box.fill, box.label,
            box.tooltip);
  }
  const double total = picture.boxes.empty() ? 0 : picture.boxes.front().weight;
  for (size_t i = 0; i < picture.boxes.size(); ++i) {
    if (elided[i].count == 0 || total <= 0) continue;
    const double w = elided[i].weight / total * kFlameWidth;
    box_svg(out, elided[i].next_x, row_y(placed[i].depth + 1), w, kElidedFill,
            std::string(kEllipsis),
            fmt::format("{} frames too narrow to draw ({:.4g} of {:.4g})", elided[i].count,
                        elided[i].weight, total));
  }
  out += flame_script({.flame_width = kFlameWidth,
                       .margin = kMargin,
                       .char_width = kCharWidth,
                       .text_inset = kTextInset,
                       .baseline = kBoxHeight - 4});
  out += "</svg>\n";
  return out;
}

}  // namespace stackpeek::report
