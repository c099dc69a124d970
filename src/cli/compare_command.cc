#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>

#include "cli/commands.h"
#include "cli/compare_json.h"
#include "cli/dump_lines.h"
#include "cli/output.h"
#include "cli/svg_option.h"
#include "common/error.h"
#include "common/unique_fd.h"

namespace stackpeek::cli {
namespace {

// Reads straight into the text, sized up front for a regular file.
Result<std::string> read_fd(int fd) {
  constexpr size_t kChunk = 1 << 20;
  std::string text;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    text.reserve(static_cast<size_t>(info.st_size) + 1);
  }
  size_t used = 0;
  while (true) {
    if (text.size() < used + kChunk) text.resize(std::max(text.capacity(), used + kChunk));
    const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return os_error(errno);
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  text.resize(used);
  return text;
}

Result<std::string> read_source(const std::string& name) {
  if (name == "-") {
    if (isatty(STDIN_FILENO) == 1) progress("Reading dump lines from standard input (Ctrl+D ends)");
    return read_fd(STDIN_FILENO);
  }
  const UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return os_error(errno);
  return read_fd(fd.get());
}

struct Collected {
  std::vector<stacks::DumpResult> results;
  bool skipped = false;
};

// Every dump line of `text`; a line that is not one is reported and skipped.
void collect(const std::string& name, std::string_view text, Collected& out) {
  DumpLines lines = parse_dump_lines(text);
  for (const auto& skipped : lines.skipped) {
    diagnose(name + ":" + std::to_string(skipped.number) + ": skipped: " + skipped.reason);
    out.skipped = true;
  }
  std::ranges::move(lines.results, std::back_inserter(out.results));
}

// One result per process (host and pid): a later line replaces an earlier one, as when the
// same output is given twice or a node was dumped again.
void keep_last_per_process(std::vector<stacks::DumpResult>& results) {
  std::map<std::pair<std::string, uint32_t>, size_t> last;
  for (size_t i = 0; i < results.size(); ++i) last[{results[i].host, results[i].pid}] = i;
  if (last.size() == results.size()) return;
  diagnose(std::to_string(results.size() - last.size()) +
           " dump line(s) repeat a process (host and pid) already read; the last line of each "
           "counts");
  std::vector<stacks::DumpResult> kept;
  kept.reserve(last.size());
  for (size_t i = 0; i < results.size(); ++i) {
    if (last[{results[i].host, results[i].pid}] == i) kept.push_back(std::move(results[i]));
  }
  results = std::move(kept);
}

bool any_failed(const std::vector<stacks::DumpResult>& results) {
  for (const auto& result : results) {
    if (result.status == stacks::DumpStatus::Failed) return true;
  }
  return false;
}

}  // namespace

int run_compare(const Options& options) {
  const std::vector<std::string> sources =
      options.files.empty() ? std::vector<std::string>{"-"} : options.files;
  Collected collected;
  for (const std::string& source : sources) {
    auto text = read_source(source);
    if (!text) {
      const std::string shown = source == "-" ? "standard input" : source;
      diagnose("cannot read " + shown + ": " + text.error().message());
      return kExitFailed;
    }
    collect(source == "-" ? "<stdin>" : source, *text, collected);
  }
  if (collected.results.empty()) {
    diagnose("no dump lines read");
    return kExitFailed;
  }
  keep_last_per_process(collected.results);
  const auto& results = collected.results;
  const bool pictured = write_svg_option(options, results, stacks::compare_stacks(results),
                                         fmt::format("{}", fmt::join(sources, " ")));
  const bool printed = options.json ? write_stdout(json_line(comparison_json(results)) + "\n")
                                    : write_lines(stacks::compare_stack_lines(
                                          results, nullptr, stacks::StackHistory::Clock::now()));
  return printed && pictured && !collected.skipped && !any_failed(results) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
