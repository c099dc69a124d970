#include "stacks/stack_compare.h"

#include <string.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "common/utf8.h"
#include "common/util.h"
#include "stacks/bucket_text.h"

namespace stackpeek::stacks {
namespace {

constexpr size_t kShownFrames = 6;
constexpr size_t kListedNames = 8;
constexpr std::string_view kIndent = "    ";
constexpr std::string_view kEllipsis = "…";
// Larger world sizes are not believed: no list of missing ranks that long helps anyone.
constexpr uint32_t kMaxWorldSize = 1u << 20;

bool same_frames(const std::vector<StackFrame>& a, const std::vector<StackFrame>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].function != b[i].function || a[i].file != b[i].file) return false;
  }
  return true;
}

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

// The first line of `text` that is not blank, colour sequences removed and trimmed.
std::string first_line(std::string_view text) {
  const std::string plain = strip_escape_sequences(text);
  std::string_view rest = plain;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = trim_blank(rest.substr(0, end));
    if (!line.empty()) return std::string(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return {};
}

std::string plural(size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// How many names (pids or hosts) and rank pieces a header lists before its "…".
struct Caps {
  size_t names = kListedNames;
  size_t ranks = kListedNames;
};

// Terminal columns of valid UTF-8 text.
size_t text_width(std::string_view text) {
  size_t width = 0;
  for (size_t pos = 0; pos < text.size();) width += utf8::display_width(utf8::next(text, pos));
  return width;
}

// `text` when it fits in `width` columns (0: no limit); otherwise its head, "…" and its
// tail, so a frame keeps both its function and its file and line.
std::string fit_middle(std::string text, size_t width) {
  if (width == 0 || text_width(text) <= width) return text;
  struct Piece {
    size_t offset;
    size_t width;
  };
  std::vector<Piece> pieces;
  for (size_t pos = 0; pos < text.size();) {
    const size_t offset = pos;
    pieces.push_back({offset, static_cast<size_t>(utf8::display_width(utf8::next(text, pos)))});
  }
  const size_t room = width - 1;  // the "…" takes one column
  size_t head_end = 0, head_width = 0;
  while (head_end < pieces.size() && head_width + pieces[head_end].width <= room / 2) {
    head_width += pieces[head_end++].width;
  }
  size_t tail_begin = pieces.size(), tail_width = 0;
  while (tail_begin > head_end && tail_width + pieces[tail_begin - 1].width <= room - head_width) {
    tail_width += pieces[--tail_begin].width;
  }
  const size_t head_bytes = head_end < pieces.size() ? pieces[head_end].offset : text.size();
  const size_t tail_bytes = tail_begin < pieces.size() ? pieces[tail_begin].offset : text.size();
  return text.substr(0, head_bytes) + std::string(kEllipsis) + text.substr(tail_bytes);
}

// Up to `cap` items joined by `separator`, then the separator and "…".
std::string join_capped(const std::vector<std::string>& items, std::string_view separator,
                        size_t cap) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    if (i == cap) {
      out += kEllipsis;
      break;
    }
    out += items[i];
  }
  return out;
}

std::string pid_list(const std::vector<const DumpResult*>& members, size_t cap) {
  std::vector<std::string> pids;
  pids.reserve(members.size());
  for (const auto* member : members) pids.push_back(std::to_string(member->pid));
  return (members.size() == 1 ? "pid " : "pids ") + join_capped(pids, " ", cap);
}

// "rank 3 (pid 4242)", "ranks 0-2,4-7 (pids …)", "pids 17 18", joined by ", ".
std::string screen_names(const std::vector<const DumpResult*>& members, Caps caps) {
  std::vector<const DumpResult*> ranked, unranked;
  for (const auto* member : members) (member->rank ? ranked : unranked).push_back(member);
  std::string out;
  if (!ranked.empty()) {
    std::vector<uint32_t> ranks;
    ranks.reserve(ranked.size());
    for (const auto* member : ranked) ranks.push_back(*member->rank);
    std::sort(ranks.begin(), ranks.end());
    const bool one =
        std::adjacent_find(ranks.begin(), ranks.end(), std::not_equal_to<>()) == ranks.end();
    out += one ? "rank " : "ranks ";
    out += compact_ranges(std::move(ranks), caps.ranks);
    out += " (" + pid_list(ranked, caps.names) + ")";
  }
  if (!unranked.empty()) {
    if (!out.empty()) out += ", ";
    out += pid_list(unranked, caps.names);
  }
  return out;
}

std::string_view host_name(const DumpResult& result) {
  return result.host.empty() ? std::string_view("?") : std::string_view(result.host);
}

