#pragma once

// The text forms of a watch: event lines and the evidence folder.

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/error.h"
#include "workflow/watch.h"

namespace stackpeek::workflow {

/// Local time of day, "12:03:10".
std::string wall_clock_text(WallClock::time_point time);

/// The event as one line without its line feed, for example
/// "12:03:10 stuck: -u train.py [torch/ddp] ranks 0-7 unchanged for 300 s; rank 3 in
/// load_batch (hang.py:5); evidence /data/stackpeek-watch-u-train-py-1765152000".
std::string watch_event_text(const WatchEvent& event);

/// The files of one evidence folder; `dumps_jsonl` is what `dump --json` prints for the
/// members.
struct EvidenceFiles {
  std::string compare;
  std::string dumps_jsonl;
  std::string history;
  std::string stacks_svg;  // the stacks as one flame graph
};

/// The files of a unit's evidence; the dump lines name `host`.
EvidenceFiles evidence_files(const UnitEvidence& evidence, const std::string& host);

/// Creates "stackpeek-watch-SLUG-SECONDS" in `parent` (never reusing a folder: "-2", "-3"
/// follow) and writes compare.txt, dumps.jsonl, history.txt and stacks.svg into it. Returns the
/// folder.
Result<std::filesystem::path> write_evidence(const std::filesystem::path& parent,
                                             const std::string& label, uint64_t unix_seconds,
                                             const EvidenceFiles& files);

}  // namespace stackpeek::workflow
