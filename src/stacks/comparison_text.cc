#include "stacks/comparison_text.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "common/util.h"
#include "stacks/bucket_text.h"
#include "stacks/failure_reason.h"
#include "stacks/process_names.h"
#include "stacks/stack_merge.h"

namespace stackpeek::stacks {
namespace {

constexpr size_t kShownFrames = 6;
constexpr size_t kListedNames = 8;
constexpr std::string_view kIndent = "    ";

std::string plural(size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// How many names (pids or host pieces) and rank pieces a header lists before its "…".
struct Caps {
  size_t names = kListedNames;
  size_t ranks = kListedNames;
};

// Up to `cap` items joined by `separator`, then the separator and "…" (and how many more
// when `count` is set).
std::string join_capped(const std::vector<std::string>& items, std::string_view separator,
                        size_t cap, bool count = false) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    if (i == cap) {
      out += kEllipsis;
      if (count) out += " " + std::to_string(items.size() - cap) + " more";
      break;
    }
    out += items[i];
  }
  return out;
}

using Members = std::vector<const ClassMember*>;

// "rank 3 (pid 4242)", "ranks 0-2,4-7 (pids …)", "pids 17 18".
std::string screen_names(const Members& members, Caps caps) {
  std::vector<NamedProcess> named;
  named.reserve(members.size());
  for (const auto* member : members) named.push_back({.pid = member->pid, .rank = member->rank});
  return process_names(named, {.ranks = caps.ranks, .pids = caps.names});
}

std::string host_name(const ClassMember& member) {
  return member.host.empty() ? std::string("?") : member.host;
}

// "host:what" pieces in order, hosts with the same `what` written once as a host range.
std::vector<std::string> merge_hosts(const std::vector<std::pair<std::string, std::string>>& pieces,
                                     size_t cap) {
  std::vector<std::string> order;
  std::unordered_map<std::string, std::vector<std::string>> hosts;
  for (const auto& [host, what] : pieces) {
    auto [it, inserted] = hosts.try_emplace(what);
    if (inserted) order.push_back(what);
    it->second.push_back(host);
  }
  std::vector<std::string> out;
  out.reserve(order.size());
  for (const auto& what : order) out.push_back(host_ranges(hosts[what], cap) + ":" + what);
  return out;
}

// The ranked members of one job: "node1:0-7 node2:8-15", or "ranks 0-15 on node[1-2]" when
// that lists more than `caps.names` hosts.
std::vector<std::string> job_pieces(const Members& members, Caps caps) {
  std::vector<std::string> host_order;
  std::unordered_map<std::string, std::vector<uint32_t>> ranks_by_host;
  for (const auto* member : members) {
    auto [it, inserted] = ranks_by_host.try_emplace(host_name(*member));
    if (inserted) host_order.push_back(it->first);
    it->second.push_back(*member->rank);
  }
  std::vector<std::pair<std::string, std::string>> pieces;
  pieces.reserve(host_order.size());
  for (const auto& host : host_order) {
    pieces.emplace_back(host, compact_ranges(ranks_by_host[host], caps.ranks));
  }
  std::vector<std::string> merged = merge_hosts(pieces, caps.ranks);
  if (merged.size() <= caps.names) return merged;
  std::vector<uint32_t> ranks;
  ranks.reserve(members.size());
  for (const auto* member : members) ranks.push_back(*member->rank);
  return {"ranks " + compact_ranges(std::move(ranks), caps.ranks) + " on " +
          plural(host_order.size(), "host", "hosts") + " " + host_ranges(host_order, caps.ranks)};
}

// Names with hosts: the ranks of each host as compact ranges (hosts in the order of their
// lowest rank; per job, led by "[job N]", when the comparison has several), then host:pid for
// processes without a rank.
std::string host_names(const Members& members, const std::vector<std::string>& jobs, Caps caps) {
  std::map<std::string_view, Members> ranked_by_job;
  std::vector<std::pair<std::string, std::string>> unranked;
  std::unordered_map<std::string, std::vector<uint32_t>> pids_by_host;
  std::vector<std::string> unranked_hosts;
  for (const auto* member : members) {
    if (member->rank) {
      ranked_by_job[member->job].push_back(member);
      continue;
    }
    auto [it, inserted] = pids_by_host.try_emplace(host_name(*member));
    if (inserted) unranked_hosts.push_back(it->first);
    it->second.push_back(member->pid);
  }
  std::vector<std::string> names;
  for (const auto& [job, ranked] : ranked_by_job) {
    std::vector<std::string> pieces = job_pieces(ranked, caps);
    const auto found = std::find(jobs.begin(), jobs.end(), job);
    if (jobs.size() > 1 && found != jobs.end()) {
      pieces.front() = "[job " + std::to_string(found - jobs.begin() + 1) + "] " + pieces.front();
    }
    names.insert(names.end(), pieces.begin(), pieces.end());
  }
  for (const auto& host : unranked_hosts) {
    const auto& pids = pids_by_host[host];
    unranked.emplace_back(host,
                          (pids.size() == 1 ? "pid " : "pids ") + compact_ranges(pids, caps.ranks));
  }
  for (auto& piece : merge_hosts(unranked, caps.ranks)) names.push_back(std::move(piece));
  return join_capped(names, " ", caps.names, true);
}

std::string header(const StackClasses& classes, const StackClass& merged, Caps caps) {
  Members members;
  members.reserve(merged.members.size());
  for (const auto& member : merged.members) members.push_back(&member);
  std::string out =
      plural(members.size(), "process", "processes") + ": " +
      (classes.hosts > 0 ? host_names(members, classes.jobs, caps) : screen_names(members, caps));
  switch (merged.kind) {
    case BucketKind::Stack:
      if (merged.unchanged)
        out += ", unchanged for " + std::to_string(merged.unchanged->count()) + " s";
      break;
    case BucketKind::Failed:
      out += ", dump failed";
      break;
    case BucketKind::Unparsed:
      out += ", stack not parsed";
      break;
  }
  return out;
}

// The header within `width` columns (0: no limit): fewer names listed first, then fewer
// rank pieces, down to one of each.
std::string fitted_header(const StackClasses& classes, const StackClass& merged, size_t width) {
  Caps caps;
  std::string out = header(classes, merged, caps);
  while (width > 0 && text_width(out) > width && (caps.names > 1 || caps.ranks > 1)) {
    if (caps.names > 1) {
      --caps.names;
    } else {
      --caps.ranks;
    }
    out = header(classes, merged, caps);
  }
  return out;
}

std::string job_label(const StackClasses& classes, const std::string& job) {
  const auto found = std::find(classes.jobs.begin(), classes.jobs.end(), job);
  if (classes.jobs.size() < 2 || found == classes.jobs.end()) return {};
  return " (job " + std::to_string(found - classes.jobs.begin() + 1) + ")";
}

// "missing ranks 2,5-7" per job; a list cut short says how many ranks it holds.
std::string missing_text(const StackClasses& classes) {
  std::vector<std::string> parts;
  for (const auto& missing : classes.missing) {
    std::string ranges = compact_ranges(missing.ranks);
    if (ranges.ends_with(kEllipsis)) ranges += " (" + std::to_string(missing.ranks.size()) + ")";
    parts.push_back(ranges + job_label(classes, missing.job));
  }
  return parts.empty() ? std::string()
                       : ", missing ranks " + join_capped(parts, ", ", parts.size());
}

std::string summary(const StackClasses& classes) {
  std::string out = "Stacks compared: " + plural(classes.processes, "process", "processes");
  if (classes.hosts > 0) out += " on " + plural(classes.hosts, "host", "hosts");
  if (classes.jobs.size() > 1) out += " in " + std::to_string(classes.jobs.size()) + " jobs";
  out += ", " + std::to_string(classes.distinct) + " distinct";
  if (classes.failed > 0) out += ", " + std::to_string(classes.failed) + " failed";
  if (classes.unparsed > 0) out += ", " + std::to_string(classes.unparsed) + " not parsed";
  return out + missing_text(classes);
}

// "Jobs: 1 torch:10.0.0.1:29500:world8, 2 torch:10.0.0.1:29501:world8"
std::string jobs_line(const StackClasses& classes) {
  std::vector<std::string> named;
  for (size_t i = 0; i < classes.jobs.size(); ++i) {
    named.push_back(std::to_string(i + 1) + " " + classes.jobs[i]);
  }
  return "Jobs: " + join_capped(named, ", ", kListedNames, true);
}

// The first thread as a class shows it when nothing else is shown, lines aside: classes
// whose keys are equal would read the same.
std::string first_thread_key(const std::vector<ThreadStack>& threads) {
  if (threads.empty()) return {};
  const auto& frames = threads.front().frames;
  std::string key = std::to_string(frames.size());
  for (size_t i = 0; i < std::min(frames.size(), kShownFrames); ++i) {
    key += '\0' + frames[i].function.str() + '\0' + frames[i].file.str();
  }
  return key;
}

// The threads a class shows, each with the first frame that tells it from another class
// (none: no such frame, the innermost frames are shown); named when another class shows
// the same first thread.
struct ShownThreads {
  std::map<size_t, std::optional<size_t>> threads;
  bool named = false;
};

// For each Stack class, the threads it shows: the first one, and when other classes show
// the same first thread, the first thread that differs from each of them.
std::vector<ShownThreads> shown_threads(const std::vector<StackClass>& classes) {
  std::vector<ShownThreads> shown(classes.size());
  std::map<std::string, std::vector<size_t>> by_key;
  for (size_t c = 0; c < classes.size(); ++c) {
    shown[c].threads[0] = std::nullopt;
    if (classes[c].kind != BucketKind::Stack) continue;
    by_key[first_thread_key(classes[c].threads)].push_back(c);
  }
  for (const auto& [key, same] : by_key) {
    for (const size_t c : same) {
      shown[c].named = same.size() > 1;
      const auto& mine = classes[c].threads;
      for (const size_t other : same) {
        if (other == c) continue;
        const auto& theirs = classes[other].threads;
        const size_t thread = first_different_thread(mine, theirs);
        std::optional<size_t> frame;
        if (thread < mine.size() && thread < theirs.size()) {
          frame = first_different_frame(mine[thread], theirs[thread]);
        }
        auto [it, inserted] = shown[c].threads.try_emplace(thread, frame);
        if (!inserted && frame && (!it->second || *frame < *it->second)) it->second = frame;
      }
    }
  }
  return shown;
}

struct DetailWriter {
  std::vector<std::string>& lines;
  size_t width;

