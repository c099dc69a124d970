// README.md, the manual page and --help state the same defaults, ranges and rules; each
// fact is formatted from the one defaults struct.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "cli/args.h"
#include "cli/cli.h"
#include "common/defaults.h"
#include "common/util.h"

namespace stackpeek::cli {
namespace {

// The file's text with every run of white space made one blank, as a reader sees it.
std::string read_flat(const std::string& name) {
  std::ifstream in(std::string(STACKPEEK_TEST_DIR) + "/../" + name);
  std::stringstream text;
  text << in.rdbuf();
  std::string flat;
  for (const char c : text.str()) {
    const bool blank = c == ' ' || c == '\n' || c == '\t';
    if (!blank || (!flat.empty() && flat.back() != ' ')) flat += blank ? ' ' : c;
  }
  return flat;
}

struct Fact {
  std::string readme, manual, help;
};

TEST(DocsTest, ReadmeManualAndHelpAgree) {
  const Defaults d = kDefaults;
  const std::string readme = read_flat("README.md");
  const std::string manual = read_flat("man/stackpeek.1");
  const std::string help = headless_help_text();
  const std::vector<Fact> facts = {
      {fmt::format("`--duration S` seconds (default {})", d.record_seconds),
       fmt::format("seconds (default {}), then takes one", d.record_seconds),
       fmt::format("--duration S, default {}", d.record_seconds)},
      {fmt::format("seconds apart (default {})", d.dump_interval_s),
       fmt::format("{} seconds), and reports", d.dump_interval_s),
       fmt::format("--interval S (default {})", d.dump_interval_s)},
      {fmt::format("seconds (default {};", d.watch_every_s),
       fmt::format("seconds (default {}) it dumps", d.watch_every_s),
       fmt::format("--every S ({})", d.watch_every_s)},
      {fmt::format("(default {}). `--all`", d.stuck_after_s),
       fmt::format("seconds (default {}).", d.stuck_after_s),
       fmt::format("--stuck-after S ({})", d.stuck_after_s)},
      {"without `--all`, until every target has exited",
       "without .BR \\-\\-all , until every target has exited",
       "without --all, until every target has exited"},
      {"its output goes to standard error", "its output goes to standard error",
       "its output goes to standard error"},
      {"`--group KEY` (repeatable;", "prints it; repeatable)", "--group KEY (repeatable;"},
      {"from 1 to 2592000", "from 1 to 2592000", "from 1 to 2592000"},
      {"from 1 to 1000000", "from 1 to 1000000", "1 to 1000000"},
  };
  for (const Fact& fact : facts) {
    EXPECT_NE(readme.find(fact.readme), std::string::npos) << fact.readme;
    EXPECT_NE(manual.find(fact.manual), std::string::npos) << fact.manual;
    EXPECT_NE(help.find(fact.help), std::string::npos) << fact.help;
  }
  // README lists each command as usage_text() does.
  const std::string usage = usage_text();
  const std::string commands = usage.substr(0, usage.find("TARGET:"));
  for (const auto line : split_lines(commands)) {
    const std::string shown(line.substr(line.find_first_not_of(' ')));
    EXPECT_NE(readme.find(shown), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace stackpeek::cli
