#include "cli/args.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>

#include "common/util.h"

namespace stackpeek::cli {
namespace {

using Failure = std::unexpected<std::string>;

// Walks the arguments after the verb, splitting "--name=value" as it goes.
class ArgCursor {
 public:
  explicit ArgCursor(std::span<const std::string_view> args) : args_(args) {}

  bool done() const { return index_ >= args_.size(); }

  // The next argument's name part; its "=value" part is kept for value().
  std::string_view next() {
    const std::string_view arg = args_[index_++];
    inline_value_.reset();
    const size_t equals = arg.find('=');
    if (!arg.starts_with("--") || equals == std::string_view::npos) return arg;
    inline_value_ = arg.substr(equals + 1);
    return arg.substr(0, equals);
  }

  bool has_inline_value() const { return inline_value_.has_value(); }

  // The value of an option whose value may be left out: after "=", or the next argument
  // unless that is an option itself.
  std::optional<std::string_view> optional_value() {
    if (inline_value_) return *std::exchange(inline_value_, std::nullopt);
    if (done() || args_[index_].starts_with("-")) return std::nullopt;
    return args_[index_++];
  }

  std::expected<std::string_view, std::string> value(std::string_view option) {
    if (inline_value_) return *std::exchange(inline_value_, std::nullopt);
    if (done()) return Failure(std::string(option) + " needs a value");
    return args_[index_++];
  }