  void indented(std::string text) const {
    const size_t room = width > kIndent.size() ? width - kIndent.size() : 0;
    lines.push_back(std::string(kIndent) + fit_middle(std::move(text), room));
  }

  void wrapped(const std::string& line) const {
    const size_t room = width > kIndent.size() ? width - kIndent.size() : 0;
    for (auto& piece : wrap_words(line, room, fit_middle)) {
      lines.push_back(std::string(kIndent) + piece);
    }
  }

  void failure(std::string_view text) const {
    const FailureReason reason = failure_reason(text);
    if (reason.headline.empty()) {
      indented("(no error message)");
      return;
    }
    wrapped(reason.headline);
    if (!reason.cause.empty()) wrapped("caused by: " + reason.cause);
  }

  // Six frames of the thread from the innermost, or up to the frame `differs` when that
  // lies deeper, with the lines of all members.
  void frames(const StackClass& merged, size_t thread, std::optional<size_t> differs) const {
    const auto& frames = merged.threads[thread].frames;
    if (frames.empty()) {
      indented("(no frames)");
      return;
    }
    size_t begin = 0;
    if (differs && *differs >= kShownFrames && *differs < frames.size()) {
      begin = *differs + 1 - kShownFrames;
      indented(std::string(kEllipsis) + " " + plural(begin, "inner frame", "inner frames"));
    }
    const size_t end = std::min(frames.size(), begin + kShownFrames);
    for (size_t i = begin; i < end; ++i) {
      const bool known = thread < merged.lines.size() && i < merged.lines[thread].size();
      indented(
          format_frame_lines(frames[i], known ? merged.lines[thread][i] : std::vector<uint32_t>()));
    }
    if (frames.size() > end) {
      indented(std::string(kEllipsis) + " " +
               plural(frames.size() - end, "more frame", "more frames"));
    }
  }

