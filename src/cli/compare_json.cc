#include "cli/compare_json.h"

#include <algorithm>

#include "stacks/dump_json.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;

std::string_view kind_name(stacks::BucketKind kind) {
  switch (kind) {
    case stacks::BucketKind::Stack:
      return "stack";
    case stacks::BucketKind::Unparsed:
      return "unparsed";
    case stacks::BucketKind::Failed:
      return "failed";
  }
  return "failed";
}

// The first member's threads; each frame also has "lines": the distinct lines of all members.
json bucket_threads(const stacks::StackBucket& bucket,
                    const std::vector<stacks::DumpResult>& results) {
  const auto& threads = results[bucket.members.front()].dump->threads;
  json out = stacks::threads_to_json(threads);
  for (size_t t = 0; t < threads.size(); ++t) {
    for (size_t f = 0; f < threads[t].frames.size(); ++f) {
      std::vector<uint32_t> lines;
      for (const size_t index : bucket.members) {
        if (const auto line = results[index].dump->threads[t].frames[f].line)
          lines.push_back(*line);
      }
      std::sort(lines.begin(), lines.end());
      lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
      out[t]["frames"][f]["lines"] = lines;
    }
  }
  return out;
}

json bucket_json(const stacks::StackComparison& comparison, const stacks::StackBucket& bucket,
                 const std::vector<stacks::DumpResult>& results) {
  json members = json::array();
  for (const size_t index : bucket.members) {
    const auto& result = results[index];
    const auto& unchanged = comparison.unchanged[index];
    members.push_back({{"host", result.host},
                       {"pid", result.pid},
                       {"rank", result.rank ? json(*result.rank) : json(nullptr)},
                       {"unchanged", unchanged.has_value()},
                       {"unchanged_s", unchanged ? json(unchanged->count()) : json(nullptr)}});
  }
  json out = {{"kind", kind_name(bucket.kind)}, {"members", std::move(members)}};
  const auto& first = results[bucket.members.front()];
  if (bucket.kind == stacks::BucketKind::Stack) out["threads"] = bucket_threads(bucket, results);
  if (bucket.kind == stacks::BucketKind::Failed) out["error"] = first.error;
  if (bucket.kind == stacks::BucketKind::Unparsed) out["raw"] = first.raw;
  return out;
}

}  // namespace

json comparison_json(const std::vector<stacks::DumpResult>& results) {
  const stacks::StackComparison comparison = stacks::compare_stacks(results);
  json buckets = json::array();
  for (const auto& bucket : comparison.buckets) {
    buckets.push_back(bucket_json(comparison, bucket, results));
  }
  return {{"processes", comparison.processes}, {"hosts", comparison.hosts},
          {"distinct", comparison.distinct},   {"failed", comparison.failed},
          {"unparsed", comparison.unparsed},   {"missing_ranks", comparison.missing_ranks},
          {"buckets", std::move(buckets)}};
}

}  // namespace stackpeek::cli
