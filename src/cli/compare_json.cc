#include "cli/compare_json.h"

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

json bucket_json(const stacks::StackBucket& bucket,
                 const std::vector<stacks::DumpResult>& results) {
  json members = json::array();
  for (const size_t index : bucket.members) {
    const auto& result = results[index];
    members.push_back({{"host", result.host},
                       {"pid", result.pid},
                       {"rank", result.rank ? json(*result.rank) : json(nullptr)}});
  }
  json out = {{"kind", kind_name(bucket.kind)}, {"members", std::move(members)}};
  const auto& first = results[bucket.members.front()];
  if (bucket.kind == stacks::BucketKind::Stack)
    out["threads"] = stacks::threads_to_json(first.dump->threads);
  if (bucket.kind == stacks::BucketKind::Failed) out["error"] = first.error;
  if (bucket.kind == stacks::BucketKind::Unparsed) out["raw"] = first.raw;
  return out;
}

}  // namespace

json comparison_json(const std::vector<stacks::DumpResult>& results) {
  const stacks::StackComparison comparison = stacks::compare_stacks(results);
  json buckets = json::array();
  for (const auto& bucket : comparison.buckets) buckets.push_back(bucket_json(bucket, results));
  return {{"processes", comparison.processes}, {"hosts", comparison.hosts},
          {"distinct", comparison.distinct},   {"failed", comparison.failed},
          {"unparsed", comparison.unparsed},   {"buckets", std::move(buckets)}};
}

}  // namespace stackpeek::cli
