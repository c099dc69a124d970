#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace stackpeek::cli {

/// Exit statuses of the headless commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

/// The value as one line of JSON without the line feed; text that is not UTF-8 (from
/// /proc or py-spy) is written with U+FFFD in place of the bad bytes.
std::string json_line(const nlohmann::json& value);

/// Writes all of `text` to standard output; false when it could not (the reader left).
bool write_stdout(std::string_view text);

/// Each line, its control and invisible format characters escaped (escape_controls), followed
/// by a line feed, to standard output: one line of text is one line on the terminal.
bool write_lines(const std::vector<std::string>& lines);

/// Writes all of `text` to standard error.
void write_stderr(std::string_view text);

/// "stackpeek: " + message (escaped as by write_lines) + line feed, to standard error.
void diagnose(std::string_view message);

/// The error and its causes as one line: "cannot write x.svg: Permission denied (os error 13)".
std::string error_line(const Error& error);

/// The progress line, to standard error only when it is a terminal.
void progress(std::string_view message);

}  // namespace stackpeek::cli
