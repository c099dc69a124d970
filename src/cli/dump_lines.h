#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "stacks/stack_compare.h"

namespace stackpeek::cli {

/// A line of the input that is not a dump line.
struct SkippedLine {
  size_t number = 0;  // from 1
  std::string reason;
};

struct DumpLines {
  std::vector<stacks::DumpResult> results;  // in input order
  std::vector<SkippedLine> skipped;         // in input order
};

/// Every dump line of `text` (see parse_dump_line); blank lines are ignored. Large inputs
/// are parsed on every core, the order of the lines kept.
DumpLines parse_dump_lines(std::string_view text);

}  // namespace stackpeek::cli
