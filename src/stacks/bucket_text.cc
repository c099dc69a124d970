#include "stacks/bucket_text.h"

#include <algorithm>

#include "common/utf8.h"
#include "stacks/stack_compare.h"

namespace stackpeek::stacks {
namespace {

constexpr size_t kMaxLinePieces = 3;

size_t columns(std::string_view text) {
  size_t width = 0;
  for (size_t pos = 0; pos < text.size();) width += utf8::display_width(utf8::next(text, pos));
  return width;
}

}  // namespace

std::string format_frame_lines(const StackFrame& frame, std::vector<uint32_t> lines) {
  std::sort(lines.begin(), lines.end());
  lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
  std::string out = frame.function.str() + " (" + frame.file.str();
  if (!lines.empty()) {
    std::string ranges = compact_ranges(lines, kMaxLinePieces + 1);
    if (static_cast<size_t>(std::count(ranges.begin(), ranges.end(), ',')) >= kMaxLinePieces) {
      ranges = std::to_string(lines.front()) + "-" + std::to_string(lines.back());
    }
    out += ":" + ranges;
  }
  return out + ")";
}

size_t first_different_frame(const ThreadStack& a, const ThreadStack& b) {
  const size_t common = std::min(a.frames.size(), b.frames.size());
  for (size_t i = 0; i < common; ++i) {
    if (a.frames[i].function != b.frames[i].function || a.frames[i].file != b.frames[i].file) {
      return i;
    }
  }
  return common;
}

size_t first_different_thread(const ProcessDump& a, const ProcessDump& b) {
  const size_t common = std::min(a.threads.size(), b.threads.size());
  for (size_t i = 0; i < common; ++i) {
    const ThreadStack& x = a.threads[i];
    const ThreadStack& y = b.threads[i];
    if (x.name != y.name || x.frames.size() != y.frames.size() ||
        first_different_frame(x, y) != x.frames.size()) {
      return i;
    }
  }
  return common;
}

std::vector<std::string> wrap_words(std::string_view text, size_t width,
                                    std::string (*fit)(std::string, size_t)) {
  std::vector<std::string> lines;
  std::string current;
  size_t current_width = 0;
  while (!text.empty()) {
    const size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
    if (word.empty()) continue;
    const size_t word_width = columns(word);
    if (width > 0 && !current.empty() && current_width + 1 + word_width > width) {
      lines.push_back(std::move(current));
      current.clear();
      current_width = 0;
    }
    if (!current.empty()) {
      current += ' ';
      ++current_width;
    }
    current += word;
    current_width += word_width;
    if (width > 0 && current_width > width) {
      lines.push_back(fit(std::move(current), width));
      current.clear();
      current_width = 0;
    }
  }
  if (!current.empty() || lines.empty()) lines.push_back(std::move(current));
  return lines;
}

}  // namespace stackpeek::stacks
