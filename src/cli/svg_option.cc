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
  auto written = report::write_stacks_svg(*options.svg, classes, label);
  if (!written) diagnose(error_line(written.error()));
  return written.has_value();
}

}  // namespace stackpeek::cli
