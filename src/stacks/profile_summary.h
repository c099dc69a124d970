#pragma once

// What one recorded process spent its samples on, from its flame graph: every function's
// own and total samples and the heaviest stack. Also compiled by the fuzz build (clang 14,
// C++20): keep to C++20 and the standard library here.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stacks/dump_parser.h"
#include "stacks/flame_graph.h"

namespace stackpeek::stacks {

/// One function ("step (train.py:41)") over the whole profile.
struct FunctionShare {
  std::string name;
  uint64_t own = 0;    // samples with the function as the leaf
  uint64_t total = 0;  // samples with the function anywhere in the stack, counted once
  bool operator==(const FunctionShare&) const = default;
};

struct ProfileSummary {
  uint64_t samples = 0;
  /// Every function: most own samples first, then most total samples, then by name.
  std::vector<FunctionShare> functions;
  /// The stack with the most own samples, innermost frame first (the first such stack in
  /// the graph's order on a tie); its samples.
  std::vector<std::string> heaviest_stack;
  uint64_t heaviest_samples = 0;
  bool operator==(const ProfileSummary&) const = default;
};

ProfileSummary summarize_profile(const FlameGraph& graph);

/// The share of `part` in `whole` in percent; 0 for an empty whole.
double percent(uint64_t part, uint64_t whole);

/// A frame name split as a dump line is: function before the last " (", file and line
/// inside it; the whole name as the function when it has no such part.
StackFrame frame_from_name(std::string_view name);

/// The heaviest stack as a one-thread dump, so that profiles compare as dumps do.
ProcessDump heaviest_stack_dump(const ProfileSummary& summary);

}  // namespace stackpeek::stacks
