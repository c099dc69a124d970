#include "stacks/bucket_text.h"

#include <algorithm>
#include <climits>
#include <map>
#include <tuple>

#include "common/grapheme.h"
#include "common/text_fit.h"
#include "common/util.h"

namespace stackpeek::stacks {
namespace {

constexpr size_t kMaxLinePieces = 3;

// Runs of three or more consecutive numbers as "A-B", others one by one, capped.
template <typename Value, typename Text>
std::vector<std::string> range_pieces(const std::vector<Value>& values, Text text) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < values.size();) {
    size_t j = i;
    while (j + 1 < values.size() && values[j + 1] == values[j] + 1) ++j;
    if (j - i >= 2) {
      pieces.push_back(text(values[i]) + "-" + text(values[j]));
    } else {
      for (size_t k = i; k <= j; ++k) pieces.push_back(text(values[k]));
    }
    i = j + 1;
  }
  return pieces;
}

std::string join_pieces(const std::vector<std::string>& pieces, size_t max_pieces) {
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += ",";
    if (i == max_pieces) {
      out += kEllipsis;
      break;
    }
    out += pieces[i];
  }
  return out;
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

size_t first_different_thread(const std::vector<ThreadStack>& a,
                              const std::vector<ThreadStack>& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const ThreadStack& x = a[i];
    const ThreadStack& y = b[i];
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
    const size_t word_width = text_width(word);
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

size_t text_width(std::string_view text) { return static_cast<size_t>(display_width(text)); }

std::string fit_middle(std::string text, size_t width) {
  if (width == 0) return text;
  return cut_middle(text, static_cast<int>(std::min<size_t>(width, INT_MAX)));
}

std::string compact_ranges(std::vector<uint32_t> values, size_t max_pieces) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return join_pieces(range_pieces(values, [](uint32_t v) { return std::to_string(v); }),
                     max_pieces);
}

std::string host_ranges(std::vector<std::string> hosts, size_t max_pieces) {
  // Prefix and digit count name a family; its numbers keep their zero padding.
  std::map<std::pair<std::string, size_t>, std::vector<uint64_t>> families;
  std::vector<std::string> plain;
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  for (const auto& host : hosts) {
    const size_t last = host.find_last_not_of("0123456789");  // npos: all digits, no prefix
    const size_t digits = last == std::string::npos ? 0 : host.size() - 1 - last;
    if (digits == 0 || digits > 18) {
      plain.push_back(host);
      continue;
    }
    families[{host.substr(0, host.size() - digits), digits}].push_back(
        std::stoull(host.substr(host.size() - digits)));
  }
  std::vector<std::pair<std::string, std::string>> named;  // sort key, text
  named.reserve(plain.size() + families.size());
  for (const auto& name : plain) named.emplace_back(name, name);
  for (auto& [family, numbers] : families) {
    const auto& [prefix, digits] = family;
    auto text = [width = digits](uint64_t v) {
      std::string number = std::to_string(v);
      return std::string(width > number.size() ? width - number.size() : 0, '0') + number;
    };
    std::sort(numbers.begin(), numbers.end());
    if (numbers.size() == 1) {
      named.emplace_back(prefix + text(numbers[0]), prefix + text(numbers[0]));
      continue;
    }
    named.emplace_back(prefix + text(numbers[0]),
                       prefix + "[" + join_pieces(range_pieces(numbers, text), max_pieces) + "]");
  }
  std::sort(named.begin(), named.end());
  std::string out;
  for (const auto& [key, text] : named) out += (out.empty() ? "" : ",") + text;
  return out;
}

}  // namespace stackpeek::stacks
