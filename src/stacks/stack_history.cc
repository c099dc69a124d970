#include "stacks/stack_history.h"

namespace stackpeek::stacks {
namespace {

bool exact_same_threads(const std::vector<ThreadStack>& a, const std::vector<ThreadStack>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].frames != b[i].frames) return false;
  }
  return true;
}

}  // namespace

bool exact_same_stack(const ProcessDump& a, const ProcessDump& b) {
  return exact_same_threads(a.threads, b.threads);
}

std::optional<std::chrono::seconds> StackHistory::observe(uint32_t pid, const ProcessDump& dump,
                                                          Clock::time_point now,
                                                          std::string_view host) {
  auto [it, inserted] = entries_.try_emplace(std::pair<std::string, uint32_t>(host, pid));
  Entry& entry = it->second;
  if (inserted || !exact_same_threads(entry.threads, dump.threads)) {
    entry = Entry{dump.threads, now};
    return std::nullopt;
  }
  if (now <= entry.first_seen) return std::chrono::seconds(0);
  return std::chrono::floor<std::chrono::seconds>(now - entry.first_seen);
}

void StackHistory::forget(uint32_t pid, std::string_view host) {
  entries_.erase(std::pair<std::string, uint32_t>(host, pid));
}

}  // namespace stackpeek::stacks
