#pragma once

// The arguments of the commands that run without the screen, as usage_text() lists them.
// An option's value may follow as the next argument or after "=" ("--pid=42"); the job id
// of --slurm-job may be left out (the job stackpeek itself runs in).

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/defaults.h"
#include "discovery/run_target.h"

namespace stackpeek::cli {

enum class Verb { List, Dump, Record, Compare, Watch };

/// The verb named by exactly "list", "dump", "record", "compare" or "watch"; none otherwise.
std::optional<Verb> parse_verb(std::string_view word);

struct Options {
  Verb verb = Verb::List;
  bool help = false;  // --help or -h after the verb: print the usage and stop
  bool json = false;
  discovery::TargetRequest targets;
  std::optional<std::string> host;
  uint32_t duration = kDefaults.record_seconds;
  uint32_t repeat = kDefaults.dump_repeat;        // dump: number of dumps
  uint32_t interval = kDefaults.dump_interval_s;  // dump: seconds between them
  std::string dir = ".";                          // record, watch: checked to exist
  std::vector<std::string> files;                 // compare; "-" is standard input
  uint32_t every = kDefaults.watch_every_s;       // watch: seconds from one round to the next
  uint32_t stuck_after =
      kDefaults.stuck_after_s;      // watch: seconds unchanged that make a group stuck
  std::optional<uint32_t> record;   // watch: seconds to record a stuck group
  std::optional<std::string> exec;  // watch: shell command run after evidence is kept
  std::optional<std::string> svg;   // dump, compare: where the group's flame graph goes
};

/// The options of `args` (the arguments after the program name, the verb first), or a
/// one-line reason why they are not valid: a number out of its range (named), or a --dir
/// that neither exists nor has an existing parent, or cannot be written.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

/// The usage lines of the headless commands, each ending in a line feed: the one list of
/// the commands and their options, which --help, a usage error and the manual page test
/// read.
std::string usage_text();

}  // namespace stackpeek::cli