 private:
  std::span<const std::string_view> args_;
  size_t index_ = 0;
  std::optional<std::string_view> inline_value_;
};

// The largest value of each numeric option: time in seconds up to 30 days, pids up to
// the kernel's pid_max limit, counts and job ids as far as they go.
constexpr uint64_t kMaxSeconds = 30ull * 24 * 3600;
constexpr uint64_t kMaxPid = 4194304;
constexpr uint64_t kMaxRepeat = 1000000;
constexpr uint64_t kMaxJobId = std::numeric_limits<uint32_t>::max();

struct NumericOption {
  std::string_view name;
  uint64_t max = kMaxSeconds;
};

constexpr std::array kNumericOptions = {
    NumericOption{.name = "--pid", .max = kMaxPid},
    NumericOption{.name = "--duration", .max = kMaxSeconds},
    NumericOption{.name = "--repeat", .max = kMaxRepeat},
    NumericOption{.name = "--interval", .max = kMaxSeconds},
    NumericOption{.name = "--every", .max = kMaxSeconds},
    NumericOption{.name = "--stuck-after", .max = kMaxSeconds},
    NumericOption{.name = "--record", .max = kMaxSeconds},
    NumericOption{.name = "--slurm-job", .max = kMaxJobId},
};

// A whole number from 1 to the option's largest value; the error names that range.
std::expected<uint32_t, std::string> positive(std::string_view option, std::string_view text) {
  const auto known = std::ranges::find(kNumericOptions, option, &NumericOption::name);
  const uint64_t max = known == kNumericOptions.end() ? kMaxJobId : known->max;
  const auto value = parse_unsigned(text, max);
  if (!value || *value == 0) {
    return Failure(fmt::format("{} needs a whole number from 1 to {}, not '{}'", option, max,
                               escape_controls(text)));
  }
  return static_cast<uint32_t>(*value);
}

std::expected<void, std::string> store_value(Options& options, std::string_view name,
                                             std::string_view value) {
  if (name == "--group") {
    options.targets.groups.emplace_back(value);
  } else if (name == "--host") {
    options.host = std::string(value);
  } else if (name == "--dir") {
    options.dir = std::string(value);
  } else if (name == "--exec") {
    options.exec = std::string(value);
  } else if (name == "--svg") {
    options.svg = std::string(value);
  } else {
    auto number = positive(name, value);
    if (!number) return std::unexpected(number.error());
    if (name == "--pid") {
      options.targets.pids.push_back(*number);
    } else if (name == "--repeat") {
      options.repeat = *number;
    } else if (name == "--interval") {
      options.interval = *number;
    } else if (name == "--every") {
      options.every = *number;
    } else if (name == "--stuck-after") {
      options.stuck_after = *number;
    } else if (name == "--record") {
      options.record = *number;
    } else {
      options.duration = *number;
    }
  }
  return {};
}

// The folder --dir names must exist, or its parent must (only the last level is made);
// checked before any work, so that no run learns it at its end.
std::expected<void, std::string> check_dir(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path path = fs::absolute(dir, error).lexically_normal();
  const auto refuse = [&](std::string_view why) {
    return Failure(fmt::format("--dir {}: {}", escape_controls(dir), why));
  };
  if (fs::is_directory(path, error)) {
    if (::access(path.c_str(), W_OK | X_OK) != 0)
      return refuse(fmt::format("cannot write there ({})", std::strerror(errno)));
    return {};
  }
  if (fs::exists(path, error)) return refuse("not a folder; name a folder to write into");
  fs::path parent = path.parent_path();
  if (path.filename().empty()) parent = parent.parent_path();
  if (!fs::is_directory(parent, error)) {
    const bool there = fs::exists(parent, error);
    return refuse(fmt::format("{} {}; create it first or name an existing folder",
                              escape_controls(path_text(parent)),
                              there ? "is not a folder" : "does not exist"));
  }
  if (::access(parent.c_str(), W_OK | X_OK) != 0)
    return refuse(fmt::format("cannot create it in {} ({})", escape_controls(path_text(parent)),
                              std::strerror(errno)));
  return {};
}

bool takes_targets(Verb verb) {
  return verb == Verb::Dump || verb == Verb::Record || verb == Verb::Watch;
}

bool is_watch_option(std::string_view name) {
  return name == "--every" || name == "--stuck-after" || name == "--record" || name == "--dir" ||
         name == "--host" || name == "--exec";
}

std::expected<void, std::string> apply_slurm_job(Options& options, ArgCursor& cursor) {
  discovery::SlurmJobRequest job;
  if (const auto text = cursor.optional_value()) {
    auto id = positive("--slurm-job", *text);
    if (!id) return std::unexpected(id.error());
    job.id = *id;
  }
  options.targets.slurm_job = job;
  return {};
}

// One option of `options.verb`; false when the verb has no such option.
std::expected<bool, std::string> apply_option(Options& options, std::string_view name,
                                              ArgCursor& cursor) {
  const Verb verb = options.verb;
  if (name == "--slurm-job" && (takes_targets(verb) || verb == Verb::List)) {
    auto applied = apply_slurm_job(options, cursor);
    if (!applied) return std::unexpected(applied.error());
    return true;
  }
  const bool flag = name == "--json" || (takes_targets(verb) && name == "--all");
  if (flag && cursor.has_inline_value()) return Failure(std::string(name) + " takes no value");
  if (flag) {
    (name == "--json" ? options.json : options.targets.all) = true;
    return true;
  }
  const bool known =
      (takes_targets(verb) && (name == "--pid" || name == "--group")) ||
      (verb == Verb::Dump && (name == "--host" || name == "--repeat" || name == "--interval")) ||
      (verb == Verb::Record && (name == "--duration" || name == "--dir")) ||
      ((verb == Verb::Dump || verb == Verb::Compare) && name == "--svg") ||
      (verb == Verb::Watch && is_watch_option(name));
  if (!known) return false;
  auto value = cursor.value(name);
  if (!value) return std::unexpected(value.error());
  if (value->empty()) return Failure(std::string(name) + " needs a non-empty value");
  if (auto stored = store_value(options, name, *value); !stored) {
    return std::unexpected(stored.error());
  }
  return true;
}

}  // namespace

std::optional<Verb> parse_verb(std::string_view word) {
  if (word == "list") return Verb::List;
  if (word == "dump") return Verb::Dump;
  if (word == "record") return Verb::Record;
  if (word == "compare") return Verb::Compare;
  if (word == "watch") return Verb::Watch;
  return std::nullopt;
}

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
  Options options;
  const auto verb = args.empty() ? std::nullopt : parse_verb(args.front());
  if (!verb) return Failure("unknown command");
  options.verb = *verb;
  ArgCursor cursor(args.subspan(1));
  while (!cursor.done()) {
    const std::string_view name = cursor.next();
    if (name == "--help" || name == "-h") {
      options.help = true;
      return options;
    }
    if (options.verb == Verb::Compare && (name == "-" || !name.starts_with("-"))) {
      options.files.emplace_back(name);
      continue;
    }
    auto applied = apply_option(options, name, cursor);
    if (!applied) return std::unexpected(applied.error());
    if (!*applied) {
      return Failure((name.starts_with("-") ? "unknown option '" : "unexpected argument '") +
                     std::string(name) + "'");
    }
  }
  if (takes_targets(options.verb) && options.targets.empty()) {
    return Failure("name the processes with --pid PID, --group KEY, --all or --slurm-job [ID]");
  }
  if (options.verb == Verb::Record || options.verb == Verb::Watch) {
    if (auto checked = check_dir(options.dir); !checked) return std::unexpected(checked.error());
  }
  return options;
}

std::string usage_text() {
  return "stackpeek list [--json] [--slurm-job [ID]]\n"
         "stackpeek dump TARGET... [--json] [--host NAME] [--repeat N] [--interval S]\n"
         "               [--svg FILE]\n"
         "stackpeek record TARGET... [--duration S] [--dir DIR] [--json]\n"
         "stackpeek compare [FILE...] [--json] [--svg FILE]\n"
         "stackpeek watch TARGET... [--every S] [--stuck-after S] [--record S] [--dir DIR]\n"
         "                [--json] [--host NAME] [--exec CMD]\n"
         "TARGET: --pid PID (repeatable), --group KEY (repeatable; see `stackpeek list`),\n"
         "        --all or --slurm-job [ID] (a Slurm job's Python processes on this node;\n"
         "        ID defaults to SLURM_JOB_ID)\n"
         "--host NAME defaults to SLURMD_NODENAME when set, else the host name\n"
         "--svg FILE also writes the stacks as one flame graph of the group\n" +
         fmt::format("S: whole seconds from 1 to {}; N: 1 to {}\n", kMaxSeconds, kMaxRepeat);
}

}  // namespace stackpeek::cli
