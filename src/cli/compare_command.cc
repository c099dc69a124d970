#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/compare_input.h"
#include "cli/compare_json.h"
#include "cli/output.h"
#include "cli/svg_option.h"
#include "common/error.h"
#include "common/unique_fd.h"
#include "stacks/comparison_text.h"

namespace stackpeek::cli {
namespace {

Result<void> read_source(const std::string& name, CompareInput& input) {
  if (name == "-") {
    if (isatty(STDIN_FILENO) == 1) progress("Reading dump lines from standard input (Ctrl+D ends)");
    return read_compare_input(STDIN_FILENO, "<stdin>", input);
  }
  const UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return os_error(errno);
  return read_compare_input(fd.get(), name, input);
}

}  // namespace

int run_compare(const Options& options) {
  const std::vector<std::string> sources =
      options.files.empty() ? std::vector<std::string>{"-"} : options.files;
  CompareInput input;
  std::vector<std::string> shown;
  for (const std::string& source : sources) {
    shown.push_back(source == "-" ? "standard input" : source);
    if (auto read = read_source(source, input); !read) {
      diagnose("cannot read " + shown.back() + ": " + read.error().message());
      return kExitFailed;
    }
  }
  report_skipped_rest(input);
  if (const size_t replaced = input.merger.replaced(); replaced > 0) {
    diagnose(std::to_string(replaced) +
             " dump line(s) repeat a process (host and pid) already read; the last line of each "
             "counts");
  }
  const stacks::StackClasses classes = input.merger.finish();
  if (classes.processes == 0) {
    diagnose("no dump lines read");
    return kExitFailed;
  }
  const bool pictured =
      write_svg_option(options, classes, fmt::format("{}", fmt::join(shown, " ")));
  const bool printed = options.json ? write_stdout(json_line(classes_json(classes)) + "\n")
                                    : write_lines(stacks::class_lines(classes));
  return printed && pictured && input.skipped == 0 && classes.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
