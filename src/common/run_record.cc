#include "common/run_record.h"

#include <fmt/format.h>
#include <signal.h>

#include <array>

namespace stackpeek {
namespace {

struct SignalEntry {
  int number;
  std::string_view name;
};

#define STACKPEEK_SIGNAL(name) \
  SignalEntry { name, #name }
// The standard signals by their numbers on this machine; no glibc-only sigabbrev_np.
constexpr std::array kSignals = {
    STACKPEEK_SIGNAL(SIGHUP),    STACKPEEK_SIGNAL(SIGINT),  STACKPEEK_SIGNAL(SIGQUIT),
    STACKPEEK_SIGNAL(SIGILL),    STACKPEEK_SIGNAL(SIGTRAP), STACKPEEK_SIGNAL(SIGABRT),
    STACKPEEK_SIGNAL(SIGBUS),    STACKPEEK_SIGNAL(SIGFPE),  STACKPEEK_SIGNAL(SIGKILL),
    STACKPEEK_SIGNAL(SIGUSR1),   STACKPEEK_SIGNAL(SIGSEGV), STACKPEEK_SIGNAL(SIGUSR2),
    STACKPEEK_SIGNAL(SIGPIPE),   STACKPEEK_SIGNAL(SIGALRM), STACKPEEK_SIGNAL(SIGTERM),
    STACKPEEK_SIGNAL(SIGCHLD),   STACKPEEK_SIGNAL(SIGCONT), STACKPEEK_SIGNAL(SIGSTOP),
    STACKPEEK_SIGNAL(SIGTSTP),   STACKPEEK_SIGNAL(SIGTTIN), STACKPEEK_SIGNAL(SIGTTOU),
    STACKPEEK_SIGNAL(SIGURG),    STACKPEEK_SIGNAL(SIGXCPU), STACKPEEK_SIGNAL(SIGXFSZ),
    STACKPEEK_SIGNAL(SIGVTALRM), STACKPEEK_SIGNAL(SIGPROF), STACKPEEK_SIGNAL(SIGWINCH),
    STACKPEEK_SIGNAL(SIGSYS),
#ifdef SIGSTKFLT
    STACKPEEK_SIGNAL(SIGSTKFLT),
#endif
#ifdef SIGPWR
    STACKPEEK_SIGNAL(SIGPWR),
#endif
    SignalEntry{SIGIO, "SIGIO"},
};
#undef STACKPEEK_SIGNAL

}  // namespace

std::string_view signal_name(int signal) {
  for (const auto& entry : kSignals) {
    if (entry.number == signal) return entry.name;
  }
  return {};
}

std::optional<std::string> failure_detail(const RunRecord& record) {
  if (record.status != RunStatus::Failure) return std::nullopt;
  if (record.signal) {
    const std::string_view name = signal_name(*record.signal);
    if (name.empty()) return fmt::format("signal: {}", *record.signal);
    return fmt::format("signal: {} ({})", *record.signal, name);
  }
  if (record.exit_code) return fmt::format("exit code: {}", *record.exit_code);
  return std::nullopt;
}

}  // namespace stackpeek
