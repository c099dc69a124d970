// Merging is associative: the processes read from arbitrary bytes, merged whole, give the same
// classes as any split of them into groups, each merged on its own and merged again (what a
// tree of `compare --json` does across racks of nodes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "stacks/comparison_text.h"
#include "stacks/stack_merge.h"

using namespace stackpeek::stacks;

namespace {

constexpr size_t kBytesPerProcess = 6;
constexpr uint8_t kGroups = 4;

// One process from six bytes: host and pid, rank and job, what it shows, its line, unchanged
// time, and the group it goes to.
struct Process {
  ClassMember member;
  uint8_t shows = 0;
  uint32_t line = 0;
  uint8_t group = 0;
};

Process process_of(const uint8_t* b) {
  Process p;
  p.member.host = "n" + std::to_string(b[0] % 5);
  p.member.pid = b[0] / 5 % 7;
  if (b[1] % 4 != 0) {
    p.member.rank = b[1] / 4 % 12;
    p.member.world_size = b[1] % 4 == 3 ? 10 : 12;
    p.member.job = b[1] % 2 ? "torch:a" : "torch:b";
  }
  p.shows = b[2] % 6;
  p.line = b[3] % 5;
  if (b[4] % 3 != 0) p.member.unchanged = std::chrono::seconds(b[4] % 17);
  p.group = b[5] % kGroups;
  return p;
}

void add(StackMerger& merger, const Process& p) {
  if (p.shows == 4) {
    merger.add_failed(p.member, p.line % 2 ? "Error: x\n\nCaused by:\n    EPERM\n" : "Error: x\n");
    return;
  }
  if (p.shows == 5) {
    merger.add_unparsed(p.member, "garbage " + std::to_string(p.line));
    return;
  }
  std::vector<StackFrame> frames;
  for (uint8_t f = 0; f <= p.shows; ++f) {
    frames.push_back(
        {"f" + std::to_string(f), "m.py", f == 0 ? std::optional(p.line) : std::nullopt});
  }
  merger.add_stack(p.member, {ThreadStack{std::to_string(p.member.pid), "MainThread",
                                          ThreadState::Idle, std::move(frames)}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each process once: a process given again replaces the earlier one in input order,
  // which a split into groups does not keep.
  std::vector<Process> processes;
  std::set<std::pair<std::string, uint32_t>> seen;
  for (size_t i = 0; i + kBytesPerProcess <= size; i += kBytesPerProcess) {
    Process p = process_of(data + i);
    if (seen.insert({p.member.host, p.member.pid}).second) processes.push_back(std::move(p));
  }
  StackMerger flat;
  std::vector<StackMerger> groups(kGroups);
  for (const auto& p : processes) {
    add(flat, p);
    add(groups[p.group], p);
  }
  StackMerger merged;
  for (auto& group : groups) {
    for (auto& one : group.finish().classes) merged.add_class(std::move(one));
  }
  const StackClasses whole = flat.finish();
  const StackClasses again = merged.finish();
  if (!(whole == again)) std::abort();
  if (class_lines(whole).empty()) std::abort();
  return 0;
}
