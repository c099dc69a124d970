#include "stacks/stack_merge.h"

#include <algorithm>
#include <set>

#include "stacks/failure_reason.h"
#include "stacks/stack_history.h"

namespace stackpeek::stacks {
namespace {

// Larger world sizes are not believed: no list of missing ranks that long helps anyone.
constexpr uint32_t kMaxWorldSize = 1u << 20;

void mix(uint64_t& h, uint64_t value) { h ^= value + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); }

// A digest of what same_threads compares, by the names' interned addresses: valid in this
// process only.
uint64_t threads_hash(const std::vector<ThreadStack>& threads) {
  uint64_t h = threads.size();
  for (const auto& thread : threads) {
    mix(h, thread.name ? std::hash<std::string>()(*thread.name) : 0x6e6f6e616d65ULL);
    mix(h, thread.frames.size());
    for (const auto& frame : thread.frames) {
      mix(h, reinterpret_cast<uintptr_t>(frame.function.id()));
      mix(h, reinterpret_cast<uintptr_t>(frame.file.id()));
    }
  }
  return h;
}

std::string process_key(const ClassMember& member) {
  return member.host + '\0' + std::to_string(member.pid);
}

// Per job, the ranks no member has, when the job's members agree on one world size.
std::vector<MissingRanks> find_missing(const std::vector<StackClass>& classes) {
  struct Job {
    std::optional<uint32_t> world;
    bool mixed = false;
    std::vector<uint32_t> ranks;
  };
  std::map<std::string, Job> jobs;
  for (const auto& merged : classes) {
    for (const auto& member : merged.members) {
      if (!member.world_size) continue;
      Job& job = jobs[member.job];
      job.mixed = job.mixed || (job.world && *job.world != *member.world_size);
      job.world = member.world_size;
      if (member.rank) job.ranks.push_back(*member.rank);
    }
  }
  std::vector<MissingRanks> out;
  for (auto& [name, job] : jobs) {
    if (job.mixed || *job.world > kMaxWorldSize) continue;
    std::vector<bool> present(*job.world);
    for (const uint32_t rank : job.ranks) {
      if (rank < *job.world) present[rank] = true;
    }
    MissingRanks missing{name, {}};
    for (uint32_t rank = 0; rank < *job.world; ++rank) {
      if (!present[rank]) missing.ranks.push_back(rank);
    }
    if (!missing.ranks.empty()) out.push_back(std::move(missing));
  }
  return out;
}

void count(StackClasses& out) {
  std::set<std::string_view> hosts, jobs;
  bool any_host = false;
  for (const auto& merged : out.classes) {
    out.processes += merged.members.size();
    if (merged.kind == BucketKind::Stack) ++out.distinct;
    if (merged.kind == BucketKind::Failed) out.failed += merged.members.size();
    if (merged.kind == BucketKind::Unparsed) out.unparsed += merged.members.size();
    for (const auto& member : merged.members) {
      hosts.insert(member.host);
      any_host = any_host || !member.host.empty();
      if (member.rank && !member.job.empty()) jobs.insert(member.job);
    }
  }
  out.hosts = any_host ? hosts.size() : 0;
  out.jobs.assign(jobs.begin(), jobs.end());
  out.missing = find_missing(out.classes);
}

}  // namespace

bool same_threads(const std::vector<ThreadStack>& a, const std::vector<ThreadStack>& b) {
  if (a.size() != b.size()) return false;
  for (size_t t = 0; t < a.size(); ++t) {
    if (a[t].name != b[t].name || a[t].frames.size() != b[t].frames.size()) return false;
    for (size_t f = 0; f < a[t].frames.size(); ++f) {
      const auto &x = a[t].frames[f], &y = b[t].frames[f];
      if (x.function != y.function || x.file != y.file) return false;
    }
  }
  return true;
}

void add_line(std::vector<uint32_t>& lines, uint32_t line) {
  if (!lines.empty() && lines.back() == line) return;
  const auto at = std::lower_bound(lines.begin(), lines.end(), line);
  if (at == lines.end() || *at != line) lines.insert(at, line);
}

void add_lines(std::vector<std::vector<std::vector<uint32_t>>>& lines,
               const std::vector<ThreadStack>& threads) {
  lines.resize(threads.size());
  for (size_t t = 0; t < threads.size(); ++t) {
    lines[t].resize(threads[t].frames.size());
    for (size_t f = 0; f < threads[t].frames.size(); ++f) {
      if (const auto line = threads[t].frames[f].line) add_line(lines[t][f], *line);
    }
  }
}

StackMerger::Entry StackMerger::new_entry(BucketKind kind, std::string text) {
  Entry entry;
  entry.merged.kind = kind;
  entry.merged.text = std::move(text);
  return entry;
}

size_t StackMerger::stack_class(const std::vector<ThreadStack>& threads) {
  auto& candidates = by_stack_[threads_hash(threads)];
  for (const size_t entry : candidates) {
    if (same_threads(entries_[entry].merged.threads, threads)) return entry;
  }
  candidates.push_back(entries_.size());
  entries_.push_back(new_entry(BucketKind::Stack));
  entries_.back().merged.threads = threads;
  return entries_.size() - 1;
}