// "node1:0-7 node2:8-10,12-15 web1:4242": the ranks of each host as compact ranges (hosts
// in the order of their lowest rank), then host:pid for processes without a rank.
std::string host_names(const std::vector<const DumpResult*>& members, Caps caps) {
  std::vector<std::string_view> host_order;
  std::unordered_map<std::string_view, std::vector<uint32_t>> ranks_by_host;
  std::vector<std::string> names;
  names.reserve(members.size());
  for (const auto* member : members) {
    if (!member->rank) continue;
    auto [it, inserted] = ranks_by_host.try_emplace(host_name(*member));
    if (inserted) host_order.push_back(it->first);
    it->second.push_back(*member->rank);
  }
  for (const auto host : host_order) {
    names.push_back(std::string(host) + ":" + compact_ranges(ranks_by_host[host], caps.ranks));
  }
  for (const auto* member : members) {
    if (!member->rank)
      names.push_back(std::string(host_name(*member)) + ":" + std::to_string(member->pid));
  }
  return join_capped(names, " ", caps.names);
}

std::string header(const StackComparison& comparison, const StackBucket& bucket,
                   const std::vector<DumpResult>& results, Caps caps) {
  std::vector<const DumpResult*> members;
  members.reserve(bucket.members.size());
  for (const size_t index : bucket.members) members.push_back(&results[index]);
  std::string out =
      plural(members.size(), "process", "processes") + ": " +
      (comparison.hosts > 0 ? host_names(members, caps) : screen_names(members, caps));
  switch (bucket.kind) {
    case BucketKind::Stack:
      if (bucket.unchanged)
        out += ", unchanged for " + std::to_string(bucket.unchanged->count()) + " s";
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
std::string fitted_header(const StackComparison& comparison, const StackBucket& bucket,
                          const std::vector<DumpResult>& results, size_t width) {
  Caps caps;
  std::string out = header(comparison, bucket, results, caps);
  while (width > 0 && text_width(out) > width && (caps.names > 1 || caps.ranks > 1)) {
    if (caps.names > 1) {
      --caps.names;
    } else {
      --caps.ranks;
    }
    out = header(comparison, bucket, results, caps);
  }
  return out;
}

// The first thread as a bucket shows it when nothing else is shown, lines aside: buckets
// whose keys are equal would read the same.
std::string first_thread_key(const ProcessDump& dump) {
  if (dump.threads.empty()) return {};
  const auto& frames = dump.threads.front().frames;
  std::string key = std::to_string(frames.size());
  for (size_t i = 0; i < std::min(frames.size(), kShownFrames); ++i) {
    key += '\0' + frames[i].function.str() + '\0' + frames[i].file.str();
  }
  return key;
}

// The threads a bucket shows, each with the first frame that tells it from another bucket
// (none: no such frame, the innermost frames are shown); named when another bucket shows
// the same first thread.
struct ShownThreads {
  std::map<size_t, std::optional<size_t>> threads;
  bool named = false;
};

// For each Stack bucket, the threads it shows: the first one, and when other buckets show
// the same first thread, the first thread that differs from each of them.
std::vector<ShownThreads> shown_threads(const StackComparison& comparison,
                                        const std::vector<DumpResult>& results) {
  const auto& buckets = comparison.buckets;
  std::vector<ShownThreads> shown(buckets.size());
  std::map<std::string, std::vector<size_t>> by_key;
  for (size_t b = 0; b < buckets.size(); ++b) {
    shown[b].threads[0] = std::nullopt;
    if (buckets[b].kind != BucketKind::Stack) continue;
    by_key[first_thread_key(*results[buckets[b].members.front()].dump)].push_back(b);
  }
  for (const auto& [key, same] : by_key) {
    for (const size_t b : same) {
      shown[b].named = same.size() > 1;
      const ProcessDump& mine = *results[buckets[b].members.front()].dump;
      for (const size_t other : same) {
        if (other == b) continue;
        const ProcessDump& theirs = *results[buckets[other].members.front()].dump;
        const size_t thread = first_different_thread(mine, theirs);
        std::optional<size_t> frame;
        if (thread < mine.threads.size() && thread < theirs.threads.size()) {
          frame = first_different_frame(mine.threads[thread], theirs.threads[thread]);
        }
        auto [it, inserted] = shown[b].threads.try_emplace(thread, frame);
        if (!inserted && frame && (!it->second || *frame < *it->second)) it->second = frame;
      }
    }
  }
  return shown;
}

// The distinct lines the members of a bucket show at one frame.
std::vector<uint32_t> member_lines(const std::vector<DumpResult>& results,
                                   const StackBucket& bucket, size_t thread, size_t frame) {
  std::vector<uint32_t> lines;
  for (const size_t index : bucket.members) {
    const auto& line = results[index].dump->threads[thread].frames[frame].line;
    if (line && std::find(lines.begin(), lines.end(), *line) == lines.end()) {
      lines.push_back(*line);
    }
  }
  return lines;
}

struct DetailWriter {
  std::vector<std::string>& lines;
  const std::vector<DumpResult>& results;
  size_t width;

  void indented(std::string text) const {
    const size_t room = width > kIndent.size() ? width - kIndent.size() : 0;
    lines.push_back(std::string(kIndent) + fit_middle(std::move(text), room));
  }

  void first_error_line(std::string_view text, std::string_view none) const {
    const std::string line = first_line(text);
    if (line.empty()) {
      indented(std::string(none));
      return;
    }
    const size_t room = width > kIndent.size() ? width - kIndent.size() : 0;
    for (auto& piece : wrap_words(line, room, fit_middle)) {
      lines.push_back(std::string(kIndent) + piece);
    }
  }

  // Six frames of the thread from the innermost, or up to the frame `differs` when that
  // lies deeper, with the lines of all members.
  void frames(const StackBucket& bucket, size_t thread, std::optional<size_t> differs) const {
    const auto& frames = results[bucket.members.front()].dump->threads[thread].frames;
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
      indented(format_frame_lines(frames[i], member_lines(results, bucket, thread, i)));
    }
    if (frames.size() > end) {
      indented(std::string(kEllipsis) + " " +
               plural(frames.size() - end, "more frame", "more frames"));
    }
  }

  // "  thread 2 of 3: "Thread-1"" before the thread's frames.
  void named_thread(const StackBucket& bucket, size_t thread, std::optional<size_t> differs) const {
    const auto& threads = results[bucket.members.front()].dump->threads;
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
    frames(bucket, thread, differs);
  }

  void bucket(const StackBucket& bucket, const ShownThreads& shown) const {
    const DumpResult& first = results[bucket.members.front()];
    switch (bucket.kind) {
      case BucketKind::Failed:
        first_error_line(first.error, "(no error message)");
        return;
      case BucketKind::Unparsed:
        indented([&] {
          const std::string line = first_line(first.raw);
          return line.empty() ? std::string("(no output)") : line;
        }());
        return;
      case BucketKind::Stack:
        break;
    }
    if (shown.named) {
      for (const auto& [thread, differs] : shown.threads) named_thread(bucket, thread, differs);
      return;
    }
    if (first.dump->threads.empty()) {
      indented("(no threads)");
      return;
    }
    frames(bucket, 0, std::nullopt);
  }
};

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
  if (a.threads.size() != b.threads.size()) return false;
  for (size_t i = 0; i < a.threads.size(); ++i) {
    if (a.threads[i].name != b.threads[i].name) return false;
    if (!same_frames(a.threads[i].frames, b.threads[i].frames)) return false;
  }
  return true;
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

StackComparison compare_stacks(const std::vector<DumpResult>& results) {
  StackComparison comparison;
  comparison.processes = results.size();
  comparison.signatures.resize(results.size());

  std::set<std::string_view> hosts;
  bool any_host = false;
  for (const auto& result : results) {
    hosts.insert(result.host);
    any_host = any_host || !result.host.empty();
  }
  comparison.hosts = any_host ? hosts.size() : 0;

  // Processes in member order, so every bucket's members come out sorted.
  std::vector<size_t> order(results.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return member_key(results, a) < member_key(results, b); });

  // Candidate buckets by the shape of their stack; same_stack decides. The full signature
  // is computed once per bucket: same_stack implies equal signatures.
  std::unordered_map<uint64_t, std::vector<size_t>> by_shape;
  std::unordered_map<std::string, size_t> by_error;
  for (const size_t index : order) {
    const DumpResult& result = results[index];
    if (result.status == DumpStatus::Failed) {
      const auto [it, inserted] =
          by_error.try_emplace(first_line(result.error), comparison.buckets.size());
      if (inserted) {
        comparison.buckets.push_back({BucketKind::Failed, {index}, std::nullopt});
      } else {
        comparison.buckets[it->second].members.push_back(index);
      }
      continue;
    }
    if (!result.dump) {
      comparison.buckets.push_back({BucketKind::Unparsed, {index}, std::nullopt});
      continue;
    }
    auto& candidates = by_shape[stack_shape(*result.dump)];
    const auto same = std::find_if(candidates.begin(), candidates.end(), [&](size_t bucket) {
      return same_stack(*results[comparison.buckets[bucket].members.front()].dump, *result.dump);
    });
    if (same != candidates.end()) {
      comparison.buckets[*same].members.push_back(index);
    } else {
      candidates.push_back(comparison.buckets.size());
      comparison.buckets.push_back({BucketKind::Stack, {index}, std::nullopt});
    }
  }
  comparison.unchanged.resize(results.size());
  for (auto& bucket : comparison.buckets) {
    if (bucket.kind != BucketKind::Stack) continue;
    const StackSignature signature = stack_signature(*results[bucket.members.front()].dump);
    bool all = true;
    for (const size_t index : bucket.members) {
      comparison.signatures[index] = signature;
      const auto& unchanged = results[index].unchanged;
      comparison.unchanged[index] = unchanged;
      all = all && unchanged.has_value();
      if (unchanged && (!bucket.unchanged || *unchanged < *bucket.unchanged)) {
        bucket.unchanged = unchanged;
      }
    }
    if (!all) bucket.unchanged.reset();
  }
  comparison.missing_ranks = find_missing_ranks(results);

  // Buckets were created in the order of their first members, so a stable sort by size
  // keeps that order among equal sizes.
  std::stable_sort(comparison.buckets.begin(), comparison.buckets.end(),
                   [](const StackBucket& a, const StackBucket& b) {
                     return a.members.size() < b.members.size();
                   });
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
  return comparison;
}

