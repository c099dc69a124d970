#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/list_model.h"
#include "app/screen_watch.h"
#include "common/error.h"
#include "common/run_record.h"
#include "discovery/groups.h"
#include "report/report_dir.h"
#include "stacks/stack_history.h"
#include "tasks/py_spy.h"
#include "tasks/runner.h"
#include "workflow/record.h"

namespace stackpeek::app {

using tasks::SpyMode;

/// The interaction mode; Permission carries the pending request.
struct AppMode {
  enum class Kind { Browse, Permission, Running };
  Kind kind = Kind::Browse;
  Selection pending_selection;
  SpyMode pending_mode = SpyMode::Dump;

  static AppMode browse() { return {}; }
  static AppMode running() { return {Kind::Running, {}, SpyMode::Dump}; }
  static AppMode permission(Selection selection, SpyMode mode) {
    return {Kind::Permission, std::move(selection), mode};
  }
  bool is(Kind k) const { return kind == k; }
};

/// "browse", "permission" or "running".
std::string_view mode_label(const AppMode& mode);

/// What the application asks of the machine; replaced by fakes in tests.
struct Services {
  std::function<Result<std::vector<discovery::ProcessInfo>>()> scan;
  /// Nothing when py-spy may read every target pid without sudo, else the prompt's text.
  std::function<std::optional<std::string>(const std::vector<uint32_t>& target_pids)>
      permission_check;
  std::function<Result<std::filesystem::path>()> find_py_spy;
  std::function<RunRecord()> sudo_validate;

  /// The real machine: scan_processes, ptrace_permission_message, find_py_spy, sudo -v.
  static Services system();
};

/// The output pane's text area at the current screen size.
struct OutputView {
  int width = 0;
  int height = 0;
  int scroll_limit = 0;  // the furthest the pane scrolls: until its last line shows
};

/// The whole application state, owned by the main loop.
struct App {
  std::optional<tasks::RunHandle> active_run;
  std::optional<workflow::RecordPlan> active_record;  // the folder of the active record run
  std::vector<std::string> top_frame;                 // the latest frame of the active live top run
  /// What the active run targets, as resolved when it started; its records come back in
  /// this order, whatever the groups look like by then.
  discovery::RunTarget active_target;
  SpyMode active_mode = SpyMode::Dump;
  stacks::StackHistory stack_history;   // the stacks dumped during this session
  UnchangedGroups unchanged_groups;     // per group dumped whole, as of its last dump
  std::optional<ScreenWatch> watching;  // the group watched in the background
  std::vector<discovery::ProcessGroup> groups;
  CollapsedGroups collapsed;
  std::vector<ListRow> rows;  // list_rows(groups, collapsed), rebuilt by update_rows
  std::vector<std::string> output_lines;
  std::string status = "Ready";
  std::string permission_message;
  std::vector<std::string> reports;
  std::optional<std::filesystem::path> py_spy;
  AppMode mode;
  size_t selected = 0;
  uint64_t tick = 0;  // spinner steps: one per pass, one per second during a record run
  std::chrono::steady_clock::time_point run_started;
  uint32_t run_seconds = 0;  // whole seconds since run_started, kept by the main loop
  uint16_t output_scroll = 0;
  tasks::WindowSize top_pane;   // the output pane's inner size while a live top streams
  bool output_zoomed = false;   // the output pane fills the screen above the footer
  OutputView output_view;       // as the screen was when the last key arrived
  std::string filter;           // the list shows only the groups it matches
  bool filter_editing = false;  // keys type into the filter prompt
  std::string filter_before;    // the filter in force when the prompt opened
  Services services;
};

/// Looks for py-spy once, then takes the first snapshot through refresh().
App make_app(Services services = Services::system());

/// Rebuilds the rows after the groups, their collapsed flags or the filter changed and keeps
/// the selection on a row (0 when there are none).
void update_rows(App& app);

/// update_rows, with the selection put back on `before` when it still has a row.
void update_rows_keeping(App& app, const std::optional<Selection>& before);

/// The group and member of the selected row; nothing when the selection is past the rows
/// or its row no longer matches the groups.
std::optional<RowTarget> selected_row(const App& app);

}  // namespace stackpeek::app
