#pragma once

// group.svg: the profiles of a recorded group merged into one flame graph (samples summed),
// coloured as a differential flame graph. The processes fall in classes by their heaviest
// stack; the largest class is the rest and the others are the odd ones. A box is red where
// the odd ones spend a larger share of their samples than the rest, blue where smaller, grey
// where about equal; its tooltip gives the share of each class.

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "report/process_facts.h"
#include "report/report_dir.h"

namespace stackpeek::report {

constexpr std::string_view kGroupSvgName = "group.svg";

/// True when the facts make a group picture: two or more processes with a profile.
bool has_group_picture(const std::vector<ProcessFacts>& facts);

/// The picture of the processes with a profile; `label` names the group.
std::string group_svg(const std::vector<ProcessFacts>& facts, std::string_view label);

/// Writes group.svg into the report folder when the facts make one.
Result<void> write_group_svg(const ReportDir& dir, const std::vector<ProcessFacts>& facts);

}  // namespace stackpeek::report