void apply_history(StackComparison& comparison, const std::vector<DumpResult>& results,
                   StackHistory& history, StackHistory::Clock::time_point now) {
  comparison.unchanged.assign(results.size(), std::nullopt);
  for (auto& bucket : comparison.buckets) {
    bucket.unchanged.reset();
    if (bucket.kind != BucketKind::Stack) continue;
    std::optional<std::chrono::seconds> least;
    bool all = true;
    for (const size_t index : bucket.members) {
      const DumpResult& result = results[index];
      const auto seconds = history.observe(result.pid, *result.dump, now, result.host);
      comparison.unchanged[index] = seconds;
      if (!seconds) {
        all = false;
      } else if (!least || *seconds < *least) {
        least = seconds;
      }
    }
    if (all) bucket.unchanged = least;
  }
}

std::vector<std::string> comparison_lines(const StackComparison& comparison,
                                          const std::vector<DumpResult>& results, size_t width) {
  std::vector<std::string> lines;
  std::string summary = "Stacks compared: " + plural(comparison.processes, "process", "processes");
  if (comparison.hosts > 0) summary += " on " + plural(comparison.hosts, "host", "hosts");
  summary += ", " + std::to_string(comparison.distinct) + " distinct";
  if (comparison.failed > 0) summary += ", " + std::to_string(comparison.failed) + " failed";
  if (comparison.unparsed > 0) {
    summary += ", " + std::to_string(comparison.unparsed) + " not parsed";
  }
  if (!comparison.missing_ranks.empty()) {
    summary += ", missing ranks " + compact_ranges(comparison.missing_ranks);
  }
  lines.push_back(fit_middle(std::move(summary), width));
  const std::vector<ShownThreads> shown = shown_threads(comparison, results);
  const DetailWriter writer{lines, results, width};
  for (size_t b = 0; b < comparison.buckets.size(); ++b) {
    lines.push_back(fitted_header(comparison, comparison.buckets[b], results, width));
    writer.bucket(comparison.buckets[b], shown[b]);
  }
  lines.emplace_back();
  return lines;
}

std::vector<std::string> compare_stack_lines(const std::vector<DumpResult>& results,
                                             StackHistory* history,
                                             StackHistory::Clock::time_point now, size_t width) {
  StackComparison comparison = compare_stacks(results);
  if (history != nullptr) apply_history(comparison, results, *history, now);
  return comparison_lines(comparison, results, width);
}

std::string host_member_names(const std::vector<const DumpResult*>& members, size_t max_names) {
  return host_names(members, {.names = max_names, .ranks = kListedNames});
}

std::string compact_ranges(std::vector<uint32_t> values, size_t max_pieces) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  std::vector<std::string> pieces;
  for (size_t i = 0; i < values.size();) {
    size_t j = i;
    while (j + 1 < values.size() && values[j + 1] == values[j] + 1) ++j;
    if (j - i >= 2) {
      pieces.push_back(std::to_string(values[i]) + "-" + std::to_string(values[j]));
    } else {
      for (size_t k = i; k <= j; ++k) pieces.push_back(std::to_string(values[k]));
    }
    i = j + 1;
  }
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += ",";
    if (i == max_pieces) {
      out += kEllipsis;
      break;
    }
    out += pieces[i];
  }
  return out;
}

}  // namespace stackpeek::stacks
