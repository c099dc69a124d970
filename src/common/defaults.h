#pragma once

// The defaults of every run, in one place: the argument parser, the key table, the help
// texts and the report read them from here.

#include <cstdint>

namespace stackpeek {

struct Defaults {
  uint32_t record_seconds = 30;  // a record's sampling time
  uint32_t sample_rate = 100;    // py-spy record's samples per second (its own default)
  uint32_t dump_repeat = 1;      // dumps taken by one `dump`
  uint32_t dump_interval_s = 5;  // seconds between them
  uint32_t watch_every_s = 30;   // seconds from one watch round to the next
  uint32_t stuck_after_s = 300;  // seconds unchanged that make a group stuck
};

inline constexpr Defaults kDefaults{};

}  // namespace stackpeek
