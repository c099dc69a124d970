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

/// The bottom-most 32 non-blank lines of the current screen, control sequences removed,
/// without py-spy's key hint ("Press Control-C to quit, or ? for help."): no key reaches it.
std::vector<std::string> top_frame_lines(std::string_view pending);

/// What a top stream's pending text holds after the last line of its last screen (a line
/// written as CR, ESC "[2K", text), such as "process N ended"; all of it when it holds no
/// screen line (an error text). Control sequences removed, trailing white space cut from
/// each line, leading and trailing blank lines dropped; each line ends with a line feed.
std::string top_stream_trailer(std::string_view pending);

/// One step of a stream reader: appends one read, decoded on its own, to `pending`, cuts
/// `pending` back with top_frame_tail and returns the frame to send (empty: send nothing).
std::vector<std::string> top_stream_step(std::string& pending, std::string_view bytes);

}  // namespace stackpeek::tasks
