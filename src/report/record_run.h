#pragma once

#include "discovery/run_target.h"

namespace stackpeek::report {

/// What a report says about the record run as a whole, besides its commands' records.
struct RecordRun {
  discovery::RunTarget target;  // the processes, in command order
  double duration_requested_s = 0;
  double duration_s = 0;  // from the start until the last command ended or was stopped
  bool canceled = false;  // stopped early: a cancel key, a quit or a stop signal
};

}  // namespace stackpeek::report
