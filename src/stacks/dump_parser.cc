#include "stacks/dump_parser.h"

#include <string.h>

#include <algorithm>
#include <charconv>
#include <system_error>

#include "common/util.h"

namespace stackpeek::stacks {
namespace {

constexpr char kEsc = '\x1b';
constexpr std::string_view kProcessPrefix = "Process ";
constexpr std::string_view kPythonPrefix = "Python v";
constexpr std::string_view kThreadPrefix = "Thread ";
constexpr std::string_view kFrameIndent = "    ";
constexpr size_t kMaxLineDigits = 10;  // 4294967295

bool in_range(char c, char lo, char hi) { return c >= lo && c <= hi; }
bool is_digit(char c) { return in_range(c, '0', '9'); }
bool is_hex_digit(char c) { return is_digit(c) || in_range(c, 'a', 'f') || in_range(c, 'A', 'F'); }

bool all_of(std::string_view text, bool (*pred)(char)) {
  for (const char c : text) {
    if (!pred(c)) return false;
  }
  return true;
}

std::string_view trim_blank_end(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Decimal OS thread id, or the interpreter's id as 0x + hex digits.
bool is_thread_id(std::string_view id) {
  if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X')) {
    return all_of(id.substr(2), is_hex_digit);
  }
  return !id.empty() && all_of(id, is_digit);
}

// `Thread ID (STATE)` optionally followed by `: "NAME"`; `line` has no trailing blanks.
std::optional<ThreadStack> parse_thread_header(std::string_view line) {
  if (!line.starts_with(kThreadPrefix)) return std::nullopt;
  std::string_view rest = line.substr(kThreadPrefix.size());
  const size_t space = rest.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view id = rest.substr(0, space);
  if (!is_thread_id(id)) return std::nullopt;
  rest.remove_prefix(space);
  if (!rest.starts_with(" (")) return std::nullopt;
  const size_t close = rest.find(')');
  if (close == std::string_view::npos) return std::nullopt;
  const auto state = parse_thread_state(rest.substr(2, close - 2));
  if (!state) return std::nullopt;
  rest.remove_prefix(close + 1);

  ThreadStack thread;
  thread.id = std::string(id);
  thread.state = *state;
  if (rest.empty()) return thread;
  constexpr std::string_view kNameOpen = ": \"";
  if (!rest.starts_with(kNameOpen) || rest.size() < kNameOpen.size() + 1 || !rest.ends_with('"')) {
    return std::nullopt;
  }
  thread.name = std::string(rest.substr(kNameOpen.size(), rest.size() - kNameOpen.size() - 1));
  return thread;
}

// The line number after the file's last ':', when it is 1 to 10 digits within 32 bits.
std::optional<uint32_t> line_number(std::string_view digits) {
  if (digits.empty() || digits.size() > kMaxLineDigits || !all_of(digits, is_digit)) {
    return std::nullopt;
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// Offset of the last " (" in `text` (npos when none): text.rfind(" ("), but looking only
// at the '(' characters, found with memrchr.
size_t last_space_paren(std::string_view text) {
  size_t end = text.size();
  while (end > 1) {
    const void* found = memrchr(text.data() + 1, '(', end - 1);
    if (found == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const char*>(found) - text.data());
    if (text[at - 1] == ' ') return at - 1;
    end = at;
  }
  return std::string_view::npos;
}

// A frame whose texts still point into the dump's text.
struct FrameView {
  std::string_view function;
  std::string_view file;
  std::optional<uint32_t> line;
};

// Appends the frame of `    function (file:line)` or `    function (file)` to `frames`;
// false when the line is not a frame. `line` has no trailing blanks.
bool parse_frame(std::string_view line, std::vector<FrameView>& frames) {
  if (!line.starts_with(kFrameIndent) || line.size() <= kFrameIndent.size() ||
      line[kFrameIndent.size()] == ' ') {
    return false;
  }
  const std::string_view text = line.substr(kFrameIndent.size());
  if (!text.ends_with(')')) return false;
  const size_t open = last_space_paren(text);
  if (open == std::string_view::npos) return false;
  std::string_view location = text.substr(open + 2, text.size() - open - 3);
  std::optional<uint32_t> number;
  if (const size_t colon = location.rfind(':'); colon != std::string_view::npos) {
    number = line_number(location.substr(colon + 1));
    if (number) location = location.substr(0, colon);
  }
  frames.push_back(FrameView{text.substr(0, open), location, number});
  return true;
}

// Splits off the next line (without its "\n"); false when `text` is used up.
bool next_line(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return true;
}

std::optional<ProcessDump> parse_plain(std::string_view text) {
  ProcessDump dump;
  std::string_view line;
  if (!next_line(text, line)) return std::nullopt;
  line = trim_blank_end(line);
  if (!line.starts_with(kProcessPrefix)) return std::nullopt;
  dump.process_line = std::string(line);
  // A command line holding line feeds continues the process line up to the Python line.
  while (true) {
    if (!next_line(text, line)) return std::nullopt;
    line = trim_blank_end(line);
    if (line.starts_with(kPythonPrefix)) break;
    dump.process_line += '\n';
    dump.process_line += line;
  }
  dump.python_line = std::string(line);

  // A thread's frames gather as views in `frames`, whose capacity is reused, and become
  // an exactly sized vector when the thread ends: one allocation per thread.
  std::vector<FrameView> frames;
  auto end_thread = [&] {
    if (dump.threads.empty()) return;
    auto& kept = dump.threads.back().frames;
    kept.reserve(frames.size());
    for (const auto& frame : frames) {
      kept.push_back(StackFrame{Name(frame.function), Name(frame.file), frame.line});
    }
    frames.clear();
  };
  while (next_line(text, line)) {
    line = trim_blank_end(line);
    if (line.empty()) continue;
    if (line.starts_with(kFrameIndent)) {
      if (dump.threads.empty() || !parse_frame(line, frames)) return std::nullopt;
      continue;
    }
    auto thread = parse_thread_header(line);
    if (!thread) return std::nullopt;
    end_thread();
    dump.threads.push_back(std::move(*thread));
  }
  end_thread();
  return dump;
}

}  // namespace

std::string_view thread_state_name(ThreadState state) {
  switch (state) {
    case ThreadState::Idle:
      return "idle";
    case ThreadState::Active:
      return "active";
    case ThreadState::ActiveGil:
      return "active+gil";
  }
  return "idle";
}

std::optional<ThreadState> parse_thread_state(std::string_view text) {
  if (text == "idle") return ThreadState::Idle;
  if (text == "active") return ThreadState::Active;
  if (text == "active+gil") return ThreadState::ActiveGil;
  return std::nullopt;
}

std::optional<ProcessDump> parse_dump(std::string_view text) {
  if (text.find(kEsc) == std::string_view::npos) return parse_plain(text);
  const std::string plain = strip_escape_sequences(text);
  return parse_plain(plain);
}

std::string format_frame(const StackFrame& frame) {
  std::string out;
  out.reserve(frame.function.size() + frame.file.size() + 16);
  out += frame.function;
  out += " (";
  out += frame.file;
  if (frame.line) {
    out += ':';
    out += std::to_string(*frame.line);
  }
  out += ')';
  return out;
}

std::string format_dump(const ProcessDump& dump) {
  std::string out = dump.process_line + "\n" + dump.python_line + "\n\n";
  for (const auto& thread : dump.threads) {
    out += kThreadPrefix;
    out += thread.id;
    out += " (";
    out += thread_state_name(thread.state);
    out += ')';
    if (thread.name) {
      out += ": \"";
      out += *thread.name;
      out += '"';
    }
    out += '\n';
    for (const auto& frame : thread.frames) {
      out += kFrameIndent;
      out += format_frame(frame);
      out += '\n';
    }
  }
  return out;
}

}  // namespace stackpeek::stacks
