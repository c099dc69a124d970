#include "stacks/stack_history.h"

namespace stackpeek::stacks {

std::optional<std::chrono::seconds> StackHistory::observe(uint32_t pid, StackSignature signature,
                                                          Clock::time_point now,
                                                          std::string_view host) {
  auto [it, inserted] =
      entries_.try_emplace(std::pair<std::string, uint32_t>(host, pid), Entry{signature, now});
  if (inserted) return std::nullopt;
  Entry& entry = it->second;
  if (entry.signature != signature) {
    entry = Entry{signature, now};
    return std::nullopt;
  }
  if (now <= entry.first_seen) return std::chrono::seconds(0);
  return std::chrono::floor<std::chrono::seconds>(now - entry.first_seen);
}

void StackHistory::forget(uint32_t pid, std::string_view host) {
  entries_.erase(std::pair<std::string, uint32_t>(host, pid));
}

}  // namespace stackpeek::stacks
