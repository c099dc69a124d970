#include "tasks/top_frame.h"

#include <string.h>

#include <algorithm>

#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::tasks {
namespace {

constexpr char kEsc = '\x1b';
constexpr std::string_view kClearScreen = "\x1b[2J";
constexpr std::string_view kCursorHome = "\x1b[H";

// Offset just past the last screen start marker; 0 when the text holds none. The two
// markers cannot overlap, so the one that starts last also ends furthest right.
size_t screen_start(std::string_view text) {
  for (size_t end = text.size(); end > 0;) {
    const void* found = memrchr(text.data(), kEsc, end);
    if (found == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const char*>(found) - text.data());
    const std::string_view rest = text.substr(at);
    if (rest.starts_with(kClearScreen)) return at + kClearScreen.size();
    if (rest.starts_with(kCursorHome)) return at + kCursorHome.size();
    end = at;
  }
  return 0;
}

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Offset where the tail of the current screen that pending text keeps begins. The bound
// is checked in bytes but applied in characters, so multi-byte text keeps up to four
// times as many bytes.
size_t tail_start(std::string_view text) {
  const size_t start = screen_start(text);
  if (text.size() - start <= kTopPendingLimit) return start;
  size_t chars = 0;
  for (size_t i = text.size(); i > start; --i) {
    if (!is_continuation(text[i - 1]) && ++chars == kTopPendingLimit) return i - 1;
  }
  return start;
}

// py-spy's own key hint: its keys never reach it inside stackpeek, which stops it with Esc.
constexpr std::string_view kKeyHint = "Press Control-C to quit, or ? for help";

}  // namespace

std::string top_frame_tail(std::string_view pending) {
  return std::string(pending.substr(tail_start(pending)));
}

std::vector<std::string> top_frame_lines(std::string_view pending) {
  const std::string screen = strip_escape_sequences(pending.substr(screen_start(pending)));
  const std::string_view text = screen;

  // Only the bottom lines are kept, so walk the lines from the end.
  std::vector<std::string> lines;
  size_t end = text.size();
  while (lines.size() < kTopFrameLines) {
    const size_t newline = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const size_t begin = newline == std::string_view::npos ? 0 : newline + 1;
    // Trailing white space includes the carriage return of a "\r\n" line break.
    const std::string_view line = utf8::trim_end(text.substr(begin, end - begin));
    const bool hint = line.find(kKeyHint) != std::string_view::npos;
    if (!line.empty() && !hint) lines.emplace_back(line);
    if (newline == std::string_view::npos) break;
    end = newline;
  }
  std::reverse(lines.begin(), lines.end());
  return lines;
}

std::string top_stream_trailer(std::string_view pending) {
  constexpr std::string_view kClearLine = "\x1b[2K";
  const size_t last_line = pending.rfind(kClearLine);
  if (last_line != std::string_view::npos) {
    const size_t end = pending.find('\n', last_line);
    pending = end == std::string_view::npos ? std::string_view() : pending.substr(end + 1);
  }
  const std::string text = strip_escape_sequences(pending);
  std::string trailer;
  size_t blank_lines = 0;
  for (std::string_view rest = text; !rest.empty();) {
    const size_t newline = rest.find('\n');
    std::string_view line = utf8::trim_end(rest.substr(0, newline));
    while (line.starts_with('\r')) line.remove_prefix(1);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    if (line.empty()) {
      ++blank_lines;
      continue;
    }
    if (!trailer.empty()) trailer.append(blank_lines, '\n');
    blank_lines = 0;
    trailer.append(line);
    trailer += '\n';
  }
  return trailer;
}

std::vector<std::string> top_stream_step(std::string& pending, std::string_view bytes) {
  pending += utf8::decode_lossy(bytes);
  std::vector<std::string> frame = top_frame_lines(pending);
  pending.erase(0, tail_start(pending));
  return frame;
}

}  // namespace stackpeek::tasks
