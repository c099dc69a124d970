#include "app/actions.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "app/runs.h"
#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::app {

namespace {

std::optional<Selection> current_selection(const App& app) {
  if (const auto target = selected_row(app)) return target->selection();
  return std::nullopt;
}

// "Found N groups", and how many of them the filter shows.
std::string found_status(const App& app) {
  std::string text = "Found " + plural(app.groups.size(), "group", "groups");
  if (app.filter.empty()) return text;
  const auto shown = std::ranges::count(app.rows, ListRow::Kind::Group, &ListRow::kind);
  return text + ", " + std::to_string(shown) + " shown";
}

void set_filter(App& app, std::string filter) {
  const auto before = current_selection(app);
  app.filter = std::move(filter);
  update_rows_keeping(app, before);
  app.status = found_status(app);
}

void close_filter_prompt(App& app, bool keep) {
  app.filter_editing = false;
  if (!keep) set_filter(app, std::exchange(app.filter_before, {}));
  app.filter_before.clear();
}

}  // namespace

void request_run(App& app, SpyMode mode) {
  const auto target = selected_row(app);
  if (!target) {
    app.status = "No process selected";
    return;
  }
  if (mode == SpyMode::Top && !target->member) {
    app.status = "Live top needs a single process; expand the group and select a PID";
    app.output_lines = {
        "Live py-spy top is available for one selected process.",
        "For multiprocessing and torchrun/DDP sibling ranks, use Enter to record the group."};
    app.output_scroll = 0;
    return;
  }
  auto message =
      app.services.permission_check(selection_target(app.groups, target->selection()).pids());
  if (!message) {
    start_run(app, mode, target->selection(), false);
    return;
  }
  app.permission_message = std::move(*message);
  app.mode = AppMode::permission(target->selection(), mode);
}

void run_without_sudo(App& app) {
  // start_run replaces the mode that holds the request.
  const Selection selection = app.mode.pending_selection;
  start_run(app, app.mode.pending_mode, selection, false);
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
  const auto target = selected_row(app);
  if (!target || target->member) return;
  const std::string& key = target->group->key;
  if (!app.collapsed.erase(key)) app.collapsed.insert(key);
  update_rows(app);
}

void refresh(App& app) {
  auto snapshot = app.services.scan();
  if (!snapshot) {
    app.status = "Process refresh failed: " + snapshot.error().message();
    return;
  }
  const auto before = current_selection(app);
  app.groups = discovery::build_groups(*snapshot);
  std::erase_if(app.collapsed, [&](const std::string& key) {
    return std::ranges::find(app.groups, key, &discovery::ProcessGroup::key) == app.groups.end();
  });
  update_rows_keeping(app, before);
  app.status = found_status(app);
}

void move_selection(App& app, int delta) {
  if (delta < 0) {
    const auto step = static_cast<size_t>(-delta);
    app.selected = app.selected > step ? app.selected - step : 0;
    return;
  }
  const size_t rows = app.rows.size();
  app.selected = rows == 0 ? 0 : std::min(app.selected + static_cast<size_t>(delta), rows - 1);
}

void select_first(App& app) { app.selected = 0; }

void select_last(App& app) { app.selected = app.rows.empty() ? 0 : app.rows.size() - 1; }

void start_filter(App& app) {
  app.filter_editing = true;
  app.filter_before = app.filter;
}

void clear_filter(App& app) {
  app.filter_editing = false;
  set_filter(app, {});
}

void edit_filter(App& app, KeyEvent key) {
  using Code = KeyEvent::Code;
  switch (key.code) {
    case Code::Enter:
      close_filter_prompt(app, true);
      return;
    case Code::Esc:
      close_filter_prompt(app, false);
      return;
    case Code::Ctrl:
      if (key.ch == U'c') close_filter_prompt(app, false);
      return;
    case Code::Backspace: {
      std::string filter = app.filter;
      while (!filter.empty() && (static_cast<unsigned char>(filter.back()) & 0xC0) == 0x80)
        filter.pop_back();
      if (!filter.empty()) filter.pop_back();
      set_filter(app, std::move(filter));
      return;
    }
    case Code::Char:
      if (utf8::is_control(key.ch)) return;
      {
        std::string filter = app.filter;
        utf8::append(filter, key.ch);
        set_filter(app, std::move(filter));
      }
      return;
    default:
      return;
  }
}

void toggle_zoom(App& app) { app.output_zoomed = !app.output_zoomed; }

void scroll_output(App& app, int delta) {
  const int next = std::clamp(static_cast<int>(app.output_scroll) + delta, 0,
                              static_cast<int>(std::numeric_limits<uint16_t>::max()));
  app.output_scroll = static_cast<uint16_t>(next);
}

void page_output(App& app, int direction) {
  scroll_output(app, direction * std::max(app.output_view.height - 1, 1));
}

void scroll_output_to_first(App& app) { app.output_scroll = 0; }

void scroll_output_to_last(App& app) {
  app.output_scroll = static_cast<uint16_t>(std::clamp(
      app.output_view.scroll_limit, 0, static_cast<int>(std::numeric_limits<uint16_t>::max())));
}

void cancel_prompt(App& app) {
  app.mode = AppMode::browse();
  app.status = "Canceled sudo prompt";
}

void cancel_run(App& app) {
  if (app.active_run) {
    app.active_run->cancel();
  } else {
    app.mode = AppMode::browse();
  }
  app.status = kCanceledStatus;
}

}  // namespace stackpeek::app
