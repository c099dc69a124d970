#pragma once

// Watching one group from the screen: the rounds of `stackpeek watch` with its defaults,
// run in the background next to any other run, the group's tag updated each round and
// evidence folders kept for the list printed at exit.

#include <chrono>
#include <optional>
#include <string>

#include "app/watch.h"
#include "common/defaults.h"
#include "tasks/runner.h"

namespace stackpeek::app {

struct App;

/// Seconds from one screen watch round to the next.
inline constexpr std::chrono::seconds kScreenWatchEvery{kDefaults.watch_every_s};
/// Seconds unchanged that make a watched group stuck.
inline constexpr std::chrono::seconds kScreenWatchStuckAfter{kDefaults.stuck_after_s};

struct ScreenWatch {
  explicit ScreenWatch(std::string group_key)
      : key(std::move(group_key)), watch(kScreenWatchStuckAfter) {}
  std::string key;  // the watched group
  Watch watch;
  std::optional<tasks::RunHandle> round;  // the dumps of the round in flight
  discovery::RunTarget target;            // what they dump
  std::vector<discovery::ProcessGroup> groups;
  std::chrono::steady_clock::time_point next_round{};
};

/// Starts watching the selected row's group, or stops the watch when one runs.
void toggle_watch(App& app);

/// Takes a finished round (events to the status line, evidence written in the current
/// folder) and starts the next one when due. True when anything the screen shows changed.
bool step_watch(App& app);

/// Stops the round in flight, waiting for its py-spy commands at most `wait`.
void stop_watch(App& app, std::chrono::milliseconds wait);

}  // namespace stackpeek::app
