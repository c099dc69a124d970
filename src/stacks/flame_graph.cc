#include "stacks/flame_graph.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <numeric>

#include "common/utf8.h"

namespace stackpeek::stacks {
namespace {

// Counts above this are not what a sampler writes, and their sums could overflow.
constexpr uint64_t kMaxSamples = uint64_t{1} << 53;

// A frame as the text shows it, before the tree is built.
struct RawFrame {
  std::string name;
  uint64_t samples = 0;
  double x = 0;  // left edge, in samples (fg:x) or the rectangle's unit
  double width = 0;
  double y = 0;
  uint32_t depth = 0;
};

// "&#60;" or "&#x3C;" as a code point; none when it is not a valid character reference.
std::optional<uint32_t> char_reference(std::string_view entity) {
  const bool hex = entity.starts_with("#x") || entity.starts_with("#X");
  const std::string_view digits = entity.substr(hex ? 2 : 1);
  uint32_t code = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
    return std::nullopt;
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  return code;
}

// Appends text that holds no entity, control characters as spaces.
void append_plain(std::string& out, std::string_view text) {
  const size_t start = out.size();
  out.append(text);
  for (size_t i = start; i < out.size(); ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte < 0x20 || byte == 0x7F) out[i] = ' ';
  }
}

// The entity's character ("lt" gives '<'); none when it is not one.
std::optional<uint32_t> entity_code(std::string_view entity) {
  if (entity == "lt") return '<';
  if (entity == "gt") return '>';
  if (entity == "amp") return '&';
  if (entity == "quot") return '"';
  if (entity == "apos") return '\'';
  if (entity.starts_with("#")) return char_reference(entity);
  return std::nullopt;
}

// The title's text with XML entities decoded; control characters become spaces, so that a
// name never breaks a folded line.
std::string decode_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (;;) {
    const size_t amp = text.find('&');
    append_plain(out, text.substr(0, amp));
    if (amp == std::string_view::npos) return out;
    const size_t semi = text.find(';', amp);
    const auto code = semi != std::string_view::npos && semi - amp <= 10
                          ? entity_code(text.substr(amp + 1, semi - amp - 1))
                          : std::nullopt;
    if (code) {
      utf8::append(out, *code < 0x20 || *code == 0x7F ? U' ' : static_cast<char32_t>(*code));
      text.remove_prefix(semi + 1);
    } else {
      out += '&';
      text.remove_prefix(amp + 1);
    }
  }
}

std::optional<uint64_t> parse_count(std::string_view text) {
  std::string digits;
  for (const char c : text) {
    if (c == ',') continue;
    if (c < '0' || c > '9' || digits.size() > 20) return std::nullopt;
    digits += c;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
    return std::nullopt;
  return value;
}

// "NAME (1,234 samples, 5.00%)" as the length of the name and the count.
std::optional<std::pair<size_t, uint64_t>> split_title(std::string_view title) {
  const size_t open = title.rfind(" (");
  if (open == std::string::npos || open == 0 || !title.ends_with(")")) return std::nullopt;
  std::string_view inner(title);
  inner = inner.substr(open + 2, inner.size() - open - 3);
  const size_t space = inner.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view unit = inner.substr(space + 1);
  if (!unit.starts_with("samples") && !unit.starts_with("sample,")) return std::nullopt;
  const auto count = parse_count(inner.substr(0, space));
  if (!count) return std::nullopt;
  return std::pair{open, *count};
}

// The value of ` NAME="…"` inside a tag; none when missing.
std::optional<std::string_view> attribute(std::string_view tag, std::string_view name) {
  std::string key = " ";
  key += name;
  key += "=\"";
  size_t at = tag.find(key);
  if (at == std::string_view::npos) {
    key[0] = '\n';
    at = tag.find(key);
  }
  if (at == std::string_view::npos) return std::nullopt;
  const size_t start = at + key.size();
  const size_t end = tag.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return tag.substr(start, end - start);
}

std::optional<double> parse_length(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  std::string_view value = *text;
  if (value.ends_with("%")) value.remove_suffix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
      !(number >= -1e15 && number <= 1e15)) {
    return std::nullopt;
  }
  return number;
}

std::optional<uint64_t> parse_samples(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  const auto value = parse_count(*text);
  if (!value || *value > kMaxSamples) return std::nullopt;
  return value;
}

struct Scan {
  std::vector<RawFrame> frames;
  bool exact = true;  // placed by fg:x and fg:w, in samples
  std::string error;
};

// What one frame's title and rectangle say; both ways of placing it are kept until every
// frame is known to carry fg:x and fg:w (or not).
struct FrameText {
  std::optional<uint64_t> title_count, fg_x, fg_w;
  std::optional<double> x, width;
};

