#include "stacks/profile_summary.h"

#include <algorithm>
#include <charconv>
#include <unordered_map>

namespace stackpeek::stacks {
namespace {

// Frame names as small numbers, so that recursion is found with a counter per function.
std::vector<uint32_t> intern_names(const FlameGraph& graph, std::vector<FunctionShare>& shares) {
  std::unordered_map<std::string_view, uint32_t> ids;
  std::vector<uint32_t> out;
  out.reserve(graph.frames.size());
  for (const auto& frame : graph.frames) {
    const auto [it, added] = ids.try_emplace(frame.name, static_cast<uint32_t>(shares.size()));
    if (added) shares.push_back({frame.name, 0, 0});
    out.push_back(it->second);
  }
  return out;
}

// Adds every frame's samples to its function's total unless a caller is the same function,
// walking the tree depth first without recursion.
void add_totals(const FlameGraph& graph, const std::vector<uint32_t>& ids,
                std::vector<FunctionShare>& shares) {
  const size_t n = graph.frames.size();
  std::vector<size_t> first_child(n + 1, 0);
  for (const auto& frame : graph.frames) {
    if (frame.parent >= 0) ++first_child[static_cast<size_t>(frame.parent) + 1];
  }
  for (size_t i = 0; i < n; ++i) first_child[i + 1] += first_child[i];
  std::vector<size_t> children(first_child.back());
  std::vector<size_t> filled(first_child.begin(), first_child.end() - 1);
  for (size_t i = 0; i < n; ++i) {
    if (graph.frames[i].parent >= 0) children[filled[graph.frames[i].parent]++] = i;
  }
  std::vector<uint32_t> active(shares.size(), 0);
  std::vector<std::pair<size_t, size_t>> path;  // frame, next child position
  for (size_t root = 0; root < n; ++root) {
    if (graph.frames[root].parent >= 0) continue;
    path.emplace_back(root, first_child[root]);
    if (active[ids[root]]++ == 0) shares[ids[root]].total += graph.frames[root].samples;
    while (!path.empty()) {
      auto& [frame, next] = path.back();
      if (next == first_child[frame + 1]) {
        --active[ids[frame]];
        path.pop_back();
        continue;
      }
      const size_t child = children[next++];
      if (active[ids[child]]++ == 0) shares[ids[child]].total += graph.frames[child].samples;
      path.emplace_back(child, first_child[child]);
    }
  }
}

}  // namespace

ProfileSummary summarize_profile(const FlameGraph& graph) {
  ProfileSummary summary;
  summary.samples = graph.total;
  const std::vector<uint32_t> ids = intern_names(graph, summary.functions);
  size_t heaviest = graph.frames.size();
  for (size_t i = 0; i < graph.frames.size(); ++i) {
    const auto& frame = graph.frames[i];
    summary.functions[ids[i]].own += frame.own;
    if (frame.own > summary.heaviest_samples) {
      summary.heaviest_samples = frame.own;
      heaviest = i;
    }
  }
  add_totals(graph, ids, summary.functions);
  std::sort(summary.functions.begin(), summary.functions.end(),
            [](const FunctionShare& a, const FunctionShare& b) {
              if (a.own != b.own) return a.own > b.own;
              if (a.total != b.total) return a.total > b.total;
              return a.name < b.name;
            });
  for (auto at = static_cast<int64_t>(heaviest); heaviest < graph.frames.size() && at >= 0;
       at = graph.frames[at].parent) {
    summary.heaviest_stack.push_back(graph.frames[at].name);
  }
  return summary;
}

double percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

StackFrame frame_from_name(std::string_view name) {
  const size_t open = name.rfind(" (");
  if (open == std::string_view::npos || open == 0 || !name.ends_with(")")) return {name, {}, {}};
  const std::string_view file = name.substr(open + 2, name.size() - open - 3);
  const StackFrame whole{name.substr(0, open), file, {}};
  const size_t colon = file.rfind(':');
  if (colon == std::string_view::npos) return whole;
  const std::string_view digits = file.substr(colon + 1);
  uint32_t line = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), line);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return whole;
  return {name.substr(0, open), file.substr(0, colon), line};
}

ProcessDump heaviest_stack_dump(const ProfileSummary& summary) {
  ThreadStack thread;
  thread.state = ThreadState::Active;
  for (const auto& name : summary.heaviest_stack) thread.frames.push_back(frame_from_name(name));
  return {"", "", {std::move(thread)}};
}

}  // namespace stackpeek::stacks
