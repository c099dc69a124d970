#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace stackpeek::tasks {

inline constexpr size_t kTopPendingLimit = 16384;
inline constexpr size_t kTopFrameLines = 32;
inline constexpr size_t kTopReadSize = 4096;

/// The pending text cut to the current screen and to at most 16384 characters.
std::string top_frame_tail(std::string_view pending);

/// The bottom-most 32 non-blank lines of the current screen, control sequences removed.
std::vector<std::string> top_frame_lines(std::string_view pending);

}  // namespace stackpeek::tasks
