#pragma once

// Watching processes over many dump rounds: which stacks stopped changing, since when, and
// the events a watch reports (a group stuck or moving again, members lost, dumps failing).
// Runs no process: the caller dumps every round's target and hands over the records.
//
// A group of ranks (torch's or another launcher's) is watched as a whole; any other process on its
// own. A unit is stuck when every member's stack has been unchanged (see stacks::apply_history) for
// `stuck_after`; it stays in that episode until a member's stack changes, so evidence is kept once
// per episode.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "discovery/groups.h"
#include "discovery/run_target.h"
#include "stacks/stack_compare.h"

namespace stackpeek::workflow {

enum class WatchEventKind { Started, Stuck, Recovered, Lost, Failing, Ended };

/// "started", "stuck", "recovered", "lost", "failing" or "ended".
std::string_view watch_event_name(WatchEventKind kind);

using WallClock = std::chrono::system_clock;

/// One event of a round. `unit` names what it is about: a group of ranks' key, or
/// "pid-N" for a process watched on its own.
struct WatchEvent {
  WatchEventKind kind = WatchEventKind::Started;
  std::string unit;
  std::optional<std::string> group;  // the group key, when the processes are in a group
  std::string label;                 // "-u train.py [torch/ddp]"
  std::vector<discovery::TargetProcess> members;  // those the event is about
  std::optional<std::chrono::seconds> unchanged;  // stuck, recovered
  std::string detail;    // stuck: "rank 3 in load_batch (hang.py:5)"; failing: the error
  size_t remaining = 0;  // lost: members still there
  std::string evidence;  // stuck: the evidence folder, once written
  WallClock::time_point time;
};

/// What a stuck unit's evidence is made of.
struct UnitEvidence {
  std::string name;  // names the folder: the group's label, or "pid-N"
  std::string key;   // the group key, else the unit
  std::vector<discovery::TargetProcess> members;
  std::vector<RunRecord> records;           // the members' dumps of the round
  std::vector<stacks::DumpResult> results;  // the same, parsed
  std::vector<std::string> compare_lines;   // the comparison with "unchanged for"
  std::string history;                      // each member's distinct stacks, and when
};

class Watch {
 public:
  using Clock = stacks::StackHistory::Clock;

  /// `compare_host` names the host in comparisons (empty: processes named by pid alone).
  explicit Watch(std::chrono::seconds stuck_after, std::string compare_host = {});

  /// Takes one round: the snapshot's groups, the target resolved from them (without the
  /// processes that have exited) and one dump record per target process, in its order.
  /// Returns the round's events, those of one unit together.
  std::vector<WatchEvent> observe_round(const std::vector<discovery::ProcessGroup>& groups,
                                        const discovery::RunTarget& target,
                                        const std::vector<RunRecord>& records,
                                        Clock::time_point now, WallClock::time_point wall);

  /// The evidence of a unit seen in the last round; none for a unit not seen.
  std::optional<UnitEvidence> evidence(const std::string& unit) const;

  /// How long every stack of the unit has been unchanged, as of its last round.
  std::optional<std::chrono::seconds> unchanged(const std::string& unit) const;

  /// How long every stack of the last round has been unchanged (the least over its units);
  /// none when any unit's has not.
  std::optional<std::chrono::seconds> round_unchanged() const { return round_unchanged_; }

  /// Rounds observed so far.
  size_t rounds() const { return rounds_; }

 private:
  struct SeenStack {
    stacks::ProcessDump dump;
    WallClock::time_point first;
    WallClock::time_point last;
    size_t rounds = 0;
  };
  struct MemberState {
    bool failing = false;
    std::vector<SeenStack> stacks;  // distinct stacks, oldest first
    size_t dropped = 0;             // distinct stacks no longer kept
  };
  struct UnitState {
    std::string name;
    std::string label;
    std::optional<std::string> group;
    std::vector<discovery::TargetProcess> members;
    std::vector<RunRecord> records;
    std::vector<stacks::DumpResult> results;
    std::optional<stacks::StackComparison> comparison;
    std::optional<std::chrono::seconds> unchanged;
    bool stuck = false;
    bool seen = false;  // in the last round
  };

  void observe_unit(const std::string& key, UnitState& unit, Clock::time_point now,
                    WallClock::time_point wall, std::vector<WatchEvent>& events);
  void remember_stack(uint32_t pid, const stacks::DumpResult& result, WallClock::time_point wall);
  std::string history_text(const UnitState& unit) const;

  std::chrono::seconds stuck_after_;
  std::string compare_host_;
  stacks::StackHistory history_;
  std::map<uint32_t, MemberState> members_;
  std::map<std::string, UnitState> units_;
  size_t rounds_ = 0;
  std::optional<std::chrono::seconds> round_unchanged_;
};

/// How long every stack of the comparison has been unchanged (the least over its buckets,
/// see stacks::apply_history); none when any member is new, moved, failed or unparsed.
std::optional<std::chrono::seconds> comparison_unchanged(const stacks::StackComparison& comparison);

/// The unit a target process belongs to: its group's key when that holds ranks, else "pid-N".
std::string watch_unit_key(const discovery::TargetProcess& process,
                           const std::vector<discovery::ProcessGroup>& groups);

/// "ranks 0-3" when every member has a rank, else "pid 42" / "pids 42 43".
std::string watch_members_text(const std::vector<discovery::TargetProcess>& members);

}  // namespace stackpeek::workflow
