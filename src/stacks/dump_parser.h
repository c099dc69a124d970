#pragma once

// The text of `py-spy dump --pid PID` as threads and frames. Also compiled by the fuzz
// build (clang 14, C++20): keep to C++20 and the standard library here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stacks/name.h"

namespace stackpeek::stacks {

/// What py-spy says a thread was doing: "idle", "active" or "active+gil".
enum class ThreadState { Idle, Active, ActiveGil };

/// "idle", "active" or "active+gil".
std::string_view thread_state_name(ThreadState state);

/// The state named by exactly "idle", "active" or "active+gil"; none for anything else.
std::optional<ThreadState> parse_thread_state(std::string_view text);

/// One frame: `function (file:line)`, or `function (file)` when py-spy knows no line.
struct StackFrame {
  Name function;
  Name file;
  std::optional<uint32_t> line;
  bool operator==(const StackFrame&) const = default;
};

/// One thread: `Thread ID (STATE): "NAME"` and its frames, innermost first.
struct ThreadStack {
  std::string id;                   // as printed: decimal ("165") or hex ("0x7F3A2B1C4740")
  std::optional<std::string> name;  // none when py-spy printed no `: "NAME"`
  ThreadState state = ThreadState::Idle;
  std::vector<StackFrame> frames;  // innermost first
  bool operator==(const ThreadStack&) const = default;
};

/// One parsed dump: the two header lines and the threads in py-spy's order.
struct ProcessDump {
  // "Process 165: python3 train.py --epochs 10"; holds a line feed for each one in the
  // command, as py-spy prints the command as it is
  std::string process_line;
  std::string python_line;  // "Python v3.12.3 (/usr/bin/python3.12)"
  std::vector<ThreadStack> threads;
  bool operator==(const ProcessDump&) const = default;
};

/// Parses the standard output of one `py-spy dump`. ANSI colour sequences are removed
/// first, line ends may be "\n" or "\r\n", trailing blanks and blank lines after the two
/// header lines are ignored. Every line between the `Process` line and the `Python v` line
/// continues the process line (a command with line feeds). Any other line that is neither a thread
/// header nor a frame (indented exactly four spaces) makes the whole dump unparsed: none. A dump
/// with a header and no threads parses (zero threads).
///
/// A frame is split at its last " (" (function before, file after, up to the final ")");
/// the file's last ":" followed by 1 to 10 digits that fit 32 bits gives the line.
std::optional<ProcessDump> parse_dump(std::string_view text);

/// The frame as py-spy prints it: "function (file:line)" or "function (file)".
std::string format_frame(const StackFrame& frame);

/// The dump as py-spy prints it without colour: the two header lines, an empty line, then
/// every thread header and its frames indented four spaces, each line ending in "\n".
/// parse_dump(format_dump(d)) == d for every d that parse_dump returned.
std::string format_dump(const ProcessDump& dump);

}  // namespace stackpeek::stacks