size_t StackMerger::failure_class(const std::string& error) {
  FailureReason reason = failure_reason(error);
  const auto [it, inserted] = by_failure_.try_emplace(
      {std::move(reason.headline), std::move(reason.cause)}, entries_.size());
  if (inserted) entries_.push_back(new_entry(BucketKind::Failed, error));
  return it->second;
}

// Adds the member to the entry's class, dropping the process's earlier member if any.
void StackMerger::join(size_t entry, ClassMember member) {
  const auto [it, inserted] = where_.try_emplace(process_key(member), entry, 0);
  if (!inserted) {
    entries_[it->second.first].dropped[it->second.second] = true;
    ++replaced_;
  }
  Entry& target = entries_[entry];
  it->second = {entry, target.merged.members.size()};
  target.merged.members.push_back(std::move(member));
  target.dropped.push_back(false);
}

// The class shows the threads (or the error) of its first member, kept in front.
bool StackMerger::leads(size_t entry, const ClassMember& member) const {
  const auto& members = entries_[entry].merged.members;
  return members.empty() || member_order(member) < member_order(members.front());
}

void StackMerger::promote(size_t entry, size_t at) {
  Entry& target = entries_[entry];
  auto& members = target.merged.members;
  if (at == 0) return;
  std::swap(members.front(), members[at]);
  std::vector<bool>::swap(target.dropped[0], target.dropped[at]);
  where_[process_key(members.front())].second = 0;
  where_[process_key(members[at])].second = at;
}

void StackMerger::add_stack(ClassMember member, std::vector<ThreadStack> threads) {
  const size_t entry = stack_class(threads);
  StackClass& merged = entries_[entry].merged;
  add_lines(merged.lines, threads);
  if (leads(entry, member)) {
    merged.threads = std::move(threads);
    join(entry, std::move(member));
    promote(entry, merged.members.size() - 1);
    return;
  }
  join(entry, std::move(member));
}

void StackMerger::add_failed(ClassMember member, std::string error) {
  const size_t entry = failure_class(error);
  StackClass& merged = entries_[entry].merged;
  const bool first = leads(entry, member);
  if (first) merged.text = std::move(error);
  join(entry, std::move(member));
  if (first) promote(entry, merged.members.size() - 1);
}

void StackMerger::add_unparsed(ClassMember member, std::string output) {
  entries_.push_back(new_entry(BucketKind::Unparsed, std::move(output)));
  join(entries_.size() - 1, std::move(member));
}

void StackMerger::add_class(StackClass merged) {
  if (merged.members.empty()) return;
  size_t entry = 0;
  if (merged.kind == BucketKind::Unparsed) {
    entries_.push_back(new_entry(BucketKind::Unparsed, merged.text));
    entry = entries_.size() - 1;
  } else {
    entry =
        merged.kind == BucketKind::Stack ? stack_class(merged.threads) : failure_class(merged.text);
  }
  StackClass& target = entries_[entry].merged;
  if (merged.kind == BucketKind::Stack) {
    target.lines.resize(std::max(target.lines.size(), merged.lines.size()));
    for (size_t t = 0; t < merged.lines.size(); ++t) {
      target.lines[t].resize(std::max(target.lines[t].size(), merged.lines[t].size()));
      for (size_t f = 0; f < merged.lines[t].size(); ++f) {
        for (const uint32_t line : merged.lines[t][f]) add_line(target.lines[t][f], line);
      }
    }
  }
  const auto first = std::min_element(
      merged.members.begin(), merged.members.end(),
      [](const auto& a, const auto& b) { return member_order(a) < member_order(b); });
  const size_t at = target.members.size() + static_cast<size_t>(first - merged.members.begin());
  const bool first_leads = leads(entry, *first);
  if (first_leads) {
    target.threads = std::move(merged.threads);
    target.text = std::move(merged.text);
  }
  for (auto& member : merged.members) join(entry, std::move(member));
  if (first_leads) promote(entry, at);
}

void StackMerger::absorb(StackMerger&& other) {
  replaced_ += other.replaced_;
  other.replaced_ = 0;
  for (auto& merged : other.finish().classes) add_class(std::move(merged));
}

StackClasses StackMerger::finish() {
  StackClasses out;
  for (auto& entry : entries_) {
    StackClass& merged = entry.merged;
    std::vector<ClassMember> kept;
    kept.reserve(merged.members.size());
    for (size_t i = 0; i < merged.members.size(); ++i) {
      if (!entry.dropped[i]) kept.push_back(std::move(merged.members[i]));
    }
    if (kept.empty()) continue;
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
      return member_order(a) < member_order(b);
    });
    merged.members = std::move(kept);
    merged.unchanged.reset();
    if (merged.kind == BucketKind::Stack) {
      merged.unchanged = shortest_unchanged(
          merged.members, [](const ClassMember& member) { return member.unchanged; });
    }
    out.classes.push_back(std::move(merged));
  }
  std::sort(out.classes.begin(), out.classes.end(), [](const auto& a, const auto& b) {
    if (a.members.size() != b.members.size()) return a.members.size() < b.members.size();
    return member_order(a.members.front()) < member_order(b.members.front());
  });
  count(out);
  entries_.clear();
  by_stack_.clear();
  by_failure_.clear();
  where_.clear();
  return out;
}

}  // namespace stackpeek::stacks
