#include "discovery/environ_values.h"

#include <cstdlib>

#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::discovery {
namespace {

std::optional<std::string>* environ_field(EnvironValues& values, std::string_view key) {
  TorchInfo& torch = values.torch;
  if (key == "RANK") return &torch.rank;
  if (key == "LOCAL_RANK") return &torch.local_rank;
  if (key == "WORLD_SIZE") return &torch.world_size;
  if (key == "MASTER_ADDR") return &torch.master_addr;
  if (key == "MASTER_PORT") return &torch.master_port;
  if (key == "SLURM_JOB_ID") return &values.slurm.job_id;
  if (key == "SLURMD_NODENAME") return &values.slurm.node_name;
  return nullptr;
}

std::optional<std::string> own_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return utf8::decode_lossy(value);
}

}  // namespace

EnvironValues environ_values(std::string_view environ) {
  EnvironValues values;
  for (const std::string_view entry : split_nul(environ)) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    // Keys are compared as raw bytes: a key with bytes that are not UTF-8 would decode to
    // text with U+FFFD, which matches none of the names either.
    if (auto* field = environ_field(values, entry.substr(0, equals))) {
      *field = utf8::decode_lossy(entry.substr(equals + 1));
    }
  }
  return values;
}

SlurmInfo own_slurm_info() {
  return {own_variable("SLURM_JOB_ID"), own_variable("SLURMD_NODENAME")};
}

}  // namespace stackpeek::discovery
