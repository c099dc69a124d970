#pragma once

// The --svg FILE of dump and compare: the compared stacks as one flame graph.

#include <string_view>
#include <vector>

#include "cli/args.h"
#include "stacks/stack_classes.h"
#include "stacks/stack_compare.h"

namespace stackpeek::cli {

/// Writes the picture to the file --svg names, when it names one; false (after one line
/// saying why) when the file could not be written.
bool write_svg_option(const Options& options, const std::vector<stacks::DumpResult>& results,
                      const stacks::StackComparison& comparison, std::string_view label);

/// The same for merged classes (compare): each member drawn with its class's stack.
bool write_svg_option(const Options& options, const stacks::StackClasses& classes,
                      std::string_view label);

}  // namespace stackpeek::cli
