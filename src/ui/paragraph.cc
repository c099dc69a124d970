// Word wrapping for the Details and output panes: words move whole to the next line where
// they fit, and leading blanks stay, so indented stack frames keep their indentation.
#include <algorithm>
#include <deque>
#include <vector>

#include "common/grapheme.h"
#include "ui/widgets.h"

namespace stackpeek::ui {
namespace {

struct StyledGrapheme {
  Grapheme g;
  Style style;
};

using WrappedLine = std::vector<StyledGrapheme>;

// A span's text and style, borrowed from a Line or a plain string.
struct SpanView {
  std::string_view content;
  Style style;
};

// Breaks one line into wrapped lines, handing each to `emit`; stops early (returning
// false) as soon as `emit` returns false.
class WordWrapper {
 public:
  explicit WordWrapper(int max_width) : max_(max_width) {}

  template <class Spans, class Emit>
  bool wrap(const Spans& spans, Emit&& emit) {
    reset();
    for (const SpanView& span : spans) {
      GraphemeCursor cursor(span.content);
      Grapheme g;
      while (cursor.next(g)) {
        if (!step({g, span.style}, emit)) return false;
      }
    }
    return finish(emit);
  }

 private:
  void reset() {
    line_.clear(), word_.clear(), blanks_.clear();
    line_width_ = word_width_ = blank_width_ = 0;
    after_word_ = false, emitted_ = false;
  }

  // Moves the pending blanks and word onto the current line.
  void commit_word() {
    line_.insert(line_.end(), blanks_.begin(), blanks_.end());
    line_.insert(line_.end(), word_.begin(), word_.end());
    line_width_ += blank_width_ + word_width_;
    blanks_.clear(), word_.clear();
    blank_width_ = word_width_ = 0;
  }

  template <class Emit>
  bool emit_line(Emit& emit) {
    emitted_ = true;
    const bool more = emit(line_);
    line_.clear();
    line_width_ = 0;
    return more;
  }

  template <class Emit>
  bool step(const StyledGrapheme& sg, Emit& emit) {
    const int width = sg.g.width;
    const bool blank = sg.g.whitespace;
    if (width > max_) return true;  // could never be shown
    const bool word_ended = after_word_ && blank;
    const bool word_overflows = line_.empty() && word_width_ + blank_width_ + width > max_;
    if (word_ended || word_overflows) commit_word();
    // Counting the new character's own width keeps wide characters inside the width.
    const bool no_room = width > 0 && line_width_ + blank_width_ + word_width_ + width > max_;
    if (line_width_ >= max_ || no_room) {
      int room = std::max(max_ - line_width_, 0);
      if (!emit_line(emit)) return false;
      // Blanks that would have ended the broken line go with it.
      while (!blanks_.empty() && blanks_.front().g.width <= room) {
        room -= blanks_.front().g.width;
        blank_width_ -= blanks_.front().g.width;
        blanks_.pop_front();
      }
      if (blank && blanks_.empty()) return true;
    }
    if (blank) {
      blank_width_ += width;
      blanks_.push_back(sg);
    } else {
      word_width_ += width;
      word_.push_back(sg);
    }
    after_word_ = !blank;
    return true;
  }

  template <class Emit>
  bool finish(Emit& emit) {
    if (!word_.empty() || !blanks_.empty()) {
      if (line_.empty() && word_.empty()) {
        blanks_.clear(), blank_width_ = 0;
        if (!emit_line(emit)) return false;
      }
      commit_word();
    }
    if (!line_.empty() && !emit_line(emit)) return false;
    if (!emitted_) return emit_line(emit);
    return true;
  }

  int max_;
  WrappedLine line_, word_;
  std::deque<StyledGrapheme> blanks_;
  int line_width_ = 0, word_width_ = 0, blank_width_ = 0;
  bool after_word_ = false, emitted_ = false;
};

std::vector<SpanView> spans_of(const Line& line) {
  std::vector<SpanView> spans;
  for (const Span& span : line.spans) spans.push_back({span.content, span.style});
  return spans;
}

// Runs the wrapper over every line until `emit` returns false.
template <class Emit>
void wrap_text(const Text& text, int width, Emit&& emit) {
  if (width <= 0) return;
  WordWrapper wrapper(width);
  for (const Line& line : text) {
    if (!wrapper.wrap(spans_of(line), emit)) return;
  }
}

template <class Emit>
void wrap_text(const std::vector<std::string>& lines, int width, Emit&& emit) {
  if (width <= 0) return;
  WordWrapper wrapper(width);
  for (const std::string& line : lines) {
    const SpanView spans[] = {{line, {}}};
    if (!wrapper.wrap(spans, emit)) return;
  }
}

template <class Lines>
void draw_wrapped(Buffer& buffer, Rect area, const Lines& lines, int scroll, Style base) {
  if (area.empty()) return;
  int row = 0;
  wrap_text(lines, area.width, [&](const WrappedLine& wrapped) {
    if (row >= scroll) {
      int x = area.x;
      for (const StyledGrapheme& sg : wrapped) {
        if (sg.g.width == 0) continue;  // controls and stray marks are never drawn
        if (x + sg.g.width > area.right()) break;
        buffer.set_grapheme(x, area.y + row - scroll, sg.g.symbol, sg.g.width,
                            patch(base, sg.style));
        x += sg.g.width;
      }
    }
    ++row;
    return row < scroll + area.height;
  });
}

Line to_line(const WrappedLine& wrapped) {
  Line line;
  for (const StyledGrapheme& sg : wrapped) {
    if (line.spans.empty() || !(line.spans.back().style == sg.style))
      line.spans.push_back({"", sg.style});
    line.spans.back().content += sg.g.symbol;
  }
  return line;
}

}  // namespace

std::vector<Line> wrap_lines(const Text& text, int width) {
  std::vector<Line> lines;
  wrap_text(text, width, [&](const WrappedLine& wrapped) {
    lines.push_back(to_line(wrapped));
    return true;
  });
  return lines;
}

int wrapped_line_count(const std::vector<std::string>& lines, int width) {
  int count = 0;
  wrap_text(lines, width, [&](const WrappedLine&) {
    ++count;
    return true;
  });
  return count;
}

void render_paragraph(Buffer& buffer, Rect area, const Text& text, int scroll, Style base) {
  draw_wrapped(buffer, area, text, scroll, base);
}

void render_paragraph(Buffer& buffer, Rect area, const std::vector<std::string>& lines, int scroll,
                      Style base) {
  draw_wrapped(buffer, area, lines, scroll, base);
}

}  // namespace stackpeek::ui