// One frame from its title and rectangle tag; false with `scan.error` set when unreadable.
bool add_frame(Scan& scan, std::vector<FrameText>& texts, std::string_view title_text,
               std::string_view rect) {
  RawFrame frame;
  std::string title = decode_text(title_text);
  const auto split = split_title(title);
  const auto y = parse_length(attribute(rect, "y"));
  if (!y) {
    scan.error = "frame " + std::to_string(scan.frames.size() + 1) + " has no row (y)";
    return false;
  }
  frame.y = *y;
  FrameText text{std::nullopt, parse_samples(attribute(rect, "fg:x")),
                 parse_samples(attribute(rect, "fg:w")), parse_length(attribute(rect, "x")),
                 parse_length(attribute(rect, "width"))};
  if (split && split->second <= kMaxSamples) text.title_count = split->second;
  if (split) title.resize(split->first);
  frame.name = std::move(title);
  scan.frames.push_back(std::move(frame));
  texts.push_back(text);
  return true;
}

// Places every frame: in samples when all carry fg:x and fg:w, otherwise by the rectangles
// with the titles' counts. False with `scan.error` set when a frame has neither.
bool place_frames(Scan& scan, const std::vector<FrameText>& texts) {
  const bool exact =
      std::all_of(texts.begin(), texts.end(), [](const FrameText& t) { return t.fg_x && t.fg_w; });
  for (size_t i = 0; i < texts.size(); ++i) {
    const FrameText& text = texts[i];
    RawFrame& frame = scan.frames[i];
    if (exact) {
      frame.samples = *text.fg_w;
      frame.x = static_cast<double>(*text.fg_x);
      frame.width = static_cast<double>(*text.fg_w);
    } else if (text.title_count && text.x && text.width) {
      frame.samples = *text.title_count;
      frame.x = *text.x;
      frame.width = *text.width;
    } else {
      scan.error = "frame " + std::to_string(i + 1) + " has no sample count or place";
      return false;
    }
  }
  scan.exact = exact;
  return true;
}

Scan scan_frames(std::string_view svg) {
  Scan scan;
  std::vector<FrameText> texts;
  constexpr std::string_view kOpen = "<title>", kClose = "</title>";
  size_t at = svg.find(kOpen);
  while (at != std::string_view::npos) {
    const size_t text_start = at + kOpen.size();
    const size_t text_end = svg.find(kClose, text_start);
    if (text_end == std::string_view::npos) break;
    const size_t next = svg.find(kOpen, text_end);
    const size_t rect = svg.find("<rect", text_end);
    if (rect != std::string_view::npos && rect < next) {
      const size_t rect_end = std::min(svg.find('>', rect), next);
      const std::string_view tag =
          svg.substr(rect, rect_end == std::string_view::npos ? svg.npos : rect_end - rect);
      if (!add_frame(scan, texts, svg.substr(text_start, text_end - text_start), tag)) return scan;
    }
    at = next;
  }
  place_frames(scan, texts);
  return scan;
}

// Depths from the rows: the row of a lone "all" frame at either end is the root; without
// one, the root is at the top for an icicle graph ("inverted", as py-spy draws them) and at
// the bottom otherwise. Returns whether the root row is the synthetic "all".
bool assign_depths(std::vector<RawFrame>& frames, std::string_view svg) {
  std::vector<double> rows;
  rows.reserve(frames.size());
  for (const auto& frame : frames) rows.push_back(frame.y);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  const auto in_row = [&](double y) {
    return std::count_if(frames.begin(), frames.end(),
                         [y](const RawFrame& frame) { return frame.y == y; });
  };
  const auto is_all_row = [&](double y) {
    const auto it = std::find_if(frames.begin(), frames.end(),
                                 [y](const RawFrame& frame) { return frame.y == y; });
    return it->name == "all" && in_row(y) == 1;
  };
  bool root_at_top = svg.find("var inverted = true") != std::string_view::npos;
  bool has_all = false;
  if (is_all_row(rows.front())) {
    root_at_top = has_all = true;
  } else if (is_all_row(rows.back())) {
    root_at_top = false;
    has_all = true;
  }
  for (auto& frame : frames) {
    const auto row =
        static_cast<uint32_t>(std::lower_bound(rows.begin(), rows.end(), frame.y) - rows.begin());
    frame.depth = root_at_top ? row : static_cast<uint32_t>(rows.size() - 1 - row);
  }
  return has_all;
}

