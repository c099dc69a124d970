#include "discovery/torch.h"

#include <limits>

#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::discovery {
namespace {

constexpr uint32_t kNoRank = std::numeric_limits<uint32_t>::max();

std::optional<std::string>* torch_field(TorchInfo& torch, std::string_view key) {
  if (key == "RANK") return &torch.rank;
  if (key == "LOCAL_RANK") return &torch.local_rank;
  if (key == "WORLD_SIZE") return &torch.world_size;
  if (key == "MASTER_ADDR") return &torch.master_addr;
  if (key == "MASTER_PORT") return &torch.master_port;
  return nullptr;
}

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

TorchInfo torch_from_environ(std::string_view environ) {
  TorchInfo torch;
  for (const std::string_view entry : split_nul(environ)) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    // Keys are compared as raw bytes: a key with bytes that are not UTF-8 would decode to
    // text with U+FFFD, which matches none of the five names either.
    if (auto* field = torch_field(torch, entry.substr(0, equals))) {
      *field = utf8::decode_lossy(entry.substr(equals + 1));
    }
  }
  return torch;
}

std::string TorchInfo::rank_text() const {
  const auto or_unknown = [](const std::optional<std::string>& value) {
    return value ? *value : std::string("?");
  };
  return "rank " + or_unknown(rank) + "/" + or_unknown(world_size) + " local " +
         or_unknown(local_rank);
}

}  // namespace stackpeek::discovery
