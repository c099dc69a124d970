#pragma once

// How the profiles of a group differ: the functions whose share of the samples differs
// most between members, as "load_batch (hang.py:5): rank 3 100 %, ranks 0-2 0 %".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "stacks/profile_summary.h"

namespace stackpeek::stacks {

/// One member of a group with its profile.
struct ProfileMember {
  uint32_t pid = 0;
  std::optional<uint32_t> rank;
  const ProfileSummary* summary = nullptr;  // never null
};

/// A function and its total share per member, in percent of each member's samples.
struct ShareDifference {
  std::string function;
  std::vector<double> shares;  // per member, in input order
  double spread = 0;           // largest share minus smallest
};

/// The functions whose total share differs by at least `min_spread` points between
/// members, largest spread first (then by name), at most `limit`.
std::vector<ShareDifference> differing_functions(const std::vector<ProfileMember>& members,
                                                 double min_spread, size_t limit);

/// "rank 3 100 %, ranks 0-2 0 %": the members grouped by their share rounded to whole
/// percent, largest first; each group names ranks as ranges and members without a rank
/// by pid.
std::string share_text(const ShareDifference& difference,
                       const std::vector<ProfileMember>& members);

/// "rank 3", "ranks 0-2,5", "pid 17", "pids 17 18", "ranks 0,1, pid 17" (at most eight
/// pids, then "…").
std::string member_names(const std::vector<ProfileMember>& members,
                         const std::vector<size_t>& which);

}  // namespace stackpeek::stacks
