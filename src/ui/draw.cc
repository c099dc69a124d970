#include "ui/draw.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/key_table.h"
#include "common/utf8.h"
#include "discovery/groups.h"
#include "discovery/runtime.h"
#include "ui/grapheme.h"
#include "ui/layout.h"

namespace stackpeek::ui {
namespace {

using app::ListRow;
using discovery::truncate_middle;

constexpr Style kSelectedRow{Color::Black, Color::Cyan, true};
constexpr Style kDetailLabel{Color::Yellow, Color::Default, true};
constexpr Style kPopup{Color::Default, Color::Black, false};
constexpr size_t kLabelWidth = 11;
constexpr size_t kShortLimit = 80, kCommandLimit = 160;

constexpr int kListMinRows = 8, kOutputRows = 9, kOutputMinRows = 3;
constexpr int kMinWidth = 40, kMinHeight = 12;

struct Panes {
  Rect list, details, output, footer;
};

bool live_top(const app::App& app) { return app.active_run && app.active_run->live_top(); }

// Rows of the output pane: all it can get while zoomed or while a live top streams, else
// its usual 9 rows, shrinking first (down to 3) when the list would lose its 8.
int output_rows(const app::App& app, bool streaming, int height) {
  const int spare = height - 1 - kListMinRows;
  if (app.output_zoomed) return height - 1;
  if (streaming) return std::max(spare, kOutputMinRows);
  return std::clamp(spare, kOutputMinRows, kOutputRows);
}

Panes layout(Rect area, const app::App& app, bool streaming) {
  const auto rows =
      split(area, Direction::Vertical,
            {Constraint::min(0), Constraint::length(output_rows(app, streaming, area.height)),
             Constraint::length(1)});
  const auto main = split(rows[0], Direction::Horizontal,
                          {Constraint::percentage(56), Constraint::percentage(44)});
  return {main[0], main[1], rows[1], rows[2]};
}

Panes layout(Rect area, const app::App& app) { return layout(area, app, live_top(app)); }

void draw_process_list(Buffer& buffer, Rect area, const std::vector<ListRow>& rows, size_t selected,
                       std::string_view filter) {
  const std::string title =
      filter.empty() ? "Python Processes" : fmt::format("Python Processes (filter: {})", filter);
  const Rect inner = render_block(buffer, area, title);
  std::vector<std::string_view> items;
  items.reserve(rows.size());
  for (const ListRow& row : rows) items.push_back(row.text);
  ListState state;
  if (!rows.empty()) state.selected = std::min(selected, rows.size() - 1);
  render_list(buffer, inner, items, state, "> ", kSelectedRow);
}

Text process_details(const discovery::ProcessInfo& p) {
  using discovery::format_path_or_reason;
  Text lines = {
      detail_line("Pid", std::to_string(p.pid)),
      detail_line("Name", p.name),
      detail_line("Runtime", truncate_middle(discovery::format_runtime(p.runtime), kShortLimit)),
      detail_line("Executable", truncate_middle(format_path_or_reason(p.exe), kShortLimit)),
      detail_line("Cwd", truncate_middle(format_path_or_reason(p.cwd), kShortLimit)),
      detail_line("Cpu", fmt::format("{:.1f}%", p.cpu)),
      detail_line("Memory", std::to_string(p.memory / (1024 * 1024)) + " MiB"),
  };
  if (p.torch.has_rank_info()) lines.push_back(detail_line("Torch", p.torch.rank_text()));
  lines.emplace_back("");
  lines.emplace_back("t runs live py-spy top for this PID.");
  lines.emplace_back(truncate_middle(
      p.cmd.empty() ? p.name : fmt::format("{}", fmt::join(p.cmd, " ")), kCommandLimit));
  return lines;
}

Text group_details(const discovery::ProcessGroup& g) {
  return {
      detail_line("Group", g.label),
      detail_line("Kind", discovery::group_kind_label(g.kind)),
      detail_line("Processes", std::to_string(g.members.size())),
      detail_line("Runtime", truncate_middle(g.runtime_text, kShortLimit)),
      detail_line("Cwd", truncate_middle(g.cwd_text, kShortLimit)),
      Line(""),
      Line("Enter records each process in the group for 30 seconds."),
      Line("d runs py-spy dump for each process in the group."),
      Line("t requires selecting a single process inside the group."),
  };
}

// What the Details pane says about the selected row.
Text details_text(const app::App& app) {
  if (app.selected >= app.rows.size()) return {Line("No Python processes found.")};
  const auto target = app::selected_row(app);
  if (!target) {
    const bool group_row = app.rows[app.selected].kind == ListRow::Kind::Group;
    return {Line(group_row ? "Selected group disappeared." : "Selected process disappeared.")};
  }
  return target->member ? process_details(*target->member) : group_details(*target->group);
}

void draw_details(Buffer& buffer, Rect area, const Text& text) {
  render_paragraph(buffer, render_block(buffer, area, "Details"), text, 0);
}

void draw_output(Buffer& buffer, Rect area, const app::App& app) {
  const Rect inner = render_block(buffer, area, "py-spy Output");
  if (app.output_lines.empty()) {
    render_paragraph(buffer, inner, Text{Line("Output appears here after a dump or profile run.")},
                     app.output_scroll);
    return;
  }
  render_paragraph(buffer, inner, app.output_lines, app.output_scroll);
}

void draw_footer(Buffer& buffer, Rect area, const app::App& app) {
  render_text(buffer, area, text_from(footer_text(app, area.width)));
}

void draw_too_small(Buffer& buffer, Rect area) {
  const std::string message = fmt::format("Terminal too small: {}×{} (need {}×{})", area.width,
                                          area.height, kMinWidth, kMinHeight);
  const int width = display_width(message);
  const Rect line{area.x + std::max((area.width - width) / 2, 0), area.y + area.height / 2,
                  std::min(width, area.width), 1};
  render_text(buffer, line, text_from(message));
}

void draw_permission_popup(Buffer& buffer, Rect area, std::string_view message) {
  const Rect band = split(
      area, Direction::Vertical,
      {Constraint::percentage(15), Constraint::percentage(70), Constraint::percentage(15)})[1];
  const Rect popup = split(
      band, Direction::Horizontal,
      {Constraint::percentage(13), Constraint::percentage(74), Constraint::percentage(13)})[1];
  render_clear(buffer, popup);
  const Rect inner = render_block(buffer, popup, "Permission Needed", kPopup);
  render_paragraph(buffer, inner, text_from(message), 0);
}

}  // namespace

Line detail_line(std::string_view label, std::string_view value) {
  std::string padded(label);
  const size_t chars = utf8::char_count(label);
  if (chars < kLabelWidth) padded.append(kLabelWidth - chars, ' ');
  return Line(std::vector<Span>{{std::move(padded), kDetailLabel}, {std::string(value), {}}});
}

std::string footer_text(const app::App& app, int width) {
  static constexpr std::string_view kSpinner = "|/-\\";
  const std::string mode = fmt::format("mode: {} | ", app::mode_label(app.mode));
  std::string status;
  if (app.mode.is(app::AppMode::Kind::Running)) {
    status += kSpinner[app.tick % kSpinner.size()];
    status += ' ';
  }
  status += app.status;
  if (app.filter_editing)
    return fmt::format("{}Filter: {}_ | Enter keep | Esc clear | {}", mode, app.filter, status);
  // The hints give way to the status: first to their short form, then altogether.
  for (const app::HintForm form : {app::HintForm::Full, app::HintForm::Keys}) {
    std::string text = fmt::format("{}{} | {}", mode, app::key_hints(app.mode.kind, form), status);
    if (display_width(text) <= width) return text;
  }
  return mode + status;
}

int output_scroll_limit(Rect area, const app::App& app) {
  const Rect inner = layout(area, app).output.inner();
  if (inner.empty()) return 0;
  return std::max(wrapped_line_count(app.output_lines, inner.width) - inner.height, 0);
}

tasks::WindowSize top_pane_size(Rect area, const app::App& app) {
  const Rect inner = layout(area, app, true).output.inner();
  const auto cells = [](int n) { return static_cast<uint16_t>(std::clamp(n, 1, 0xFFFF)); };
  return {cells(inner.height), cells(inner.width)};
}

bool too_small(Rect area) { return area.width < kMinWidth || area.height < kMinHeight; }

void draw_ui(Buffer& buffer, const app::App& app) {
  if (too_small(buffer.area())) {
    draw_too_small(buffer, buffer.area());
    return;
  }
  const Panes panes = layout(buffer.area(), app);
  if (!app.output_zoomed) {
    draw_process_list(buffer, panes.list, app.rows, app.selected, app.filter);
    draw_details(buffer, panes.details, details_text(app));
  }
  draw_output(buffer, panes.output, app);
  draw_footer(buffer, panes.footer, app);
  if (app.mode.is(app::AppMode::Kind::Permission))
    draw_permission_popup(buffer, buffer.area(), app.permission_message);
}

}  // namespace stackpeek::ui
