#include "stacks/name.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace stackpeek::stacks {
namespace {

// Every name ever interned; nodes never move, so the texts' addresses stay valid.
struct Table {
  std::mutex mutex;
  std::unordered_set<std::string> texts;
};

Table& table() {
  static auto* const kTable = new Table;  // never destroyed: names outlive static destructors
  return *kTable;
}

const std::string* intern_slow(std::string_view text) {
  Table& t = table();
  const std::lock_guard lock(t.mutex);
  return &*t.texts.emplace(text).first;
}

// A cheap hash of the length and the first and last eight bytes, enough to spread the names
// of one program over a small cache.
size_t quick_hash(std::string_view text) {
  uint64_t head = 0, tail = 0;
  if (!text.empty()) memcpy(&head, text.data(), std::min<size_t>(8, text.size()));
  if (text.size() > 8) memcpy(&tail, text.data() + text.size() - 8, 8);
  uint64_t h = (head * 0x9e3779b97f4a7c15ULL) ^ (tail * 0xc2b2ae3d27d4eb4fULL) ^ text.size();
  return static_cast<size_t>(h ^ (h >> 29));
}

// Each thread's direct-mapped cache in front of the table: a hit takes no lock. Allocated
// on a thread's first name, so that threads which never read stacks start without it.
constexpr size_t kCacheSize = 4096;
using Cache = std::array<const std::string*, kCacheSize>;
thread_local std::unique_ptr<Cache> t_cache;

Cache& cache() {
  if (!t_cache) t_cache = std::make_unique<Cache>();
  return *t_cache;
}

}  // namespace

Name::Name() : Name(std::string_view()) {}

Name::Name(std::string_view text) {
  const std::string*& slot = cache()[quick_hash(text) & (kCacheSize - 1)];
  if (slot == nullptr || std::string_view(*slot) != text) slot = intern_slow(text);
  text_ = slot;
}

}  // namespace stackpeek::stacks
