#include "app/app.h"

#include <algorithm>

#include "app/actions.h"
#include "discovery/scan.h"
#include "tasks/permission.h"

namespace stackpeek::app {

std::string_view mode_label(const AppMode& mode) {
  switch (mode.kind) {
    case AppMode::Kind::Browse:
      return "browse";
    case AppMode::Kind::Permission:
      return "permission";
    case AppMode::Kind::Running:
      return "running";
  }
  return "browse";
}

Services Services::system() {
  Services services;
  services.scan = [] { return discovery::scan_processes(); };
  services.permission_check = [](const std::vector<uint32_t>& target_pids) {
    return tasks::ptrace_permission_message(target_pids);
  };
  services.find_py_spy = [] { return tasks::find_py_spy(); };
  services.sudo_validate = [] { return tasks::sudo_validate(); };
  return services;
}

void update_rows(App& app) {
  app.rows = list_rows(app.groups, app.collapsed, app.filter, app.unchanged_groups);
  app.selected = app.rows.empty() ? 0 : std::min(app.selected, app.rows.size() - 1);
}

void update_rows_keeping(App& app, const std::optional<Selection>& before) {
  update_rows(app);
  if (!before) return;
  if (auto row = find_row(app.groups, app.rows, *before)) app.selected = *row;
}

std::optional<RowTarget> selected_row(const App& app) {
  return resolve_row(app.groups, app.rows, app.selected);
}

App make_app(Services services) {
  App app;
  app.services = std::move(services);
  // A missing py-spy is reported, and looked for again, when a run is requested.
  if (auto found = app.services.find_py_spy()) app.py_spy = *found;
  refresh(app);
  return app;
}

}  // namespace stackpeek::app
