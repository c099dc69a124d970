#pragma once

#include "cli/args.h"

namespace stackpeek::cli {

// Each returns the exit status: kExitOk, kExitFailed or kExitUsage (see cli/output.h).

/// `stackpeek list`: the groups of one snapshot, as list rows or one JSON document.
int run_list(const Options& options);

/// `stackpeek dump`: py-spy dump of every target at once; the comparison and the records,
/// or one JSON line per process.
int run_dump(const Options& options);

/// `stackpeek record`: py-spy record of every target at once into a new report folder.
int run_record(const Options& options);

/// `stackpeek compare`: buckets the dump lines of the files, or of standard input.
int run_compare(const Options& options);

/// `stackpeek watch`: dump rounds of the targets until a stop signal (or, without --all,
/// until every target has exited); one line per event, evidence folders for stuck groups.
int run_watch(const Options& options);

}  // namespace stackpeek::cli
