#include "report/process_facts.h"

#include <algorithm>
#include <cmath>

#include "common/defaults.h"
#include "common/util.h"
#include "report/failure_meaning.h"

namespace stackpeek::report {
namespace {

std::string outcome_of(const RunRecord& record) {
  switch (record.status) {
    case RunStatus::SpawnFailed:
      return "not started";
    case RunStatus::Failure:
      return record.signal ? "killed" : "failed";
    case RunStatus::Success:
      break;
  }
  return record.stdout_text.find("Stopped sampling because process exited") != std::string::npos
             ? "process exited"
             : "completed";
}

// Missing samples below this share are sampling jitter, not idle time.
constexpr double kIdleNoticePercent = 10.0;

uint64_t expected_samples(double seconds) {
  return static_cast<uint64_t>(std::llround(std::max(seconds, 0.0) * kDefaults.sample_rate));
}

}  // namespace

std::optional<double> idle_percent(const ProcessFacts& facts) {
  if (!facts.samples || !facts.samples_expected || *facts.samples_expected == 0) return {};
  if (*facts.samples >= *facts.samples_expected) return {};
  const double missing = static_cast<double>(*facts.samples_expected - *facts.samples);
  const double percent = 100.0 * missing / static_cast<double>(*facts.samples_expected);
  if (percent <= kIdleNoticePercent) return {};
  return percent;
}

std::optional<uint64_t> reported_samples(const std::string& stdout_text) {
  constexpr std::string_view kSamples = "Samples: ";
  const size_t at = stdout_text.rfind(kSamples);
  if (at == std::string::npos) return std::nullopt;
  const size_t start = at + kSamples.size();
  size_t end = start;
  while (end < stdout_text.size() && stdout_text[end] >= '0' && stdout_text[end] <= '9') ++end;
  return parse_unsigned(std::string_view(stdout_text).substr(start, end - start));
}

std::vector<ProcessFacts> process_facts(const RecordRun& run, const std::vector<RunRecord>& records,
                                        std::vector<ProcessProfile> profiles) {
  std::vector<ProcessFacts> out;
  const auto& processes = run.target.processes;
  out.reserve(processes.size());
  for (size_t i = 0; i < processes.size(); ++i) {
    ProcessFacts facts;
    facts.process = processes[i];
    facts.host = run.target.host;
    facts.canceled = run.canceled;
    facts.duration_requested_s = run.duration_requested_s;
    facts.duration_s = run.duration_s;
    const auto profile = std::ranges::find(profiles, processes[i].pid, &ProcessProfile::pid);
    if (profile != profiles.end()) facts.profile = std::move(*profile);
    facts.profile.pid = processes[i].pid;
    if (i < records.size() && records.size() == processes.size()) {
      const RunRecord& record = records[i];
      facts.outcome = outcome_of(record);
      facts.exit_code = record.exit_code;
      facts.signal = record.signal;
      facts.duration_s = record.seconds.value_or(run.duration_s);
      facts.samples = reported_samples(record.stdout_text);
      facts.meaning = failure_meaning(record, run.canceled);
      if (record.status != RunStatus::SpawnFailed)
        facts.samples_expected =  // py-spy's start and its writing of the graph sample nothing
            expected_samples(std::min(facts.duration_s, run.duration_requested_s));
    } else {
      facts.outcome = "no record";
    }
    if (!facts.samples && facts.profile.summary) facts.samples = facts.profile.summary->samples;
    out.push_back(std::move(facts));
  }
  return out;
}

}  // namespace stackpeek::report
