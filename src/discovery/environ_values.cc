#include "discovery/environ_values.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::discovery {
namespace {

using LauncherField = std::optional<std::string> LauncherVars::*;

constexpr std::array<std::pair<std::string_view, LauncherField>, 17> kLauncherFields = {{
    {"SLURM_STEP_ID", &LauncherVars::slurm_step_id},
    {"SLURM_PROCID", &LauncherVars::slurm_procid},
    {"SLURM_NTASKS", &LauncherVars::slurm_ntasks},
    {"SLURM_LOCALID", &LauncherVars::slurm_localid},
    {"OMPI_COMM_WORLD_RANK", &LauncherVars::ompi_rank},
    {"OMPI_COMM_WORLD_SIZE", &LauncherVars::ompi_size},
    {"OMPI_COMM_WORLD_LOCAL_RANK", &LauncherVars::ompi_local_rank},
    {"PMIX_NAMESPACE", &LauncherVars::pmix_namespace},
    {"OMPI_MCA_ess_base_jobid", &LauncherVars::ompi_jobid},
    {"PMI_RANK", &LauncherVars::pmi_rank},
    {"PMI_SIZE", &LauncherVars::pmi_size},
    {"MPI_LOCALRANKID", &LauncherVars::mpi_local_rank},
    {"HOROVOD_RANK", &LauncherVars::horovod_rank},
    {"HOROVOD_SIZE", &LauncherVars::horovod_size},
    {"HOROVOD_LOCAL_RANK", &LauncherVars::horovod_local_rank},
    {"HOROVOD_GLOO_RENDEZVOUS_ADDR", &LauncherVars::gloo_addr},
    {"HOROVOD_GLOO_RENDEZVOUS_PORT", &LauncherVars::gloo_port},
}};

std::optional<std::string>* environ_field(EnvironValues& values, std::string_view key) {
  TorchInfo& torch = values.torch;
  if (key == "RANK") return &torch.rank;
  if (key == "LOCAL_RANK") return &torch.local_rank;
  if (key == "WORLD_SIZE") return &torch.world_size;
  if (key == "MASTER_ADDR") return &torch.master_addr;
  if (key == "MASTER_PORT") return &torch.master_port;
  if (key == "SLURM_JOB_ID") return &values.slurm.job_id;
  if (key == "SLURMD_NODENAME") return &values.slurm.node_name;
  for (const auto& [name, field] : kLauncherFields) {
    if (key == name) return &(values.launcher.*field);
  }
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
