#pragma once

#include <memory>

#include "app/screen.h"
#include "common/error.h"

namespace stackpeek::ui {

/// Opens the full-screen terminal as the main loop's screen; fails with one clear
/// message (leaving the terminal as it was) when there is no usable terminal.
Result<std::unique_ptr<app::Screen>> open_terminal_screen();

}  // namespace stackpeek::ui