  // "  thread 2 of 3: "Thread-1"" before the thread's frames.
  void named_thread(const StackClass& merged, size_t thread, std::optional<size_t> differs) const {
    const auto& threads = merged.threads;
    std::string head = "  ";
    if (thread >= threads.size()) {
      head += "no thread " + std::to_string(thread + 1) + ": " +
              plural(threads.size(), "thread", "threads") + " only";
      lines.push_back(fit_middle(std::move(head), width));
      return;
    }
    const auto& name = threads[thread].name;
    head += "thread " + std::to_string(thread + 1) + " of " + std::to_string(threads.size()) +
            ": " + (name ? "\"" + *name + "\"" : "(no name)");
    lines.push_back(fit_middle(std::move(head), width));
    frames(merged, thread, differs);
  }

  void details(const StackClass& merged, const ShownThreads& shown) const {
    switch (merged.kind) {
      case BucketKind::Failed:
        failure(merged.text);
        return;
      case BucketKind::Unparsed: {
        const std::string line = first_line(merged.text);
        indented(line.empty() ? std::string("(no output)") : line);
        return;
      }
      case BucketKind::Stack:
        break;
    }
    if (shown.named) {
      for (const auto& [thread, differs] : shown.threads) named_thread(merged, thread, differs);
      return;
    }
    if (merged.threads.empty()) {
      indented("(no threads)");
      return;
    }
    frames(merged, 0, std::nullopt);
  }
};

std::vector<std::string> text_lines(const StackClasses& classes,
                                    const std::vector<ShownThreads>& shown, size_t width) {
  std::vector<std::string> lines;
  lines.push_back(fit_middle(summary(classes), width));
  if (classes.hosts > 0 && classes.jobs.size() > 1)
    lines.push_back(fit_middle(jobs_line(classes), width));
  const DetailWriter writer{lines, width};
  for (size_t c = 0; c < classes.classes.size(); ++c) {
    lines.push_back(fitted_header(classes, classes.classes[c], width));
    writer.details(classes.classes[c], shown[c]);
  }
  lines.emplace_back();
  return lines;
}

// The buckets as classes, in the same order; each frame's lines only with `all_lines`.
StackClasses classes_of(const StackComparison& comparison, const std::vector<DumpResult>& results,
                        bool all_lines) {
  StackClasses out;
  out.classes.reserve(comparison.buckets.size());
  std::set<std::string_view> jobs;
  for (const auto& bucket : comparison.buckets) {
    const DumpResult& first = results[bucket.members.front()];
    StackClass merged;
    merged.kind = bucket.kind;
    merged.unchanged = bucket.unchanged;
    if (bucket.kind == BucketKind::Stack) {
      merged.threads = first.dump->threads;
      for (const size_t index : bucket.members) {
        if (all_lines) add_lines(merged.lines, results[index].dump->threads);
      }
    } else {
      merged.text = bucket.kind == BucketKind::Failed ? first.error : first.raw;
    }
    merged.members.reserve(bucket.members.size());
    for (const size_t index : bucket.members) {
      const DumpResult& result = results[index];
      merged.members.push_back({.host = result.host,
                                .pid = result.pid,
                                .rank = result.rank,
                                .world_size = result.world_size,
                                .job = result.job,
                                .unchanged = comparison.unchanged[index]});
      if (result.rank && !result.job.empty()) jobs.insert(result.job);
    }
    if (bucket.kind == BucketKind::Failed) out.failed += bucket.members.size();
    if (bucket.kind == BucketKind::Unparsed) out.unparsed += bucket.members.size();
    out.classes.push_back(std::move(merged));
  }
  out.processes = comparison.processes;
  out.hosts = comparison.hosts;
  out.distinct = comparison.distinct;
  out.jobs.assign(jobs.begin(), jobs.end());
  if (!comparison.missing_ranks.empty()) out.missing.push_back({{}, comparison.missing_ranks});
  return out;
}

// The lines of every member at each frame of one thread of a class.
void add_thread_lines(StackClass& merged, const StackBucket& bucket,
                      const std::vector<DumpResult>& results, size_t thread) {
  if (thread >= merged.threads.size()) return;
  merged.lines.resize(merged.threads.size());
  auto& lines = merged.lines[thread];
  lines.resize(merged.threads[thread].frames.size());
  for (const size_t index : bucket.members) {
    const auto& frames = results[index].dump->threads[thread].frames;
    for (size_t f = 0; f < frames.size(); ++f) {
      if (frames[f].line) add_line(lines[f], *frames[f].line);
    }
  }
}

}  // namespace

