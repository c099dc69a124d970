#include "report/report_sections.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "common/utf8.h"
#include "common/util.h"
#include "report/group_svg.h"
#include "stacks/comparison_text.h"
#include "stacks/profile_compare.h"
#include "stacks/stack_compare.h"

namespace stackpeek::report {
namespace {

constexpr size_t kTopFunctions = 10;
constexpr size_t kSummaryFunctions = 5;
constexpr size_t kStackFrames = 6;
constexpr size_t kDifferences = 5;
constexpr size_t kSummaryDifferences = 3;
// A function's share must differ by this many points to count as a difference.
constexpr double kMinSpread = 10.0;

// Text for one Markdown line: valid UTF-8, control characters as "\n", "\t" or "\xNN".
std::string one_line(std::string_view text) {
  std::string out;
  for (const char c : utf8::decode_lossy(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += fmt::format("\\x{:02x}", byte);
    } else {
      out += c;
    }
  }
  return out;
}

// The text as a Markdown code span that survives a table cell: fenced by more backticks
// than it holds in a row, with "|" escaped.
std::string code_span(std::string_view text) {
  std::string body;
  size_t run = 0, longest = 0;
  for (const char c : one_line(text)) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
    body += c == '|' ? std::string("\\|") : std::string(1, c);
  }
  const std::string fence(longest + 1, '`');
  const bool pad = body.starts_with('`') || body.ends_with('`') || body.empty();
  return pad ? fence + " " + body + " " + fence : fence + body + fence;
}

std::string seconds_text(double seconds) {
  return std::abs(seconds - std::round(seconds)) < 0.05 ? fmt::format("{:.0f}", seconds)
                                                        : fmt::format("{:.1f}", seconds);
}

std::string rank_text(const discovery::TargetProcess& process) {
  if (!process.rank) return "-";
  return process.world_size ? fmt::format("{}/{}", *process.rank, *process.world_size)
                            : fmt::format("{}/?", *process.rank);
}

std::string who(const ProcessFacts& facts) {
  const auto& process = facts.process;
  return process.rank ? fmt::format("pid {} (rank {})", process.pid, rank_text(process))
                      : fmt::format("pid {}", process.pid);
}

std::string outcome_text(const ProcessFacts& facts) {
  std::string text = facts.outcome;
  if (facts.signal) {
    const std::string_view name = signal_name(*facts.signal);
    text += name.empty() ? fmt::format(", signal {}", *facts.signal)
                         : fmt::format(", signal {} ({})", *facts.signal, name);
  } else if (facts.exit_code && *facts.exit_code != 0) {
    text += fmt::format(", exit code {}", *facts.exit_code);
  }
  if (facts.canceled) text += ", canceled";
  return text + fmt::format(", {} s of {} s", seconds_text(facts.duration_s),
                            seconds_text(facts.duration_requested_s));
}

std::string cut(std::string text, size_t width) {
  if (width == 0 || utf8::char_count(text) <= width) return text;
  text.resize(utf8::byte_offset(text, width - 1));
  return text + std::string(kEllipsis);
}

void add_final_lines(std::vector<std::string>& lines, const FinalStacks& final, size_t width) {
  for (auto& line : final_stack_lines(final, width)) lines.push_back(one_line(line));
}

// The members that have a profile, for the comparisons.
std::vector<stacks::ProfileMember> profile_members(const std::vector<ProcessFacts>& facts) {
  std::vector<stacks::ProfileMember> members;
  for (const auto& f : facts) {
    if (f.profile.summary && !f.profile.summary->heaviest_stack.empty())
      members.push_back({f.process.pid, f.process.rank, &*f.profile.summary});
  }
  return members;
}

std::vector<std::string> grouping_lines(const std::vector<stacks::ProfileMember>& members,
                                        size_t width) {
  std::vector<stacks::DumpResult> results;
  for (const auto& member : members) {
    stacks::DumpResult result;
    result.pid = member.pid;
    result.rank = member.rank;
    result.dump = stacks::heaviest_stack_dump(*member.summary);
    results.push_back(std::move(result));
  }
  auto lines = stacks::comparison_lines(stacks::compare_stacks(results), results, width);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::vector<std::string> missing_profile_lines(const std::vector<ProcessFacts>& facts,
                                               size_t width) {
  std::vector<std::string> lines;
  for (const auto& f : facts) {
    if (f.profile.summary) continue;
    const std::string why = f.profile.note.empty() ? "no flame graph" : f.profile.note;
    lines.push_back(cut(one_line(fmt::format("{}: no profile ({})", who(f), why)), width));
  }
  return lines;
}

void add_function_table(std::vector<std::string>& lines, const stacks::ProfileSummary& summary) {
  lines.insert(lines.end(), {"| own % | total % | function |", "| ---: | ---: | --- |"});
  for (size_t i = 0; i < summary.functions.size() && i < kTopFunctions; ++i) {
    const auto& function = summary.functions[i];
    if (function.own == 0) break;
    lines.push_back(
        fmt::format("| {:.1f} | {:.1f} | {} |", stacks::percent(function.own, summary.samples),
                    stacks::percent(function.total, summary.samples), code_span(function.name)));
  }
}

void add_heaviest_stack(std::vector<std::string>& lines, const stacks::ProfileSummary& summary) {
  lines.push_back(fmt::format(
      "Heaviest stack ({} samples, {:.1f} %), innermost first:", summary.heaviest_samples,
      stacks::percent(summary.heaviest_samples, summary.samples)));
  lines.emplace_back();
  lines.emplace_back("```text");
  const auto& stack = summary.heaviest_stack;
  for (size_t i = 0; i < stack.size() && i < kStackFrames; ++i) lines.push_back(one_line(stack[i]));
  if (stack.size() > kStackFrames)
    lines.push_back(fmt::format("… {} more frames", stack.size() - kStackFrames));
  lines.emplace_back("```");
}

}  // namespace

std::vector<std::string> processes_section(const std::vector<ProcessFacts>& facts) {
  std::vector<std::string> lines = {"## Processes", "",
                                    "| pid | rank | host | runtime | samples | outcome | command |",
                                    "| ---: | --- | --- | --- | ---: | --- | --- |"};
  for (const auto& f : facts) {
    const auto& p = f.process;
    lines.push_back(fmt::format("| {} | {} | {} | {} | {} | {} | {} |", p.pid, rank_text(p),
                                code_span(f.host), p.runtime.empty() ? "-" : code_span(p.runtime),
                                f.samples ? std::to_string(*f.samples) : "-", outcome_text(f),
                                p.command.empty() ? "-" : code_span(shell_join(p.command))));
  }
  bool first = true;
  for (const auto& f : facts) {
    if (!f.meaning) continue;
    if (std::exchange(first, false)) lines.emplace_back();
    lines.push_back(fmt::format("- {}: {}", who(f), one_line(*f.meaning)));
  }
  // py-spy leaves idle samples out: the counts against those expected say who was idle.
  first = true;
  for (const auto& f : facts) {
    if (!f.samples_expected) continue;
    if (std::exchange(first, false)) lines.emplace_back();
    lines.push_back(fmt::format("- {}: {}", who(f), samples_text(f)));
  }
  lines.emplace_back();
  return lines;
}

std::vector<std::string> time_section(const std::vector<ProcessFacts>& facts) {
  std::vector<std::string> lines = {"## Where the time went", ""};
  for (const auto& f : facts) {
    lines.push_back("### " + who(f));
    lines.emplace_back();
    if (!f.profile.summary) {
      lines.push_back("No profile: " +
                      one_line(f.profile.note.empty() ? "no flame graph" : f.profile.note));
      lines.emplace_back();
      continue;
    }
    const auto& summary = *f.profile.summary;
    std::string counted = plural(summary.samples, "sample", "samples");
    if (const auto idle = idle_percent(f)) {
      counted += fmt::format(
          " of {} expected: idle {:.0f} % of the time, so the shares below are of the {:.0f} % "
          "it ran",
          *f.samples_expected, *idle, 100.0 - *idle);
    }
    lines.push_back(
        f.profile.folded.empty()
            ? fmt::format("{}; folded stacks not written: {}.", counted, one_line(f.profile.note))
            : fmt::format("{}; folded stacks in `{}`.", counted, f.profile.folded));
    lines.emplace_back();
    add_function_table(lines, summary);
    lines.emplace_back();
    add_heaviest_stack(lines, summary);
    lines.emplace_back();
  }
  return lines;
}

std::vector<std::string> group_section(const std::vector<ProcessFacts>& facts,
                                       const FinalStacks* final) {
  if (facts.size() < 2) return {};
  std::vector<std::string> lines = {"## Across the group", ""};
  const auto members = profile_members(facts);
  if (members.size() < 2 && final) {
    lines.insert(lines.end(), {"Fewer than two processes have a profile (py-spy leaves idle "
                               "samples out), so the processes are compared by their stacks "
                               "when sampling ended, odd ones first:",
                               "", "```text"});
    add_final_lines(lines, *final, 0);
    lines.insert(lines.end(), {"```"});
  } else if (members.size() < 2) {
    lines.push_back("Fewer than two processes have a profile: nothing to compare.");
  } else {
    lines.push_back(
        fmt::format("The whole group as one flame graph, coloured by where the odd "
                    "ones spend more time: [{0}]({0}).",
                    kGroupSvgName));
    lines.emplace_back();
    lines.insert(lines.end(),
                 {"Processes grouped by their heaviest stack, odd ones first:", "", "```text"});
    for (auto& line : grouping_lines(members, 0)) lines.push_back(one_line(line));
    lines.insert(lines.end(), {"```", ""});
    const auto differences = stacks::differing_functions(members, kMinSpread, kDifferences);
    if (differences.empty()) {
      lines.push_back(
          fmt::format("No function's share of the samples differs by {:.0f} points or more between "
                      "processes.",
                      kMinSpread));
    } else {
      lines.push_back("Functions whose share of the samples (total %) differs most:");
      lines.emplace_back();
      for (const auto& difference : differences) {
        lines.push_back(fmt::format("- {}: {}", code_span(difference.function),
                                    stacks::share_text(difference, members)));
      }
    }
  }
  const auto missing = missing_profile_lines(facts, 0);
  if (!missing.empty()) lines.emplace_back();
  for (const auto& line : missing) lines.push_back("- " + line);
  lines.emplace_back();
  return lines;
}

std::vector<std::string> summary_lines(const std::vector<ProcessFacts>& facts, size_t width,
                                       const FinalStacks* final) {
  std::vector<std::string> lines;
  const auto members = profile_members(facts);
  if (facts.size() >= 2 && final) {
    lines.emplace_back("Stacks when sampling ended:");
    if (auto odd = odd_one_out_text(*final)) lines.push_back(cut(one_line(*odd), width));
    add_final_lines(lines, *final, width);
  }
  if (facts.size() >= 2 && members.size() >= 2) {
    lines.push_back("Heaviest stacks:");
    for (auto& line : grouping_lines(members, width)) lines.push_back(std::move(line));
    const auto differences = stacks::differing_functions(members, kMinSpread, kSummaryDifferences);
    if (!differences.empty()) lines.push_back("Functions that differ most (total %):");
    for (const auto& difference : differences) {
      lines.push_back(cut(one_line(fmt::format("    {}: {}", difference.function,
                                               stacks::share_text(difference, members))),
                          width));
    }
  } else if (facts.size() == 1 && members.size() == 1) {
    const auto& summary = *members.front().summary;
    lines.push_back(fmt::format("Top functions of {} ({}), own % and total %:", who(facts.front()),
                                samples_text(facts.front())));
    for (size_t i = 0; i < summary.functions.size() && i < kSummaryFunctions; ++i) {
      const auto& function = summary.functions[i];
      if (function.own == 0) break;
      lines.push_back(cut(
          one_line(fmt::format("  {:5.1f} {:5.1f}  {}",
                               stacks::percent(function.own, summary.samples),
                               stacks::percent(function.total, summary.samples), function.name)),
          width));
    }
  }
  for (auto& line : missing_profile_lines(facts, width)) lines.push_back(std::move(line));
  if (!lines.empty()) lines.emplace_back();
  return lines;
}

std::string samples_text(const ProcessFacts& facts) {
  std::string text =
      facts.samples ? plural(*facts.samples, "sample", "samples") : std::string("no samples");
  if (!facts.samples_expected) return text;
  text += fmt::format(" of {} expected", *facts.samples_expected);
  if (const auto idle = idle_percent(facts))
    text += fmt::format(", idle {:.0f} % of the time", *idle);
  return text;
}

std::string canceled_text(const RecordRun& run) {
  return fmt::format("Canceled after {:.0f} s of {:.0f}", run.duration_s, run.duration_requested_s);
}

}  // namespace stackpeek::report
