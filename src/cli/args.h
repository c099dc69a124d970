#pragma once

// The arguments of the commands that run without the screen:
//
//   stackpeek list [--json] [--slurm-job [ID]]
//   stackpeek dump TARGET... [--json] [--host NAME] [--repeat N] [--interval S]
//                  [--svg FILE]
//   stackpeek record TARGET... [--duration S] [--dir DIR] [--json]
//   stackpeek compare [FILE...] [--json] [--svg FILE]
//   stackpeek watch TARGET... [--every S] [--stuck-after S] [--record S] [--dir DIR]
//                   [--json] [--host NAME] [--exec CMD]
//
// TARGET is --pid PID (repeatable), --group KEY (repeatable), --all or --slurm-job [ID]. An
// option's value may follow as the next argument or after "=" ("--pid=42"); the job id of
// --slurm-job may be left out (the job stackpeek itself runs in).

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  uint32_t duration = 30;
  uint32_t repeat = 1;    // dump: number of dumps
  uint32_t interval = 5;  // dump: seconds between them
  std::string dir = ".";
  std::vector<std::string> files;   // compare; "-" is standard input
  uint32_t every = 30;              // watch: seconds from one round to the next
  uint32_t stuck_after = 300;       // watch: seconds unchanged that make a group stuck
  std::optional<uint32_t> record;   // watch: seconds to record a stuck group
  std::optional<std::string> exec;  // watch: shell command run after evidence is kept
  std::optional<std::string> svg;   // dump, compare: where the group's flame graph goes
};

/// The options of `args` (the arguments after the program name, the verb first), or a
/// one-line reason why they are not valid.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args);

/// The usage lines of the headless commands, each ending in a line feed.
std::string usage_text();

}  // namespace stackpeek::cli
