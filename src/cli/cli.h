#pragma once

#include <span>
#include <string>
#include <string_view>

namespace stackpeek::cli {

/// True when `first` (the first argument) names a command that runs without the screen.
bool is_headless_command(std::string_view first);

/// Runs the headless command of `args` (the arguments after the program name, the
/// command first) and returns the exit status.
int run_headless(std::span<const std::string_view> args);

/// The part of --help that describes the headless commands.
std::string headless_help_text();

}  // namespace stackpeek::cli
