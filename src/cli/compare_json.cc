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

template <typename T>
json or_null(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

// The first member's threads; each frame also has "lines": the distinct lines of all members.
json class_threads(const stacks::StackClass& merged) {
  json out = stacks::threads_to_json(merged.threads);
  for (size_t t = 0; t < merged.threads.size(); ++t) {
    for (size_t f = 0; f < merged.threads[t].frames.size(); ++f) {
      const bool known = t < merged.lines.size() && f < merged.lines[t].size();
      out[t]["frames"][f]["lines"] = known ? merged.lines[t][f] : std::vector<uint32_t>();
    }
  }
  return out;
}

json class_json(const stacks::StackClass& merged) {
  json members = json::array();
  for (const auto& member : merged.members) {
    const json unchanged = member.unchanged ? json(member.unchanged->count()) : json(nullptr);
    members.push_back({{"host", member.host},
                       {"pid", member.pid},
                       {"rank", or_null(member.rank)},
                       {"world_size", or_null(member.world_size)},
                       {"job", member.job},
                       {"unchanged", member.unchanged.has_value()},
                       {"unchanged_s", unchanged}});
  }
  json out = {{"kind", kind_name(merged.kind)}, {"members", std::move(members)}};
  if (merged.kind == stacks::BucketKind::Stack) out["threads"] = class_threads(merged);
  if (merged.kind == stacks::BucketKind::Failed) out["error"] = merged.text;
  if (merged.kind == stacks::BucketKind::Unparsed) out["raw"] = merged.text;
  return out;
}

}  // namespace

json classes_json(const stacks::StackClasses& classes) {
  json buckets = json::array();
  for (const auto& merged : classes.classes) buckets.push_back(class_json(merged));
  json missing = json::array();
  for (const auto& job : classes.missing)
    missing.push_back({{"job", job.job}, {"ranks", job.ranks}});
  const auto one_job =
      classes.missing.size() == 1 ? classes.missing.front().ranks : std::vector<uint32_t>();
  return {{"processes", classes.processes}, {"hosts", classes.hosts},
          {"distinct", classes.distinct},   {"failed", classes.failed},
          {"unparsed", classes.unparsed},   {"jobs", classes.jobs},
          {"missing", std::move(missing)},  {"missing_ranks", one_job},
          {"buckets", std::move(buckets)}};
}

}  // namespace stackpeek::cli
