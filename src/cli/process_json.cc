#include "cli/process_json.h"

#include <limits>

#include "common/util.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;

json path_or_null(const discovery::PathOrMessage& value) {
  return value.is_path() ? json(path_text(value.value)) : json(nullptr);
}

json text_or_null(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json number_or_null(const std::optional<std::string>& text) {
  const auto value =
      text ? parse_unsigned(*text, std::numeric_limits<uint32_t>::max()) : std::nullopt;
  return value ? json(*value) : json(nullptr);
}

json torch_json(const discovery::TorchInfo& torch) {
  if (!torch.has_rank_info() && !torch.master_addr && !torch.master_port) return nullptr;
  return {{"rank", number_or_null(torch.rank)},
          {"local_rank", number_or_null(torch.local_rank)},
          {"world_size", number_or_null(torch.world_size)},
          {"master_addr", text_or_null(torch.master_addr)},
          {"master_port", text_or_null(torch.master_port)}};
}

}  // namespace

json process_json(const discovery::ProcessInfo& process) {
  return {{"pid", process.pid},
          {"ppid", process.parent_pid ? json(*process.parent_pid) : json(nullptr)},
          {"name", process.name},
          {"exe", path_or_null(process.exe)},
          {"cwd", path_or_null(process.cwd)},
          {"command", process.cmd},
          {"runtime",
           {{"kind", discovery::runtime_kind_label(process.runtime.kind)},
            {"root", path_or_null(process.runtime.root)},
            {"version", text_or_null(process.runtime.version)}}},
          {"torch", torch_json(process.torch)},
          {"cpu_percent", process.cpu},
          {"memory_bytes", process.memory}};
}

json snapshot_json(const std::string& host, const std::vector<discovery::ProcessGroup>& groups) {
  json out_groups = json::array();
  for (const auto& group : groups) {
    json members = json::array();
    for (const auto& member : group.members) members.push_back(process_json(member));
    out_groups.push_back({{"key", group.key},
                          {"kind", discovery::group_kind_label(group.kind)},
                          {"label", group.full_label.empty() ? group.label : group.full_label},
                          {"members", std::move(members)}});
  }
  return {{"host", host}, {"groups", std::move(out_groups)}};
}

}  // namespace stackpeek::cli
