#include "cli/watch_exec.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "cli/output.h"
#include "cli/run_commands.h"
#include "tasks/subprocess.h"

namespace stackpeek::cli {

void run_exec_hook(const std::string& command, const std::string& evidence,
                   const std::string& group) {
  // The watch is single-threaded here: no other thread reads the environment.
  setenv("STACKPEEK_EVIDENCE", evidence.c_str(), 1);
  setenv("STACKPEEK_GROUP", group.c_str(), 1);
  tasks::ChildControl control;
  RunRecord record;
  std::atomic<bool> done = false;
  std::thread runner([&] {
    record = tasks::capture_process({"/bin/sh", {"-c", command}, false}, command, control);
    done = true;
  });
  // Signal 0 sends nothing, but marks the shell as signalled: once it has ended, what a
  // job it left in the background still writes is not waited for, so the watch goes on.
  control.signal(0);
  // A stop signal asks the command to end, and ends it 2 s later.
  int waited_after_stop = 0;
  while (!done) {
    if (caught_stop_signal()) {
      if (waited_after_stop == 0) control.signal(SIGTERM);
      if (waited_after_stop == 100) control.signal(SIGKILL);
      ++waited_after_stop;
    }
    const timespec interval{0, 20'000'000};
    nanosleep(&interval, nullptr);
  }
  runner.join();
  write_stderr(record.stdout_text);
  write_stderr(record.stderr_text);
  if (record.status != RunStatus::Success) {
    const auto detail = failure_detail(record);
    diagnose("--exec command failed" + (detail ? " (" + *detail + ")" : std::string()));
  }
}

}  // namespace stackpeek::cli
