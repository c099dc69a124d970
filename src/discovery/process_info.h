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
  bool operator==(const ProcessInfo&) const = default;
};

inline constexpr const char* kExeUnreadable = "sysinfo could not read process executable";
inline constexpr const char* kCwdUnreadable = "sysinfo could not read process working directory";

}  // namespace stackpeek::discovery
