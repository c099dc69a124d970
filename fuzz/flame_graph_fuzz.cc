// Feeds arbitrary bytes through the flame-graph reader, the folded stacks and the profile
// summary, and checks what the report relies on: counts that add up, callers before callees.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "stacks/flame_graph.h"
#include "stacks/profile_summary.h"

using namespace stackpeek::stacks;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view svg(reinterpret_cast<const char*>(data), size);
  const FlameGraphRead read = read_flame_graph(svg);
  if (!read.graph) {
    check(!read.error.empty() && read.error.find('\n') == std::string::npos);
    return 0;
  }
  const FlameGraph& graph = *read.graph;
  check(read.error.empty() && graph.total > 0 && graph.frames.size() <= size);
  uint64_t roots = 0;
  for (size_t i = 0; i < graph.frames.size(); ++i) {
    const FlameFrame& frame = graph.frames[i];
    check(frame.parent < static_cast<int64_t>(i) && frame.own <= frame.samples);
    if (frame.parent < 0) roots += frame.samples;
  }
  check(roots == graph.total);
  uint64_t sum = 0, bytes = 0;
  for_each_folded_line(graph, [&](const std::string& line) {
    check(line.find('\n') == std::string::npos);
    sum += std::stoull(line.substr(line.rfind(' ') + 1));
    bytes += line.size() + 1;
  });
  check(sum == graph.total && bytes == folded_size(graph));
  const ProfileSummary summary = summarize_profile(graph);
  check(summary.samples == graph.total && !summary.heaviest_stack.empty());
  uint64_t own = 0;
  for (const auto& function : summary.functions) {
    check(function.own <= function.total && function.total <= graph.total);
    own += function.own;
  }
  check(own == graph.total);
  heaviest_stack_dump(summary);
  return 0;
}
