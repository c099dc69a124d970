#include "discovery/torch.h"

#include <limits>

#include "common/util.h"
#include "discovery/environ_values.h"

namespace stackpeek::discovery {
namespace {

constexpr uint32_t kNoRank = std::numeric_limits<uint32_t>::max();

}  // namespace

bool is_rank_argument(std::string_view argument) {
  const std::string lower = ascii_lower(argument);
  return lower.starts_with("--local-rank") || lower.starts_with("--local_rank") ||
         lower.starts_with("--rank");
}

uint32_t parse_rank(const std::optional<std::string>& text) {
  if (!text) return kNoRank;
  return static_cast<uint32_t>(parse_unsigned(*text, kNoRank).value_or(kNoRank));
}

TorchInfo torch_from_environ(std::string_view environ) { return environ_values(environ).torch; }

std::string TorchInfo::rank_text() const {
  const auto or_unknown = [](const std::optional<std::string>& value) {
    return value ? *value : std::string("?");
  };
  return "rank " + or_unknown(rank) + "/" + or_unknown(world_size) + " local " +
         or_unknown(local_rank);
}

}  // namespace stackpeek::discovery
