#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/error.h"

namespace stackpeek::report {

/// Writes the whole text to "PATH.partial" and renames it to `path`, so a reader finds
/// either the previous file or the complete new one, never a half-written one.
Result<void> write_file_whole(const std::filesystem::path& path, std::string_view content);

/// The whole file, or why not; a file larger than `max_bytes` is refused.
Result<std::string> read_file_whole(const std::filesystem::path& path, size_t max_bytes);

}  // namespace stackpeek::report
