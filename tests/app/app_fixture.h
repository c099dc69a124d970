#pragma once

#include <string>
#include <vector>

#include "app/app.h"
#include "discovery/runtime.h"

namespace stackpeek::app::testing {

/// A Python process with the fields grouping looks at.
inline discovery::ProcessInfo python_process(uint32_t pid, std::optional<uint32_t> parent,
                                             std::vector<std::string> cmd,
                                             std::string cwd = "/work") {
  discovery::ProcessInfo p;
  p.pid = pid;
  p.parent_pid = parent;
  p.name = "python3";
  p.exe = discovery::PathOrMessage::path("/usr/bin/python3.11");
  p.cwd = discovery::PathOrMessage::path(std::move(cwd));
  p.cmd = std::move(cmd);
  p.runtime = discovery::detect_runtime(p.exe, p.cmd);
  return p;
}

/// Services over a fixed snapshot, a fixed ptrace answer and a fixed py-spy path.
struct FakeMachine {
  std::vector<discovery::ProcessInfo> snapshot;
  std::optional<std::string> permission;
  std::vector<uint32_t> permission_pids;  // the targets of the last permission check
  std::optional<std::filesystem::path> py_spy = std::filesystem::path("/opt/py-spy");
  bool scan_fails = false;
  RunRecord sudo_record{"sudo -v", "", "", RunStatus::Success};
  int sudo_calls = 0;

  Services services() {
    Services s;
    s.scan = [this]() -> Result<std::vector<discovery::ProcessInfo>> {
      if (scan_fails) return std::unexpected(Error("table unavailable"));
      return snapshot;
    };
    s.permission_check = [this](const std::vector<uint32_t>& pids) {
      permission_pids = pids;
      return permission;
    };
    s.find_py_spy = [this]() -> Result<std::filesystem::path> {
      if (!py_spy) return std::unexpected(Error("binary not found on PATH"));
      return *py_spy;
    };
    s.sudo_validate = [this] {
      ++sudo_calls;
      return sudo_record;
    };
    return s;
  }
};

/// A parent with two children (one process tree) and one unrelated script.
inline std::vector<discovery::ProcessInfo> small_snapshot() {
  return {python_process(100, 1, {"python3", "train.py"}),
          python_process(101, 100, {"python3", "train.py", "--worker"}),
          python_process(102, 100, {"python3", "train.py", "--worker"}),
          python_process(200, 1, {"python3", "serve.py"})};
}

}  // namespace stackpeek::app::testing
