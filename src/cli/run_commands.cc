#include "cli/run_commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <ctime>

#include "cli/permission_notes.h"
#include "tasks/runner.h"

namespace stackpeek::cli {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_stop_count = 0;

extern "C" void remember_signal(int signal) {
  g_stop_signal = signal;
  g_stop_count = g_stop_count + 1;
}

constexpr std::array kStopSignals = {SIGINT, SIGTERM, SIGHUP};

int g_catch_depth = 0;
std::array<struct sigaction, kStopSignals.size()> g_previous{};

// A signal cuts the sleep short, so a stop is noticed at once.
void pause_briefly() {
  const timespec interval{0, 20'000'000};
  nanosleep(&interval, nullptr);
}

// Stands in for the records when the worker ended without sending them.
std::vector<RunRecord> lost_records(const std::vector<tasks::SpyCommand>& commands) {
  std::vector<RunRecord> records;
  for (const auto& command : commands) {
    RunRecord record;
    record.command_line = tasks::command_line(command);
    record.stderr_text = "the py-spy worker ended without reporting its results";
    record.status = RunStatus::SpawnFailed;
    records.push_back(std::move(record));
  }
  return records;
}

tasks::Finished take_records(tasks::Finished finished) { return finished; }

// The records once the run has finished; the shape of the app's drain_events, which keeps
// GCC 12 at -O3 from a false maybe-uninitialized report inside the event variant.
std::optional<tasks::Finished> finished_records(tasks::RunHandle& run) {
  while (true) {
    auto event = run.try_recv();
    if (!event) return std::nullopt;
    if (std::get_if<tasks::TopFrame>(&*event)) continue;
    return take_records(std::get<tasks::Finished>(std::move(*event)));
  }
}

}  // namespace

StopSignals::StopSignals() {
  if (g_catch_depth++ > 0) return;
  g_stop_signal = 0;
  g_stop_count = 0;
  struct sigaction action {};
  action.sa_handler = remember_signal;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < kStopSignals.size(); ++i) {
    sigaction(kStopSignals[i], &action, &g_previous[i]);
  }
}

StopSignals::~StopSignals() {
  if (--g_catch_depth > 0) return;
  for (size_t i = 0; i < kStopSignals.size(); ++i) {
    sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
}

std::optional<int> caught_stop_signal() {
  if (g_stop_signal == 0) return std::nullopt;
  return static_cast<int>(g_stop_signal);
}

RunOutcome run_commands(std::vector<tasks::SpyCommand> commands,
                        std::vector<tasks::SpyCommand> final_dumps) {
  RunOutcome outcome;
  if (commands.empty()) return outcome;
  const StopSignals signals;
  const auto planned = commands;
  tasks::RunHandle run = tasks::spawn_capture_worker(std::move(commands), std::move(final_dumps));
  bool hurried = false;
  while (true) {
    if (auto finished = finished_records(run)) {
      outcome.records = std::move(finished->records);
      outcome.final_dumps = std::move(finished->final_dumps);
      break;
    }
    if (run.closed()) {
      outcome.records = lost_records(planned);
      break;
    }
    if (g_stop_signal != 0 && !run.cancel_requested()) {
      outcome.stopped_by = static_cast<int>(g_stop_signal);
      run.cancel();
    }
    // A second stop signal: the user will not wait for the grace or the final dumps.
    if (g_stop_count > 1 && !hurried) {
      hurried = true;
      run.kill_and_wait(std::chrono::milliseconds(0));
    }
    pause_briefly();
  }
  explain_permission_failures(planned, outcome.records);
  return outcome;
}

bool all_succeeded(const std::vector<RunRecord>& records) {
  return std::ranges::all_of(records,
                             [](const RunRecord& r) { return r.status == RunStatus::Success; });
}

}  // namespace stackpeek::cli
