#include "stacks/stack_compare.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "stacks/failure_reason.h"
#include "stacks/stack_history.h"
#include "stacks/stack_merge.h"

namespace stackpeek::stacks {
namespace {

// Larger world sizes are not believed: no list of missing ranks that long helps anyone.
constexpr uint32_t kMaxWorldSize = 1u << 20;

void mix(StackSignature& h, uint64_t value) {
  h ^= value + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
}

// A fast 64-bit hash of short texts: eight bytes at a time, multiply and fold.
uint64_t text_hash(const std::string& text) {
  constexpr uint64_t kMul = 0x9fb21c651e98df25ULL;
  uint64_t h = text.size() * kMul;
  const char* p = text.data();
  size_t left = text.size();
  auto step = [&](uint64_t word) {
    h = (h ^ word) * kMul;
    h ^= h >> 29;
  };
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t word = 0;
    memcpy(&word, p, 8);
    step(word);
  }
  if (left > 0) {
    uint64_t word = 0;
    memcpy(&word, p, left);
    step(word);
  }
  return h;
}

// A cheap digest of what same_stack compares: thread names, and the number of frames and
// the lengths of each frame's function and file (no other text is read).
uint64_t stack_shape(const ProcessDump& dump) {
  uint64_t h = dump.threads.size();
  for (const auto& thread : dump.threads) {
    mix(h, thread.name ? text_hash(*thread.name) : 0x6e6f6e616d65ULL);
    mix(h, thread.frames.size());
    for (const auto& frame : thread.frames) mix(h, frame.function.size() << 32 | frame.file.size());
  }
  return h;
}

// Members order: ranked processes first by rank, then host, pid and input index.
auto member_key(const std::vector<DumpResult>& results, size_t index) {
  const DumpResult& r = results[index];
  return std::make_tuple(!r.rank.has_value(), r.rank.value_or(0), std::string_view(r.host), r.pid,
                         index);
}

std::string_view trim_blank(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\f\v";
  const size_t begin = text.find_first_not_of(kBlank);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kBlank) - begin + 1);
}

std::vector<uint32_t> find_missing_ranks(const std::vector<DumpResult>& results) {
  std::optional<uint32_t> world;
  for (const auto& result : results) {
    if (!result.world_size) continue;
    if (world && *world != *result.world_size) return {};
    world = result.world_size;
  }
  if (!world || *world > kMaxWorldSize) return {};
  std::vector<bool> present(*world);
  for (const auto& result : results) {
    if (result.rank && *result.rank < *world) present[*result.rank] = true;
  }
  std::vector<uint32_t> missing;
  for (uint32_t rank = 0; rank < *world; ++rank) {
    if (!present[rank]) missing.push_back(rank);
  }
  return missing;
}

}  // namespace

std::string crash_text(int signal) {
  const char* abbrev = sigabbrev_np(signal);  // "SEGV"; null for an unknown number
  const std::string name = abbrev == nullptr ? std::string() : std::string("SIG") + abbrev;
  return "py-spy crashed: signal " + std::to_string(signal) +
         (name.empty() ? std::string() : " (" + std::string(name) + ")");
}

DumpResult dump_result_from_record(const RunRecord& record, uint32_t pid,
                                   std::optional<uint32_t> rank, std::string host,
                                   std::optional<uint32_t> world_size) {
  DumpResult result;
  result.host = std::move(host);
  result.pid = pid;
  result.rank = rank;
  result.world_size = world_size;
  if (record.status == RunStatus::Success) {
    result.status = DumpStatus::Ok;
    result.dump = parse_dump(record.stdout_text);
    if (!result.dump) result.raw = record.stdout_text;
  } else {
    result.status = DumpStatus::Failed;
    result.error = trim_blank(record.stderr_text).empty() ? record.stdout_text : record.stderr_text;
    if (record.signal) result.error = crash_text(*record.signal) + "\n" + result.error;
  }
  return result;
}

bool same_stack(const ProcessDump& a, const ProcessDump& b) {
  return same_threads(a.threads, b.threads);
}

StackSignature stack_signature(const ProcessDump& dump) {
  StackSignature h = dump.threads.size();
  for (const auto& thread : dump.threads) {
    mix(h, thread.name ? text_hash(*thread.name) : 0x6e6f6e616d65ULL);  // "noname"
    mix(h, thread.frames.size());
    for (const auto& frame : thread.frames) {
      mix(h, text_hash(frame.function.str()));
      mix(h, text_hash(frame.file.str()));
    }
  }
  return h;
}

