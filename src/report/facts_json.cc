#include "report/facts_json.h"

#include "report/json_values.h"

namespace stackpeek::report {
namespace {

using nlohmann::json;

constexpr size_t kTopFunctions = 10;

json text_or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json top_functions(const stacks::ProfileSummary& summary) {
  json out = json::array();
  for (size_t i = 0; i < summary.functions.size() && i < kTopFunctions; ++i) {
    const auto& function = summary.functions[i];
    out.push_back({{"function", function.name}, {"own", function.own}, {"total", function.total}});
  }
  return out;
}

}  // namespace

json processes_json(const std::vector<ProcessFacts>& facts) {
  json out = json::array();
  for (const auto& f : facts) {
    const auto& p = f.process;
    out.push_back({{"pid", p.pid},
                   {"rank", or_null(p.rank)},
                   {"world_size", or_null(p.world_size)},
                   {"host", f.host},
                   {"command", p.command},
                   {"runtime", text_or_null(p.runtime)},
                   {"samples", or_null(f.samples)},
                   {"samples_expected", or_null(f.samples_expected)},
                   {"idle_percent", or_null(idle_percent(f))},
                   {"outcome", f.outcome},
                   {"exit_code", or_null(f.exit_code)},
                   {"signal", or_null(f.signal)},
                   {"canceled", f.canceled},
                   {"duration_requested_s", f.duration_requested_s},
                   {"duration_s", f.duration_s},
                   {"meaning", or_null(f.meaning)}});
  }
  return out;
}

json profiles_json(const std::vector<ProcessFacts>& facts) {
  json out = json::array();
  for (const auto& f : facts) {
    json profile = {{"pid", f.process.pid},
                    {"folded", text_or_null(f.profile.folded)},
                    {"note", text_or_null(f.profile.note)},
                    {"samples", nullptr},
                    {"top_functions", json::array()},
                    {"heaviest_stack", json::array()},
                    {"heaviest_samples", nullptr}};
    if (const auto& summary = f.profile.summary) {
      profile["samples"] = summary->samples;
      profile["top_functions"] = top_functions(*summary);
      profile["heaviest_stack"] = summary->heaviest_stack;
      profile["heaviest_samples"] = summary->heaviest_samples;
    }
    out.push_back(std::move(profile));
  }
  return out;
}

}  // namespace stackpeek::report
