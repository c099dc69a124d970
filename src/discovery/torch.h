#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/process_info.h"

namespace stackpeek::discovery {

/// True for arguments beginning with --local-rank, --local_rank or --rank (any case).
bool is_rank_argument(std::string_view argument);

/// The rank as a number for ordering; absent or malformed text gives 4294967295.
uint32_t parse_rank(const std::optional<std::string>& text);

/// The torch values of an environment block, as `environ_values` reads them.
TorchInfo torch_from_environ(std::string_view environ);

}  // namespace stackpeek::discovery