namespace {

size_t host_count(const std::vector<DumpResult>& results) {
  std::set<std::string_view> hosts;
  bool any_host = false;
  for (const auto& result : results) {
    hosts.insert(result.host);
    any_host = any_host || !result.host.empty();
  }
  return any_host ? hosts.size() : 0;
}

// The indexes of `results` in member order, so that every bucket's members come out sorted.
std::vector<size_t> member_order(const std::vector<DumpResult>& results) {
  std::vector<size_t> order(results.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return member_key(results, a) < member_key(results, b); });
  return order;
}

// One bucket per distinct stack, per failure (headline and cause) and per unparsed dump, in
// the order of their first members. Candidates are found by the shape of their stack;
// same_stack decides.
std::vector<StackBucket> bucket_results(const std::vector<DumpResult>& results) {
  std::vector<StackBucket> buckets;
  std::unordered_map<uint64_t, std::vector<size_t>> by_shape;
  std::map<std::pair<std::string, std::string>, size_t> by_error;
  for (const size_t index : member_order(results)) {
    const DumpResult& result = results[index];
    if (result.status == DumpStatus::Failed) {
      FailureReason reason = failure_reason(result.error);
      const auto [it, inserted] = by_error.try_emplace(
          {std::move(reason.headline), std::move(reason.cause)}, buckets.size());
      if (inserted) {
        buckets.push_back({BucketKind::Failed, {index}, std::nullopt});
      } else {
        buckets[it->second].members.push_back(index);
      }
      continue;
    }
    if (!result.dump) {
      buckets.push_back({BucketKind::Unparsed, {index}, std::nullopt});
      continue;
    }
    auto& candidates = by_shape[stack_shape(*result.dump)];
    const auto same = std::find_if(candidates.begin(), candidates.end(), [&](size_t bucket) {
      return same_stack(*results[buckets[bucket].members.front()].dump, *result.dump);
    });
    if (same != candidates.end()) {
      buckets[*same].members.push_back(index);
    } else {
      candidates.push_back(buckets.size());
      buckets.push_back({BucketKind::Stack, {index}, std::nullopt});
    }
  }
  return buckets;
}

// Each member's signature and unchanged time, and each stack bucket's shortest. The full
// signature is computed once per bucket: same_stack implies equal signatures.
void sign_buckets(StackComparison& comparison, const std::vector<DumpResult>& results) {
  comparison.signatures.resize(results.size());
  comparison.unchanged.resize(results.size());
  for (auto& bucket : comparison.buckets) {
    if (bucket.kind != BucketKind::Stack) continue;
    const StackSignature signature = stack_signature(*results[bucket.members.front()].dump);
    for (const size_t index : bucket.members) {
      comparison.signatures[index] = signature;
      comparison.unchanged[index] = results[index].unchanged;
    }
    bucket.unchanged = shortest_unchanged(
        bucket.members, [&](size_t index) { return comparison.unchanged[index]; });
  }
}

void count_kinds(StackComparison& comparison) {
  for (const auto& bucket : comparison.buckets) {
    switch (bucket.kind) {
      case BucketKind::Stack:
        ++comparison.distinct;
        break;
      case BucketKind::Failed:
        ++comparison.failed;
        break;
      case BucketKind::Unparsed:
        ++comparison.unparsed;
        break;
    }
  }
}

}  // namespace

StackComparison compare_stacks(const std::vector<DumpResult>& results) {
  StackComparison comparison;
  comparison.processes = results.size();
  comparison.hosts = host_count(results);
  comparison.buckets = bucket_results(results);
  sign_buckets(comparison, results);
  comparison.missing_ranks = find_missing_ranks(results);
  // Buckets were created in the order of their first members, so a stable sort by size
  // keeps that order among equal sizes.
  std::stable_sort(comparison.buckets.begin(), comparison.buckets.end(),
                   [](const StackBucket& a, const StackBucket& b) {
                     return a.members.size() < b.members.size();
                   });
  count_kinds(comparison);
  return comparison;
}

void apply_history(StackComparison& comparison, const std::vector<DumpResult>& results,
                   StackHistory& history, StackHistory::Clock::time_point now) {
  comparison.unchanged.assign(results.size(), std::nullopt);
  for (auto& bucket : comparison.buckets) {
    bucket.unchanged.reset();
    if (bucket.kind != BucketKind::Stack) continue;
    for (const size_t index : bucket.members) {
      const DumpResult& result = results[index];
      comparison.unchanged[index] = history.observe(result.pid, *result.dump, now, result.host);
    }
    bucket.unchanged = shortest_unchanged(
        bucket.members, [&](size_t index) { return comparison.unchanged[index]; });
  }
}

}  // namespace stackpeek::stacks
