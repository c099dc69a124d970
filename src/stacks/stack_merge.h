#pragma once

// Merges processes' dumps, and the classes of earlier merges, into classes of equal stacks.
// Merging is associative: merging the classes of any split of the input gives the classes of
// merging it whole, so merges compose across a tree of launchers.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "stacks/stack_classes.h"

namespace stackpeek::stacks {

class StackMerger {
 public:
  /// One process's dump: its threads, its failure (py-spy's error) or its unparsed output.
  /// A process (host and pid) added again replaces the earlier one.
  void add_stack(ClassMember member, std::vector<ThreadStack> threads);
  void add_failed(ClassMember member, std::string error);
  void add_unparsed(ClassMember member, std::string output);
  /// The members of a class of an earlier merge, with its stack or failure.
  void add_class(StackClass merged);

  /// Everything `other` holds, as if its input had been added here after what this holds;
  /// `other` is left empty. Lets parts of one input be merged apart and then joined.
  void absorb(StackMerger&& other);

  /// Processes that replaced one added earlier.
  size_t replaced() const { return replaced_; }

  /// The classes, their members sorted, empty ones left out; counts and missing ranks.
  StackClasses finish();

 private:
  struct Entry {
    StackClass merged;
    std::vector<bool> dropped;  // per member: replaced by a later one
  };
  static Entry new_entry(BucketKind kind, std::string text = {});
  size_t stack_class(const std::vector<ThreadStack>& threads);
  size_t failure_class(const std::string& error);
  void join(size_t entry, ClassMember member);
  bool leads(size_t entry, const ClassMember& member) const;
  void promote(size_t entry, size_t at);

  std::vector<Entry> entries_;
  std::unordered_map<uint64_t, std::vector<size_t>> by_stack_;
  std::map<std::pair<std::string, std::string>, size_t> by_failure_;
  std::unordered_map<std::string, std::pair<size_t, size_t>> where_;  // "host\0pid"
  size_t replaced_ = 0;
};

/// True when both have the same threads, matched in order by name, with the same frames
/// compared on function and file.
bool same_threads(const std::vector<ThreadStack>& a, const std::vector<ThreadStack>& b);

/// Adds `line` to the ascending distinct `lines`.
void add_line(std::vector<uint32_t>& lines, uint32_t line);

/// Adds the lines `threads` show to `lines` (per thread and frame), sized to them first.
void add_lines(std::vector<std::vector<std::vector<uint32_t>>>& lines,
               const std::vector<ThreadStack>& threads);

}  // namespace stackpeek::stacks
