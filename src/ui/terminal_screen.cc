#include "ui/terminal_screen.h"

#include "ui/draw.h"
#include "ui/terminal.h"

namespace stackpeek::ui {
namespace {

bool usable_when_small(app::KeyEvent key) {
  using Code = app::KeyEvent::Code;
  return key.code == Code::Resize || (key.code == Code::Char && key.ch == U'q');
}

// The main loop's screen: each frame is drawn into a buffer of the terminal's current
// size and handed to curses.
class TerminalScreen final : public app::Screen {
 public:
  explicit TerminalScreen(Terminal terminal) : terminal_(std::move(terminal)) {}

  Result<void> draw(const app::App& app) override {
    Buffer buffer(terminal_.size());
    draw_ui(buffer, app);
    return terminal_.draw(buffer);
  }
  Result<std::optional<app::KeyEvent>> poll_key(int timeout_ms) override {
    auto key = terminal_.poll_key(timeout_ms);
    if (key && *key && too_small(terminal_.size()) && !usable_when_small(**key))
      return std::optional<app::KeyEvent>{};
    return key;
  }
  Result<void> suspend() override { return terminal_.suspend(); }
  Result<void> stop_job() override { return terminal_.stop_job(); }
  void repaint() override { terminal_.repaint(); }
  app::OutputView output_view(const app::App& app) const override {
    return ui::output_view(terminal_.size(), app);
  }
  tasks::WindowSize top_pane_size(const app::App& app) const override {
    return ui::top_pane_size(terminal_.size(), app);
  }
  Result<void> resume() override { return terminal_.resume(); }
  void restore() override { terminal_.restore(); }

 private:
  Terminal terminal_;
};

}  // namespace

Result<std::unique_ptr<app::Screen>> open_terminal_screen() {
  auto terminal = Terminal::open();
  if (!terminal) return std::unexpected(terminal.error());
  return std::make_unique<TerminalScreen>(std::move(*terminal));
}

}  // namespace stackpeek::ui
