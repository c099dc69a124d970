#include "ui/draw.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "app/key_table.h"
#include "common/defaults.h"
#include "common/grapheme.h"
#include "common/utf8.h"
#include "common/util.h"
#include "discovery/groups.h"
#include "discovery/launcher.h"
#include "discovery/runtime.h"
#include "tasks/py_spy.h"
#include "ui/layout.h"
#include "ui/text_fit.h"

namespace stackpeek::ui {
namespace {

using app::ListRow;

constexpr Style kSelectedRow{Color::Black, Color::Cyan, true};
constexpr Style kDetailLabel{Color::Yellow, Color::Default, true};
constexpr Style kPopup{Color::Default, Color::Black, false};
constexpr size_t kLabelWidth = 11;
constexpr int kShortLimit = 80, kCommandLimit = 160;

constexpr int kListMinRows = 8, kOutputRows = 9, kOutputMinRows = 3;
constexpr int kMinWidth = 40, kMinHeight = 12;

bool live_top(const app::App& app) { return app.active_run && app.active_run->live_top(); }

Text details_text(const app::App& app, int width);

// The rows of the main area when neither zoom nor a live top decides: what the list and
// Details need, within the bounds screen_layout describes.
int main_rows(Rect area, const app::App& app) {
  const int rows = area.height - 1;
  const int most = rows - std::clamp(rows - kListMinRows, kOutputMinRows, kOutputRows);
  const int details_width = split(area, Direction::Horizontal,
                                  {Constraint::percentage(56), Constraint::percentage(44)})[1]
                                .inner()
                                .width;
  const auto details = static_cast<int>(
      wrap_lines(details_text(app, details_width), std::max(details_width, 1)).size());
  const auto list = static_cast<int>(std::min<size_t>(app.rows.size(), static_cast<size_t>(most)));
  return std::clamp(std::max(list, details) + 2, std::min(kListMinRows, most), most);
}

int output_rows(Rect area, const app::App& app, bool streaming) {
  const int rows = area.height - 1;
  if (app.output_zoomed) return rows;
  if (streaming) return std::max(rows - kListMinRows, kOutputMinRows);
  return rows - main_rows(area, app);
}

// The list's title; a long filter shows its end, where the typing happens.
std::string list_title(std::string_view filter, int width) {
  constexpr std::string_view kTitle = "Python Processes";
  if (filter.empty()) return std::string(kTitle);
  const int room = width - display_width(kTitle) - display_width(" (filter: )");
  return fmt::format("{} (filter: {})", kTitle, keep_end(filter, std::max(room, 1)));
}

void draw_process_list(Buffer& buffer, Rect area, const std::vector<ListRow>& rows, size_t selected,
                       std::string_view filter) {
  const Rect inner = render_block(buffer, area, list_title(filter, area.width - 2));
  if (rows.empty()) return;
  const size_t shown = std::min(selected, rows.size() - 1);
  // Only rows within a screen's height of the selection can show; only those are fitted.
  const auto reach = static_cast<size_t>(std::max(inner.height, 0));
  const size_t first = shown > reach ? shown - reach : 0;
  const size_t last = std::min(rows.size(), shown + reach + 1);
  const int width = inner.width - 2;  // the selection marker's columns
  std::vector<std::string> fitted;
  fitted.reserve(last - first);
  for (size_t i = first; i < last; ++i) fitted.push_back(fit_row(rows[i], width));
  std::vector<std::string_view> items;
  items.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    items.push_back(i >= first && i < last ? std::string_view(fitted[i - first]) : rows[i].text);
  ListState state;
  state.selected = shown;
  render_list(buffer, inner, items, state, "> ", kSelectedRow);
}

// A Details line whose value, on one line, is cut in the middle when wider than the pane
// leaves it.
Line detail(std::string_view label, std::string_view value, int width) {
  return detail_line(
      label, cut_middle(one_line(value), std::max(width - static_cast<int>(kLabelWidth), 1)));
}

Text process_details(const discovery::ProcessInfo& p, int width) {
  using discovery::format_path_or_reason;
  Text lines = {
      detail("Pid", std::to_string(p.pid), width),
      detail("Name", p.name, width),
      detail("Runtime", cut_middle(discovery::format_runtime(p.runtime), kShortLimit), width),
      detail("Executable", cut_middle(format_path_or_reason(p.exe), kShortLimit), width),
      detail("Cwd", cut_middle(format_path_or_reason(p.cwd), kShortLimit), width),
      detail("Cpu", fmt::format("{:.1f}%", p.cpu), width),
      detail("Memory", std::to_string(p.memory / (1024 * 1024)) + " MiB", width),
  };
  if (p.exe_replaced) {
    lines.push_back(
        detail("Replaced", "the executable file changed since the process started", width));
  }
  if (p.torch.has_rank_info()) {
    lines.push_back(detail("Torch", p.torch.rank_text(), width));
  } else if (p.job_rank) {
    lines.push_back(detail("Rank", discovery::rank_text(p).value_or(""), width));
    lines.push_back(detail("Launcher", discovery::job_text(*p.job_rank), width));
  }
  lines.emplace_back("");
  lines.emplace_back("t runs live py-spy top for this PID.");
  lines.emplace_back(
      cut_middle(p.cmd.empty() ? p.name : fmt::format("{}", fmt::join(p.cmd, " ")), kCommandLimit));
  return lines;
}

Text group_details(const discovery::ProcessGroup& g, int width) {
  return {
      detail("Group", g.label, width),
      detail("Kind", discovery::group_kind_label(g.kind), width),
      detail("Processes", std::to_string(g.members.size()), width),
      detail("Runtime", cut_middle(g.runtime_text, kShortLimit), width),
      detail("Cwd", cut_middle(g.cwd_text, kShortLimit), width),
      Line(""),
      Line(fmt::format("Enter records each process in the group for {} seconds.",
                       kDefaults.record_seconds)),
      Line("d dumps each process; w watches for a hang."),
      Line("t requires selecting a single process inside the group."),
  };
}

// What the Details pane, `width` columns inside, says about the selected row.
Text details_text(const app::App& app, int width) {
  if (app.rows.empty() && !app.filter.empty())
    return {Line(fmt::format("No process matches \"{}\".", app.filter))};
  if (app.selected >= app.rows.size()) return {Line("No Python processes found.")};
  const auto target = app::selected_row(app);
  if (!target) {
    const bool group_row = app.rows[app.selected].kind == ListRow::Kind::Group;
    return {Line(group_row ? "Selected group disappeared." : "Selected process disappeared.")};
  }
  return target->member ? process_details(*target->member, width)
                        : group_details(*target->group, width);
}

void draw_details(Buffer& buffer, Rect area, const app::App& app) {
  const Rect inner = render_block(buffer, area, "Details");
  render_paragraph(buffer, inner, details_text(app, inner.width), 0);
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

// The notice of a screen too small to use, in the longest form that fits.
void draw_too_small(Buffer& buffer, Rect area) {
  const std::string size = fmt::format("{}×{}", area.width, area.height);
  std::string message = size;
  for (std::string longer :
       {fmt::format("Terminal too small: {} (need {}×{})", size, kMinWidth, kMinHeight),
        "Too small: " + size}) {
    if (display_width(longer) <= area.width) {
      message = std::move(longer);
      break;
    }
  }
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

namespace {

// The status part: behind a spinner while a run is active; a record run counts down the
// seconds left.
std::string footer_status(const app::App& app) {
  static constexpr std::array<std::string_view, 8> kSpinner = {"⠋", "⠙", "⠹", "⠸",
                                                               "⠼", "⠴", "⠦", "⠧"};
  // The status may name a group whose label spans lines.
  if (!app.mode.is(app::AppMode::Kind::Running)) return one_line(app.status);
  std::string status =
      fmt::format("{} {}", kSpinner[app.tick % kSpinner.size()], one_line(app.status));
  const bool cancelled = app.active_run && app.active_run->cancel_requested();
  if (app.active_mode == tasks::SpyMode::Record && !cancelled) {
    const auto total = kDefaults.record_seconds;
    status += fmt::format(": {} s left", total - std::min(app.run_seconds, total));
  }
  return status;
}

// The footer while the filter prompt is open: the end of the filter and the cursor always
// show; the status, then the hints, then the filter's start give way.
std::string filter_footer(const app::App& app, std::string_view mode, int width) {
  constexpr std::string_view kHints = " | Enter keep | Esc cancel";
  const std::string field = app.filter + "_";
  const std::string prefix = fmt::format("{}Filter: ", mode);
  for (const std::string& text : {fmt::format("{}{}{} | {}", prefix, field, kHints, app.status),
                                  fmt::format("{}{}{}", prefix, field, kHints), prefix + field}) {
    if (display_width(text) <= width) return text;
  }
  return prefix + keep_end(field, std::max(width - display_width(prefix), 2));
}

}  // namespace

std::string footer_text(const app::App& app, int width) {
  // A running watch shows whatever the status line says meanwhile.
  const std::string mode = fmt::format("mode: {} | {}", app::mode_label(app.mode),
                                       app.watching ? "watching 1 group | " : "");
  if (app.filter_editing) return filter_footer(app, mode, width);
  const std::string status = footer_status(app);
  // The hints give way to the status, first to their short form, then altogether; those of
  // an active run and of the zoomed pane (the only way out of it) stay, and the status is
  // cut after them.
  const bool keep_hints = app.mode.is(app::AppMode::Kind::Running) || app.output_zoomed;
  std::string text;
  for (const app::HintForm form : {app::HintForm::Full, app::HintForm::Keys}) {
    text = fmt::format("{}{} | {}", mode, app::key_hints(app.mode.kind, form, app.output_zoomed),
                       status);
    if (display_width(text) <= width) return text;
  }
  return cut_at_word(keep_hints ? text : mode + status, width);
}

app::OutputView output_view(Rect area, const app::App& app) {
  const Rect inner = screen_layout(area, app).output.inner();
  if (inner.empty()) return {};
  const int lines = wrapped_line_count(app.output_lines, inner.width);
  return {inner.width, inner.height, std::max(lines - inner.height, 0)};
}

namespace {

Panes layout(Rect area, const app::App& app, bool streaming) {
  const auto rows =
      split(area, Direction::Vertical,
            {Constraint::min(0), Constraint::length(output_rows(area, app, streaming)),
             Constraint::length(1)});
  const auto main = split(rows[0], Direction::Horizontal,
                          {Constraint::percentage(56), Constraint::percentage(44)});
  return {main[0], main[1], rows[1], rows[2]};
}

}  // namespace

Panes screen_layout(Rect area, const app::App& app) { return layout(area, app, live_top(app)); }

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
  const Panes panes = screen_layout(buffer.area(), app);
  if (!app.output_zoomed) {
    draw_process_list(buffer, panes.list, app.rows, app.selected, app.filter);
    draw_details(buffer, panes.details, app);
  }
  draw_output(buffer, panes.output, app);
  draw_footer(buffer, panes.footer, app);
  if (app.mode.is(app::AppMode::Kind::Permission))
    draw_permission_popup(buffer, buffer.area(), app.permission_message);
}

}  // namespace stackpeek::ui
