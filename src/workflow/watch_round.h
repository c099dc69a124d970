#pragma once

// One round of a watch, the same for the screen's watch and `watch`: the targets from a
// fresh snapshot and one dump per process; then, with the records, the processes that
// exited meanwhile dropped, the round observed, and an evidence folder written for every
// unit found stuck. A record of a stuck unit (`watch --record`) is a record run built
// from its evidence (see WatchRounds::evidence_record).

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "discovery/groups.h"
#include "discovery/run_target.h"
#include "tasks/py_spy.h"
#include "workflow/record.h"
#include "workflow/watch.h"

namespace stackpeek::workflow {

/// What every round of one watch shares.
struct WatchSettings {
  std::chrono::seconds stuck_after{};
  std::string host;                       // resolves the targets; names evidence dump lines
  std::string compare_host;               // names processes in comparisons (empty: by pid)
  std::filesystem::path evidence_parent;  // evidence folders are made inside
  std::filesystem::path program;          // py-spy
};

/// A round ready to start.
struct WatchRoundPlan {
  std::vector<discovery::ProcessGroup> groups;  // the round's snapshot
  discovery::RunTarget target;                  // grouped processes only
  std::vector<tasks::SpyCommand> commands;      // one dump per target process
};

/// A unit found stuck whose evidence folder was written.
struct StuckUnit {
  UnitEvidence evidence;
  std::filesystem::path folder;
};

/// What a finished round found.
struct WatchRoundResult {
  std::vector<WatchEvent> events;   // a stuck event names its evidence folder once written
  std::vector<StuckUnit> stuck;     // in the order of their events
  std::vector<std::string> errors;  // evidence that could not be written, a line each
};

class WatchRounds {
 public:
  explicit WatchRounds(WatchSettings settings);

  /// The round's target resolved in `groups`. After the first round a group key no longer
  /// present names a group that has ended and is left out (the first round still fails on
  /// an unknown key); a process outside any group has exited and is left out too.
  std::expected<WatchRoundPlan, std::string> plan_round(std::vector<discovery::ProcessGroup> groups,
                                                        const discovery::TargetRequest& request);

  /// Takes the round's records, one per command in order: a dump that failed because its
  /// process exited meanwhile is no failure of the job, and the process leaves the round
  /// (the next one reports it lost).
  WatchRoundResult finish_round(WatchRoundPlan& plan, std::vector<RunRecord> records);

  /// A record of a stuck unit's members into a report folder inside its evidence folder.
  RecordRequest evidence_record(const StuckUnit& unit, uint32_t seconds) const;

  const Watch& watch() const { return watch_; }

 private:
  void keep_evidence(WatchEvent& event, WatchRoundResult& result) const;

  WatchSettings settings_;
  Watch watch_;
  bool first_ = true;
};

}  // namespace stackpeek::workflow
