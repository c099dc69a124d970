#include "tasks/top_relay.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "common/util.h"
#include "tasks/spawn.h"

namespace stackpeek::tasks {
namespace {

constexpr int kRelayPollMs = 100;
constexpr int kRelayUsage = 2;
constexpr size_t kRelayReadSize = 16 * 1024;

volatile std::sig_atomic_t g_relay_stop = 0;

extern "C" void relay_stop(int) { g_relay_stop = 1; }

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = relay_stop;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Applies every whole request line in `pending`; what follows the last line feed stays.
void apply_requests(std::string& pending, int master_fd) {
  size_t end = 0;
  while ((end = pending.find('\n')) != std::string::npos) {
    if (const auto size = parse_resize_request(std::string_view(pending).substr(0, end))) {
      set_window_size(master_fd, *size);
    }
    pending.erase(0, end + 1);
  }
}

int exit_status(int wait_status) {
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1;
}

// Copies py-spy's terminal to standard output and requests from standard input to the
// terminal's size, until py-spy's terminal ends, standard input ends, or a stop signal.
void relay(int master_fd) {
  std::array<pollfd, 2> fds{pollfd{master_fd, POLLIN, 0}, pollfd{STDIN_FILENO, POLLIN, 0}};
  std::array<char, kRelayReadSize> buffer{};
  std::string pending;
  while (g_relay_stop == 0) {
    if (poll(fds.data(), fds.size(), kRelayPollMs) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      const ssize_t n = read(master_fd, buffer.data(), buffer.size());
      // A pseudo-terminal's master tells the end (no slave side left open) by EIO.
      if (n <= 0 && !(n < 0 && errno == EINTR)) return;
      if (n > 0 && !write_all(STDOUT_FILENO, std::string_view(buffer.data(), n))) return;
    }
    if (fds[1].revents != 0) {
      const ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n == 0 || (n < 0 && errno != EINTR)) return;
      if (n > 0) pending.append(buffer.data(), static_cast<size_t>(n));
      apply_requests(pending, master_fd);
    }
  }
}

}  // namespace

ProcessSpec top_relay_process(const SpyCommand& command, WindowSize size) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = "stackpeek";
  std::vector<std::string> args{"-n",
                                self.native(),
                                std::string(kTopRelayArgument),
                                std::to_string(size.rows),
                                std::to_string(size.cols),
                                command.program.native()};
  args.insert(args.end(), command.args.begin(), command.args.end());
  auto process = to_process(command);
  process.args = std::move(args);
  return process;
}

std::string resize_request(WindowSize size) { return fmt::format("{} {}\n", size.rows, size.cols); }

std::optional<WindowSize> parse_resize_request(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  const auto rows = parse_unsigned(line.substr(0, blank), UINT16_MAX);
  const auto cols = parse_unsigned(line.substr(blank + 1), UINT16_MAX);
  if (!rows || !cols || *rows == 0 || *cols == 0) return std::nullopt;
  return WindowSize{.rows = static_cast<uint16_t>(*rows), .cols = static_cast<uint16_t>(*cols)};
}

int run_top_relay(std::span<const std::string_view> args) {
  if (args.size() < 3) return kRelayUsage;
  const auto size = parse_resize_request(fmt::format("{} {}", args[0], args[1]));
  if (!size) return kRelayUsage;
  // sudo relays SIGTERM; should sudo itself vanish, the relay goes too.
  catch_stop_signals();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  signal(SIGPIPE, SIG_IGN);
  auto pty = open_pty(*size);
  if (!pty) {
    fmt::print(stderr, "Error: failed to open a terminal for py-spy top: {}\n",
               std::strerror(pty.error()));
    return 1;
  }
  UniqueFd err(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  ChildSetup setup{.path = std::string(args[2]),
                   .argv = std::vector<std::string>(args.begin() + 2, args.end()),
                   .stdin_fd = pty->slave.get(),
                   .stdout_fd = pty->slave.get(),
                   .stderr_fd = err.get(),
                   .own_session = true,
                   .death_signal = SIGKILL};
  const auto child = spawn_child(setup);
  if (!child) {
    fmt::print(stderr, "Error: failed to start {}: {}\n", args[2], std::strerror(child.error()));
    return 1;
  }
  pty->slave.reset();
  err.reset();
  relay(pty->master.get());
  kill(*child, SIGKILL);
  int status = 0;
  while (waitpid(*child, &status, 0) < 0 && errno == EINTR) {
  }
  return exit_status(status);
}

}  // namespace stackpeek::tasks
