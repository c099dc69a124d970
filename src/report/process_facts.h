#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "report/process_profile.h"
#include "report/record_run.h"

namespace stackpeek::report {

/// One recorded process as the report describes it: who it is, how its command ended and
/// what its flame graph holds.
struct ProcessFacts {
  discovery::TargetProcess process;
  std::string host;
  /// "completed", "process exited" (before the time was up), "failed", "killed" (by a
  /// signal), "not started", or "no record" (the run ended without the command's record).
  std::string outcome;
  std::optional<int> exit_code;
  std::optional<int> signal;
  bool canceled = false;
  double duration_requested_s = 0;
  double duration_s = 0;            // how long its command ran, else the whole run
  std::optional<uint64_t> samples;  // py-spy's "Samples: N", else the graph's total
  /// The samples its time would give at py-spy's rate; none when its command did not run.
  std::optional<uint64_t> samples_expected;
  std::optional<std::string> meaning;  // a failure in plain words
  ProcessProfile profile;
};

/// The facts of every process of the run, in command order; records[i] belongs to the
/// i-th process, profiles likewise (by pid when the sizes differ).
std::vector<ProcessFacts> process_facts(const RecordRun& run, const std::vector<RunRecord>& records,
                                        std::vector<ProcessProfile> profiles);

/// The share of its time, in percent, a process spent idle: py-spy record leaves idle
/// samples out, so they are the ones missing from those expected. None when nothing is
/// known or at most 10 % are missing.
std::optional<double> idle_percent(const ProcessFacts& facts);

/// The number in py-spy record's "Samples: N"; none when the output has none.
std::optional<uint64_t> reported_samples(const std::string& stdout_text);

}  // namespace stackpeek::report
