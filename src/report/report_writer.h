#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "common/run_record.h"
#include "report/report_dir.h"

namespace stackpeek::report {

/// The text of report.md for these raw records and run records.
std::string render_markdown(const ReportDir& dir, const std::vector<std::filesystem::path>& raw,
                            const std::vector<RunRecord>& records);

/// The text of report.json (sorted keys, two-space indent, no final line feed).
std::string render_json(const ReportDir& dir, const std::vector<std::filesystem::path>& raw,
                        const std::vector<RunRecord>& records);

/// Writes `content` to a new or emptied file; fails when any of it was not stored.
Result<void> write_file(const std::filesystem::path& path, std::string_view content);

/// Writes report.md, then report.json, into the report folder; stops at the first error.
Result<void> write_report(const ReportDir& dir, const std::vector<RunRecord>& records);

}  // namespace stackpeek::report
