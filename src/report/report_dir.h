#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace stackpeek::report {

/// The report folder of one record run.
struct ReportDir {
  std::filesystem::path report_directory;
  std::filesystem::path raw_directory;
  std::string target_label;
  uint64_t created_at_unix = 0;
  bool operator==(const ReportDir&) const = default;
};

/// Creates "py-spy-report-SLUG-SECONDS/raw" in the current working directory for the run
/// named `target_label`; the slug is made from the label. A folder of that name that
/// already exists is never reused: then "...-SECONDS-2", "-3" and so on.
Result<ReportDir> create_report_dir(std::string_view target_label);

/// The same with the folder's parent and the clock given (tests).
Result<ReportDir> create_report_dir_in(const std::filesystem::path& parent,
                                       uint64_t created_at_unix, std::string_view target_label);

/// Seconds since the Unix epoch, now (0 before it).
uint64_t unix_seconds_now();

/// Creates the folder `base`, or when that name is taken "BASE-2", "BASE-3", ... (missing
/// parents first), so a folder is never shared. Returns the folder made.
Result<std::filesystem::path> make_fresh_directory(const std::filesystem::path& base);

/// Lower-case ASCII words of the label joined by "-", at most eight; "profile" when none.
std::string report_slug(std::string_view label);

/// The .svg files of a raw folder, as full paths in byte order.
Result<std::vector<std::filesystem::path>> list_raw_records(const std::filesystem::path& raw);

}  // namespace stackpeek::report
