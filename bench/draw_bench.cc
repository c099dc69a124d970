// Median time of one full frame: draw_ui with 1,000 list rows into a 200x60 buffer.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "discovery/groups.h"
#include "ui/draw.h"

namespace {

using namespace stackpeek;

// 100 groups of 9 members: 100 group rows and 900 process rows.
app::App busy_app() {
  app::App app;
  for (int g = 0; g < 100; ++g) {
    discovery::ProcessGroup group;
    group.key = "runtime:/usr:/srv/job" + std::to_string(g);
    group.label = "train.py --config configs/experiment_" + std::to_string(g) + ".yaml";
    group.kind = discovery::GroupKind::Runtime;
    group.runtime_text = "venv 3.12 - /srv/job/.venv";
    group.cwd_text = "/srv/job";
    for (int m = 0; m < 9; ++m) {
      discovery::ProcessInfo p;
      p.pid = static_cast<uint32_t>(10000 + g * 10 + m);
      p.name = "python3";
      p.exe = discovery::PathOrMessage::path("/srv/job/.venv/bin/python3");
      p.cwd = discovery::PathOrMessage::path("/srv/job");
      p.cmd = {"python3",  "train.py",
               "--config", "configs/experiment_" + std::to_string(g) + ".yaml",
               "--seed",   std::to_string(m)};
      group.members.push_back(std::move(p));
    }
    app.groups.push_back(std::move(group));
  }
  for (int i = 0; i < 200; ++i)
    app.output_lines.push_back("    step (train.py:" + std::to_string(i) + ") loss=0.1234 lr=3e-4");
  app::update_rows(app);
  app.selected = 999;  // the last row: the list has to scroll through everything
  app.status = "Found 100 groups";
  return app;
}

constexpr int kRuns = 500;

// `prepare` runs untimed before each timed `work`.
template <class Prepare, class Work>
double median_micros(Prepare&& prepare, Work&& work) {
  std::vector<double> micros;
  for (int i = 0; i < kRuns; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::nth_element(micros.begin(), micros.begin() + kRuns / 2, micros.end());
  return micros[kRuns / 2];
}

}  // namespace

int main() {
  const app::App app = busy_app();
  std::optional<ui::Buffer> buffer;
  const double frame = median_micros(
      [&] {
        buffer.emplace(ui::Rect{0, 0, 200, 60});
      },
      [&] { ui::draw_ui(*buffer, app); });
  // The rows are built once per change of the list, not per frame; this is what one
  // rebuild costs.
  const double rows = median_micros([] {},
                                    [&] {
                                      const auto built = app::list_rows(app.groups, app.collapsed);
                                      if (built.size() != 1000) std::abort();
                                    });
  std::printf("draw_ui, 1000 rows, 200x60: median %.1f us over %d frames (goal <= 1000 us)\n",
              frame, kRuns);
  std::printf("  list_rows on its own (once per list change): median %.1f us\n", rows);
  return 0;
}