std::vector<std::string> class_lines(const StackClasses& classes, size_t width) {
  return text_lines(classes, shown_threads(classes.classes), width);
}

StackClasses classes_from_comparison(const StackComparison& comparison,
                                     const std::vector<DumpResult>& results) {
  return classes_of(comparison, results, true);
}

// The screen's comparison reads the lines of the threads shown only: a group dump holds
// thousands of frames.
std::vector<std::string> comparison_lines(const StackComparison& comparison,
                                          const std::vector<DumpResult>& results, size_t width) {
  StackClasses classes = classes_of(comparison, results, false);
  const std::vector<ShownThreads> shown = shown_threads(classes.classes);
  for (size_t c = 0; c < classes.classes.size(); ++c) {
    if (classes.classes[c].kind != BucketKind::Stack) continue;
    for (const auto& [thread, differs] : shown[c].threads) {
      add_thread_lines(classes.classes[c], comparison.buckets[c], results, thread);
    }
  }
  return text_lines(classes, shown, width);
}

std::vector<std::string> compare_stack_lines(const std::vector<DumpResult>& results,
                                             StackHistory* history,
                                             StackHistory::Clock::time_point now, size_t width) {
  StackComparison comparison = compare_stacks(results);
  if (history != nullptr) apply_history(comparison, results, *history, now);
  return comparison_lines(comparison, results, width);
}

std::string host_member_names(const std::vector<const ClassMember*>& members) {
  return host_names(members, {}, Caps{});
}

}  // namespace stackpeek::stacks
