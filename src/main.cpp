// stackpeek: find Python processes and profile them with py-spy.
#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "app/key_table.h"
#include "app/screen.h"
#include "cli/cli.h"
#include "common/error.h"
#include "tasks/top_relay.h"
#include "ui/terminal_screen.h"

namespace {

constexpr std::string_view kVersion = STACKPEEK_VERSION;

std::string help_text() {
  return fmt::format(
      "stackpeek {}\n"
      "\n"
      "Usage:\n"
      "stackpeek\n"
      "stackpeek --help\n"
      "stackpeek --version\n"
      "\n"
      "Keys:\n"
      "{}"
      "\n"
      "{}",
      kVersion, stackpeek::app::key_help_text(), stackpeek::cli::headless_help_text());
}

enum class Mode { Help, Version, Run };

// Arguments are compared as bytes, so one that is not valid UTF-8 simply matches nothing.
Mode scan_arguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return Mode::Help;
    if (arg == "-V" || arg == "--version") return Mode::Version;
  }
  return Mode::Run;
}

void write_out(std::string_view text, FILE* stream) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

int run() {
  auto screen = stackpeek::ui::open_terminal_screen();
  if (!screen) {
    write_out(stackpeek::format_fatal_error(screen.error()), stderr);
    return 1;
  }
  stackpeek::app::LoopOutcome outcome =
      stackpeek::app::run_main_loop(**screen, stackpeek::app::Services::system());
  screen = std::unexpected(stackpeek::Error("closed"));  // give the terminal back first
  // The folders are listed whatever ended the session, a lost terminal too.
  if (!outcome.reports.empty()) {
    std::string text = "py-spy reports:\n";
    for (const auto& path : outcome.reports) text += "  " + path + "\n";
    write_out(text, stdout);
  }
  if (outcome.error) {
    write_out(stackpeek::format_fatal_error(*outcome.error), stderr);
    return 1;
  }
  return 0;
}

int dispatch(int argc, char** argv) {
  if (argc > 1 && argv[1] == stackpeek::tasks::kTopRelayArgument) {
    const std::vector<std::string_view> args(argv + 2, argv + argc);
    return stackpeek::tasks::run_top_relay(args);
  }
  if (argc > 1 && stackpeek::cli::is_headless_command(argv[1])) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    return stackpeek::cli::run_headless(args);
  }
  switch (scan_arguments(argc, argv)) {
    case Mode::Help:
      write_out(help_text(), stdout);
      return 0;
    case Mode::Version:
      write_out(fmt::format("stackpeek {}\n", kVersion), stdout);
      return 0;
    case Mode::Run:
      return run();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Unwinding gives the terminal back before the one error line is printed.
  try {
    return dispatch(argc, argv);
  } catch (const std::exception& error) {
    write_out(stackpeek::format_fatal_error(stackpeek::Error(error.what())), stderr);
  } catch (...) {
    write_out("Error: unexpected failure\n", stderr);
  }
  return 1;
}
