#include "cli/svg_option.h"

#include "cli/output.h"
#include "report/stacks_svg.h"

namespace stackpeek::cli {

bool write_svg_option(const Options& options, const std::vector<stacks::DumpResult>& results,
                      const stacks::StackComparison& comparison, std::string_view label) {
  if (!options.svg) return true;
  auto written = report::write_stacks_svg(*options.svg, results, comparison, label);
  if (!written) diagnose(error_line(written.error()));
  return written.has_value();
}

bool write_svg_option(const Options& options, const stacks::StackClasses& classes,
                      std::string_view label) {
  if (!options.svg) return true;
  std::vector<stacks::DumpResult> results;
  for (const auto& merged : classes.classes) {
    for (const auto& member : merged.members) {
      stacks::DumpResult result;
      result.host = member.host;
      result.pid = member.pid;
      result.rank = member.rank;
      result.world_size = member.world_size;
      if (merged.kind == stacks::BucketKind::Stack) {
        result.dump =
            stacks::ProcessDump{.process_line = {}, .python_line = {}, .threads = merged.threads};
      } else {
        result.status = stacks::DumpStatus::Failed;
      }
      results.push_back(std::move(result));
    }
  }
  return write_svg_option(options, results, stacks::compare_stacks(results), label);
}

}  // namespace stackpeek::cli
