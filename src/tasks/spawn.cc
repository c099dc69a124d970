#include "tasks/spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

extern char** environ;

namespace stackpeek::tasks {
namespace {

// The child runs on this stack in the parent's memory until it executes the program; it
// calls nothing that allocates, so a small one serves.
constexpr size_t kChildStackSize = 64 * 1024;

// What the child reads before it executes the program, and where it leaves the errno of a
// failed step; prepared by the parent, since the child may not allocate.
struct ChildPlan {
  const ChildSetup* setup;
  const char* path;
  std::vector<char*> argv;
  pid_t parent;
  int error;
};

// The kernel's sigaction for SIG_DFL: handler 0, no flags, no restorer, empty mask.
struct KernelSigaction {
  uint64_t words[4] = {};
};
constexpr size_t kKernelSigsetSize = 8;

// Runs in the child, sharing the parent's memory while the parent waits. It makes only raw
// system calls: the C library's wrappers may be intercepted (by sanitizers) with state that
// lives in that shared memory.
__attribute__((no_sanitize("address", "thread", "undefined"))) int child_main(void* raw) {
  auto& plan = *static_cast<ChildPlan*>(raw);
  const ChildSetup& setup = *plan.setup;
  const auto fail = [&plan] {
    plan.error = errno;
    syscall(SYS_exit, 127);
    return 127;
  };
  const KernelSigaction default_action;
  for (int sig = 1; sig < NSIG; ++sig) {
    // SIGKILL and SIGSTOP refuse, and need no reset.
    syscall(SYS_rt_sigaction, sig, &default_action, nullptr, kKernelSigsetSize);
  }
  if (setup.death_signal != 0) {
    if (syscall(SYS_prctl, PR_SET_PDEATHSIG, setup.death_signal, 0, 0, 0) != 0) return fail();
    // The parent may have died before the signal was set; then nobody would send it.
    if (syscall(SYS_getppid) != plan.parent) syscall(SYS_exit, 127);
  }
  if (setup.own_session && syscall(SYS_setsid) < 0) return fail();
  if (setup.own_process_group && syscall(SYS_setpgid, 0, 0) < 0) return fail();
  // dup3 clears close-on-exec on the targets; every other descriptor closes at exec.
  if (syscall(SYS_dup3, setup.stdin_fd, STDIN_FILENO, 0) < 0 ||
      syscall(SYS_dup3, setup.stdout_fd, STDOUT_FILENO, 0) < 0 ||
      syscall(SYS_dup3, setup.stderr_fd, STDERR_FILENO, 0) < 0) {
    return fail();
  }
  if (setup.own_session && syscall(SYS_ioctl, STDIN_FILENO, TIOCSCTTY, 0) != 0) return fail();
  const uint64_t no_signals = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signals, nullptr, kKernelSigsetSize);
  syscall(SYS_execve, plan.path, plan.argv.data(), environ);
  return fail();
}

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

int above_std_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int err = errno;
  close(fd);
  errno = err;
  return moved;
}

std::expected<std::string, int> resolve_program(const std::string& program, bool search_path) {
  if (program.find('/') != std::string::npos) return program;
  if (!search_path) return "./" + program;
  const char* path_env = std::getenv("PATH");
  const std::string_view path_list = path_env ? path_env : "/bin:/usr/bin";
  for (size_t start = 0;;) {
    const size_t colon = path_list.find(':', start);
    const std::string_view dir = path_list.substr(start, colon - start);
    std::string candidate = dir.empty() ? program : std::string(dir) + "/" + program;
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::unexpected(ENOENT);
    start = colon + 1;
  }
}

// ThreadSanitizer takes every clone for a fork and runs its fork handlers in the child: a
// child sharing our memory would rewrite the parent's race-detector state. Under it the
// child gets a copy of the memory instead (an exec failure then shows as exit status 127).
#if defined(__SANITIZE_THREAD__)
constexpr int kShareMemory = 0;
#else
constexpr int kShareMemory = CLONE_VM;
#endif

// clone with CLONE_VM | CLONE_VFORK, as the C library's posix_spawn does: no copy of the
// parent's memory, and the parent resumes once the child has executed the program or
// failed. All signals stay blocked meanwhile, so no handler of ours runs in the child.
std::expected<pid_t, int> spawn_child(const ChildSetup& setup) {
  ChildPlan plan{&setup, setup.path.c_str(), {}, getpid(), 0};
  plan.argv.reserve(setup.argv.size() + 1);
  for (const auto& arg : setup.argv) plan.argv.push_back(const_cast<char*>(arg.c_str()));
  plan.argv.push_back(nullptr);
  const auto stack = std::make_unique_for_overwrite<char[]>(kChildStackSize);
  char* stack_top = stack.get() + kChildStackSize;

  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = clone(child_main, stack_top, kShareMemory | CLONE_VFORK | SIGCHLD, &plan);
  const int clone_error = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return std::unexpected(clone_error);
  if (plan.error != 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return std::unexpected(plan.error);
  }
  return pid;
}

}  // namespace stackpeek::tasks
