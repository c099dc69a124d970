#include "report/final_stacks.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/util.h"
#include "report/dump_line_json.h"
#include "stacks/comparison_text.h"
#include "stacks/process_names.h"

namespace stackpeek::report {
namespace {

using nlohmann::json;

std::string members_text(const stacks::StackBucket& bucket,
                         const std::vector<stacks::DumpResult>& results) {
  std::vector<stacks::NamedProcess> named;
  named.reserve(bucket.members.size());
  for (const size_t index : bucket.members) {
    named.push_back({.pid = results[index].pid, .rank = results[index].rank});
  }
  return stacks::process_names(named);
}

// The innermost function of the first thread of the bucket's first member.
std::optional<std::string> innermost_function(const stacks::StackBucket& bucket,
                                              const std::vector<stacks::DumpResult>& results) {
  if (bucket.kind != stacks::BucketKind::Stack || bucket.members.empty()) return std::nullopt;
  const auto& dump = results[bucket.members.front()].dump;
  if (!dump || dump->threads.empty() || dump->threads.front().frames.empty()) return std::nullopt;
  return dump->threads.front().frames.front().function.str();
}

}  // namespace

std::optional<FinalStacks> final_stacks(const discovery::RunTarget& target,
                                        std::vector<RunRecord> records,
                                        stacks::StackHistory* history) {
  const auto& processes = target.processes;
  if (records.empty() || records.size() != processes.size()) return std::nullopt;
  FinalStacks out;
  for (size_t i = 0; i < records.size(); ++i) {
    out.results.push_back(stacks::dump_result_from_record(
        records[i], processes[i].pid, processes[i].rank, {}, processes[i].missing_world()));
  }
  out.comparison = stacks::compare_stacks(out.results);
  if (history) {
    stacks::apply_history(out.comparison, out.results, *history,
                          stacks::StackHistory::Clock::now());
  }
  out.records = std::move(records);
  return out;
}

std::vector<std::string> final_stack_lines(const FinalStacks& stacks, size_t width) {
  auto lines = stacks::comparison_lines(stacks.comparison, stacks.results, width);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::optional<std::string> odd_one_out_text(const FinalStacks& stacks) {
  std::vector<const stacks::StackBucket*> buckets;
  for (const auto& bucket : stacks.comparison.buckets) {
    if (bucket.kind == stacks::BucketKind::Stack) buckets.push_back(&bucket);
  }
  if (buckets.size() < 2) return std::nullopt;
  // Buckets come smallest first: the last one is where most processes are.
  const auto& odd = *buckets.front();
  const auto& most = *buckets.back();
  const auto odd_function = innermost_function(odd, stacks.results);
  const auto most_function = innermost_function(most, stacks.results);
  if (!odd_function || !most_function) return std::nullopt;
  const size_t others = most.members.size();
  return fmt::format("{}: {} in `{}`, while {} {} in `{}`.",
                     odd.members.size() < others ? "Odd one out" : "First of the differing stacks",
                     members_text(odd, stacks.results), *odd_function,
                     others == 1 ? "the other one" : fmt::format("{} others", others),
                     others == 1 ? "is" : "are", *most_function);
}

std::vector<std::string> final_stacks_section(const FinalStacks& stacks) {
  std::vector<std::string> lines = {
      "## Stacks when sampling ended", "",
      "One `py-spy dump` of every process, taken as sampling ended. Processes showing the same "
      "stack are grouped, odd ones first: a process stuck apart from the others shows here, "
      "with the function it is in.",
      ""};
  if (auto odd = odd_one_out_text(stacks)) lines.insert(lines.end(), {*odd, ""});
  lines.emplace_back("```text");
  for (auto& line : final_stack_lines(stacks, 0)) lines.push_back(std::move(line));
  lines.insert(lines.end(), {"```", ""});
  return lines;
}

json final_stacks_json(const FinalStacks& stacks, const discovery::RunTarget& target) {
  json dumps = json::array();
  for (size_t i = 0; i < stacks.results.size() && i < target.processes.size(); ++i) {
    const auto unchanged =
        i < stacks.comparison.unchanged.size() ? stacks.comparison.unchanged[i] : std::nullopt;
    dumps.push_back(dump_line_json(target.host, target.processes[i], stacks.records[i],
                                   stacks.results[i], unchanged));
  }
  const auto odd = odd_one_out_text(stacks);
  return {{"comparison", final_stack_lines(stacks, 0)},
          {"odd_one_out", odd ? json(*odd) : json(nullptr)},
          {"dumps", std::move(dumps)}};
}

}  // namespace stackpeek::report
