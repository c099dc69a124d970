#include "app/keys.h"

#include <algorithm>
#include <limits>

#include "app/runs.h"
#include "discovery/groups.h"

namespace stackpeek::app {
namespace {

constexpr int kPageStep = 5;

using Code = KeyEvent::Code;

bool is_char(KeyEvent key, char32_t c) { return key.code == Code::Char && key.ch == c; }

// Clamps the selection to the rows of the current groups (0 when there are none).
void clamp_selection(App& app) {
  const size_t rows = discovery::list_rows(app.groups).size();
  app.selected = rows == 0 ? 0 : std::min(app.selected, rows - 1);
}

void move_down(App& app) {
  const size_t rows = discovery::list_rows(app.groups).size();
  app.selected = rows == 0 ? 0 : std::min(app.selected + 1, rows - 1);
}

void scroll_output(App& app, int delta) {
  const int next = std::clamp(static_cast<int>(app.output_scroll) + delta, 0,
                              static_cast<int>(std::numeric_limits<uint16_t>::max()));
  app.output_scroll = static_cast<uint16_t>(next);
}

KeyOutcome browse_key(App& app, KeyEvent key) {
  if (key.code == Code::Enter) {
    request_run(app, SpyMode::Record);
  } else if (is_char(key, 'd')) {
    request_run(app, SpyMode::Dump);
  } else if (is_char(key, 't')) {
    request_run(app, SpyMode::Top);
  } else if (is_char(key, 'r')) {
    refresh(app);
  } else if (is_char(key, ' ')) {
    toggle_group(app);
  } else if (key.code == Code::Down || is_char(key, 'j')) {
    move_down(app);
  } else if (key.code == Code::Up || is_char(key, 'k')) {
    if (app.selected > 0) --app.selected;
  } else if (key.code == Code::PageUp) {
    scroll_output(app, -kPageStep);
  } else if (key.code == Code::PageDown) {
    scroll_output(app, kPageStep);
  } else if (is_char(key, 'q')) {
    return KeyOutcome::quit();
  }
  return KeyOutcome::next();
}

KeyOutcome permission_key(App& app, KeyEvent key) {
  if (key.code == Code::Enter) {
    return {KeyOutcome::Kind::SudoRequest, app.mode.pending_selection, app.mode.pending_mode};
  }
  if (key.code == Code::Esc || is_char(key, 'c')) {
    app.mode = AppMode::browse();
    app.status = "Canceled sudo prompt";
  } else if (is_char(key, 'q')) {
    return KeyOutcome::quit();
  }
  return KeyOutcome::next();
}

KeyOutcome running_key(App& app, KeyEvent key) {
  if (key.code == Code::Esc || is_char(key, 'c')) {
    // Releasing the handle sends a live top run its cancel signal; dump and record
    // commands run on in the background and their results are dropped.
    app.active_run.reset();
    app.mode = AppMode::browse();
    app.status = "Canceled running py-spy command";
  } else if (is_char(key, 'q')) {
    return KeyOutcome::quit();
  }
  return KeyOutcome::next();
}

// The selected row as a request target, or nothing when the row is stale.
std::optional<Selection> selected_target(const App& app) {
  const auto rows = discovery::list_rows(app.groups);
  if (app.selected >= rows.size()) return std::nullopt;
  const auto& row = rows[app.selected];
  if (row.group_index >= app.groups.size()) return std::nullopt;
  const auto& group = app.groups[row.group_index];
  if (row.kind == discovery::ListRow::Kind::Group) return Selection::group(group.key);
  if (row.member_index >= group.members.size()) return std::nullopt;
  return Selection::process(group.members[row.member_index].pid);
}

}  // namespace

KeyOutcome handle_key(App& app, KeyEvent key) {
  switch (app.mode.kind) {
    case AppMode::Kind::Browse:
      return browse_key(app, key);
    case AppMode::Kind::Permission:
      return permission_key(app, key);
    case AppMode::Kind::Running:
      return running_key(app, key);
  }
  return KeyOutcome::next();
}

void request_run(App& app, SpyMode mode) {
  const auto target = selected_target(app);
  if (!target) {
    app.status = "No process selected";
    return;
  }
  if (mode == SpyMode::Top && target->kind == Selection::Kind::Group) {
    app.status = "Live top needs a single process; expand the group and select a PID";
    app.output_lines = {
        "Live py-spy top is available for one selected process.",
        "For multiprocessing and torchrun/DDP sibling ranks, use Enter to record the group."};
    app.output_scroll = 0;
    return;
  }
  auto message = app.services.permission_check();
  if (!message) {
    start_run(app, mode, *target, false);
    return;
  }
  app.permission_message = std::move(*message);
  app.mode = AppMode::permission(*target, mode);
}

void resume_after_sudo(App& app, SpyMode mode, const Selection& selection,
                       const RunRecord& validation) {
  if (validation.status != RunStatus::Success) {
    app.mode = AppMode::browse();
    app.output_lines = record_lines({validation});
    app.status = "sudo authentication canceled or failed";
    return;
  }
  // A refused start only sets the status; the prompt stays open so Enter retries.
  start_run(app, mode, selection, true);
}

void toggle_group(App& app) {
  const auto rows = discovery::list_rows(app.groups);
  if (app.selected >= rows.size()) return;
  const auto& row = rows[app.selected];
  if (row.kind != discovery::ListRow::Kind::Group || row.group_index >= app.groups.size()) return;
  auto& group = app.groups[row.group_index];
  group.expanded = !group.expanded;
  clamp_selection(app);
}

void refresh(App& app) {
  auto snapshot = app.services.scan();
  if (!snapshot) {
    app.status = "Process refresh failed: " + snapshot.error().message();
    return;
  }
  app.groups = discovery::build_groups(*snapshot);
  clamp_selection(app);
  app.status = "Found " + std::to_string(app.groups.size()) + " groups";
}

}  // namespace stackpeek::app