// The index (into `order`) of the frame of the row before that holds the child's middle.
std::optional<size_t> find_parent(const std::vector<RawFrame>& frames,
                                  const std::vector<size_t>& order, size_t row_begin,
                                  size_t row_end, const RawFrame& child, bool exact) {
  const double middle = child.x + child.width / 2;
  const auto begin = order.begin() + static_cast<std::ptrdiff_t>(row_begin);
  const auto end = order.begin() + static_cast<std::ptrdiff_t>(row_end);
  auto it = std::upper_bound(begin, end, middle,
                             [&](double m, size_t index) { return m < frames[index].x; });
  if (it == begin) return std::nullopt;
  const RawFrame& parent = frames[*std::prev(it)];
  if (!(middle < parent.x + parent.width)) return std::nullopt;
  if (exact && (child.x < parent.x || child.x + child.width > parent.x + parent.width))
    return std::nullopt;
  return static_cast<size_t>(std::prev(it) - order.begin());
}

FlameGraphRead fail(std::string why) { return {std::nullopt, std::move(why)}; }

FlameGraphRead build_tree(std::vector<RawFrame> frames, bool has_all, bool exact) {
  // Callers before callees, each row left to right.
  std::vector<size_t> order(frames.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (frames[a].depth != frames[b].depth) return frames[a].depth < frames[b].depth;
    return frames[a].x < frames[b].x;
  });
  const size_t skip = has_all ? 1 : 0;
  FlameGraph graph;
  graph.frames.reserve(order.size() - skip);
  std::vector<uint64_t> callees(order.size(), 0);
  size_t row_begin = 0, previous_begin = 0;
  for (size_t i = skip; i < order.size(); ++i) {
    const RawFrame& frame = frames[order[i]];
    if (i == skip || frame.depth != frames[order[i - 1]].depth) {
      previous_begin = row_begin;
      row_begin = i;
    }
    FlameFrame out{std::move(frames[order[i]].name), frame.samples, 0, -1};
    if (frame.depth > skip) {
      const auto parent = find_parent(frames, order, previous_begin, row_begin, frame, exact);
      if (!parent) return fail("frame \"" + out.name + "\" has no caller below it");
      callees[*parent] += frame.samples;
      if (callees[*parent] > frames[order[*parent]].samples) {
        return fail("the callees of \"" + graph.frames[*parent - skip].name +
                    "\" hold more samples than it does");
      }
      out.parent = static_cast<int32_t>(*parent - skip);
    } else {
      graph.total += frame.samples;
      if (has_all && graph.total > frames[order[0]].samples)
        return fail("the callees of \"all\" hold more samples than it does");
      if (graph.total > kMaxSamples) return fail("the flame graph holds too many samples");
    }
    graph.frames.push_back(std::move(out));
  }
  for (size_t i = skip; i < order.size(); ++i) {
    graph.frames[i - skip].own = graph.frames[i - skip].samples - callees[i];
  }
  if (graph.frames.empty() || graph.total == 0) return fail("the flame graph holds no samples");
  return {std::move(graph), {}};
}

}  // namespace

FlameGraphRead read_flame_graph(std::string_view svg) {
  Scan scan = scan_frames(svg);
  if (!scan.error.empty()) return fail(std::move(scan.error));
  if (scan.frames.empty()) {
    if (svg.find("No valid input provided to flamegraph") != std::string_view::npos)
      return fail("the flame graph holds no samples (py-spy wrote an empty placeholder)");
    return fail("no flame-graph frames found");
  }
  if (scan.frames.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    return fail("the flame graph holds too many frames");
  const bool has_all = assign_depths(scan.frames, svg);
  return build_tree(std::move(scan.frames), has_all, scan.exact);
}

std::string stack_path(const FlameGraph& graph, size_t frame) {
  std::vector<const std::string*> names;
  size_t size = 0;
  for (auto at = static_cast<int32_t>(frame); at >= 0; at = graph.frames[at].parent) {
    names.push_back(&graph.frames[at].name);
    size += graph.frames[at].name.size() + 1;
  }
  std::string path;
  path.reserve(size);
  // A separator between every two frames, also next to a frame without a name.
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (it != names.rbegin()) path += ';';
    path += **it;
  }
  return path;
}

uint64_t folded_size(const FlameGraph& graph) {
  // Frames come after their callers, so each path's length builds on its caller's.
  std::vector<uint64_t> path_size(graph.frames.size(), 0);
  uint64_t total = 0;
  for (size_t i = 0; i < graph.frames.size(); ++i) {
    const auto& frame = graph.frames[i];
    path_size[i] = frame.name.size() + (frame.parent >= 0 ? path_size[frame.parent] + 1 : 0);
    if (frame.own > 0) total += path_size[i] + 1 + std::to_string(frame.own).size() + 1;
  }
  return total;
}

}  // namespace stackpeek::stacks
