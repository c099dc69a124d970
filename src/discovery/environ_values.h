#pragma once

#include <string_view>

#include "discovery/process_info.h"

namespace stackpeek::discovery {

/// What stackpeek reads from a process's environment.
struct EnvironValues {
  TorchInfo torch;
  SlurmInfo slurm;
  LauncherVars launcher;
  bool operator==(const EnvironValues&) const = default;
};

/// The values of an environment block (NUL-separated KEY=VALUE entries, as in
/// /proc/PID/environ), read in one pass. Entries without "=" are ignored and a later
/// duplicate wins.
EnvironValues environ_values(std::string_view environ);

/// The Slurm variables of stackpeek's own environment: set when it runs as a task of a job.
SlurmInfo own_slurm_info();

}  // namespace stackpeek::discovery
