#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stackpeek::discovery {

/// A path that may be unreadable: either the path's bytes or a fixed message saying why not.
struct PathOrMessage {
  enum class Tag { Path, Message };
  Tag tag = Tag::Message;
  std::string value;  // the path's bytes (not necessarily UTF-8), or the message

  static PathOrMessage path(std::string p) { return {Tag::Path, std::move(p)}; }
  static PathOrMessage message(std::string m) { return {Tag::Message, std::move(m)}; }
  bool is_path() const { return tag == Tag::Path; }
  bool operator==(const PathOrMessage&) const = default;
};

/// The path as text (U+FFFD for bad bytes), or "unknown (" + message + ")".
std::string format_path_or_reason(const PathOrMessage& value);

/// The kind of Python installation, in label order.
enum class RuntimeKind { Venv, Uv, Conda, Pyenv, System, Launcher, Unknown };

/// "venv", "uv", "conda", "pyenv", "system", "launcher" or "unknown".
std::string_view runtime_kind_label(RuntimeKind kind);

/// Which installation a process runs from.
struct RuntimeInfo {
  PathOrMessage executable;
  PathOrMessage root;
  std::optional<std::string> version;
  RuntimeKind kind = RuntimeKind::Unknown;
  bool operator==(const RuntimeInfo&) const = default;
};

/// The raw texts of the five torch distributed environment variables.
struct TorchInfo {
  std::optional<std::string> rank;         // RANK
  std::optional<std::string> local_rank;   // LOCAL_RANK
  std::optional<std::string> world_size;   // WORLD_SIZE
  std::optional<std::string> master_addr;  // MASTER_ADDR
  std::optional<std::string> master_port;  // MASTER_PORT

  /// True when any of rank, local_rank and world_size is present.
  bool has_rank_info() const { return rank || local_rank || world_size; }
  /// "rank R/W local L", each absent value written as "?".
  std::string rank_text() const;
  bool operator==(const TorchInfo&) const = default;
};

/// The raw texts of the Slurm variables that tie a process to a job and a node.
struct SlurmInfo {
  std::optional<std::string> job_id;     // SLURM_JOB_ID
  std::optional<std::string> node_name;  // SLURMD_NODENAME
  bool operator==(const SlurmInfo&) const = default;
};

/// The raw texts of the rank variables of the launchers other than torch, as a process's
/// environment holds them when it starts.
struct LauncherVars {
  std::optional<std::string> slurm_step_id;       // SLURM_STEP_ID
  std::optional<std::string> slurm_procid;        // SLURM_PROCID
  std::optional<std::string> slurm_ntasks;        // SLURM_NTASKS
  std::optional<std::string> slurm_localid;       // SLURM_LOCALID
  std::optional<std::string> ompi_rank;           // OMPI_COMM_WORLD_RANK
  std::optional<std::string> ompi_size;           // OMPI_COMM_WORLD_SIZE
  std::optional<std::string> ompi_local_rank;     // OMPI_COMM_WORLD_LOCAL_RANK
  std::optional<std::string> pmix_namespace;      // PMIX_NAMESPACE
  std::optional<std::string> ompi_jobid;          // OMPI_MCA_ess_base_jobid
  std::optional<std::string> pmi_rank;            // PMI_RANK
  std::optional<std::string> pmi_size;            // PMI_SIZE
  std::optional<std::string> mpi_local_rank;      // MPI_LOCALRANKID
  std::optional<std::string> horovod_rank;        // HOROVOD_RANK
  std::optional<std::string> horovod_size;        // HOROVOD_SIZE
  std::optional<std::string> horovod_local_rank;  // HOROVOD_LOCAL_RANK
  std::optional<std::string> gloo_addr;           // HOROVOD_GLOO_RENDEZVOUS_ADDR
  std::optional<std::string> gloo_port;           // HOROVOD_GLOO_RENDEZVOUS_PORT
  bool operator==(const LauncherVars&) const = default;
};

/// The launchers that give a process a rank without torch's variables.
enum class Launcher { Slurm, OpenMpi, Mpich, Horovod };

/// A process's place in one job of a launcher other than torch.
struct JobRank {
  Launcher launcher = Launcher::Slurm;
  /// What tells this job from every other job of the launcher: "42.0" (Slurm job and step),
  /// Open MPI's PMIx namespace, Horovod's rendezvous "addr:port", or for a launcher that
  /// names none (MPICH's Hydra), "pid-N": the process that started its ranks.
  std::string job;
  uint32_t rank = 0;
  std::optional<uint32_t> world_size;
  std::optional<uint32_t> local_rank;
  bool operator==(const JobRank&) const = default;
};

/// One Python process of a snapshot.
struct ProcessInfo {
  uint32_t pid = 0;
  std::optional<uint32_t> parent_pid;
  std::string name;
  PathOrMessage exe;
  PathOrMessage cwd;
  std::vector<std::string> cmd;
  RuntimeInfo runtime;
  TorchInfo torch;
  double cpu = 0.0;  // percent of one CPU, averaged over the process lifetime
  uint64_t memory = 0;
  SlurmInfo slurm;
  /// The interpreter's file was replaced or removed while the process ran (the kernel
  /// adds " (deleted)" to its path, which `exe` no longer holds).
  bool exe_replaced = false;
  /// The launcher's rank; none when torch's variables give one (they win), no launcher does,
  /// or the process is no Python interpreter (a wrapper shell that names Python).
  std::optional<JobRank> job_rank;
  bool operator==(const ProcessInfo&) const = default;
};

inline constexpr const char* kExeUnreadable = "sysinfo could not read process executable";
inline constexpr const char* kCwdUnreadable = "sysinfo could not read process working directory";

}  // namespace stackpeek::discovery
