#pragma once

// The JSON form of `stackpeek list --json`:
//
//   {"host": "node1", "groups": [{"key", "kind", "label", "members": [process, ...]}]}
//   process: {"pid", "ppid" | null, "name", "exe" | null, "cwd" | null, "command": [...],
//             "runtime": {"kind", "root" | null, "version" | null},
//             "torch": {"rank", "local_rank", "world_size" (numbers or null),
//                       "master_addr", "master_port" (texts or null)} | null,
//             "launcher": {"name" ("srun", "openmpi", "mpich", "horovod"), "job", "rank",
//                          "local_rank", "world_size" (numbers or null)} | null,
//             "cpu_percent", "memory_bytes"}
//
// A path that could not be read is null; a torch value that is not a whole number is null.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "discovery/groups.h"

namespace stackpeek::cli {

nlohmann::json process_json(const discovery::ProcessInfo& process);

nlohmann::json snapshot_json(const std::string& host,
                             const std::vector<discovery::ProcessGroup>& groups);

}  // namespace stackpeek::cli
