#include "tasks/permission_advice.h"

#include <gtest/gtest.h>

#include "tasks/test_support.h"

namespace stackpeek::tasks {
namespace {

using testing::TempDir;
using testing::write_file;

constexpr uid_t kUser = 1000;
constexpr uint32_t kMine = 10, kRoots = 4242;

class PermissionAdviceTest : public ::testing::Test {
 protected:
  PtraceContext context(const char* scope) {
    if (scope) write_file(tmp_ / "ptrace_scope", scope);
    return PtraceContext{.scope_file = (tmp_ / "ptrace_scope").string(),
                         .euid = kUser,
                         .process_owner = [](uint32_t pid) -> std::optional<uid_t> {
                           if (pid == kMine) return kUser;
                           if (pid == kRoots) return 0;
                           return std::nullopt;
                         }};
  }
  TempDir tmp_;
};

SudoInvocation invocation(const char* py_spy) {
  return SudoInvocation{.self = "/usr/bin/stackpeek",
                        .args = {"dump", "--pid", "4242"},
                        .py_spy = py_spy,
                        .user_path = "/home/u/.local/bin:/usr/bin"};
}

TEST_F(PermissionAdviceTest, CauseFollowsOwnerThenYama) {
  EXPECT_EQ(denial_cause(kRoots, context("0")), DenialCause::OtherUser);
  EXPECT_EQ(denial_cause(kRoots, context("1")), DenialCause::OtherUser);
  EXPECT_EQ(denial_cause(kMine, context("1")), DenialCause::Yama);
  EXPECT_EQ(denial_cause(kMine, context("0")), DenialCause::Unknown);
  EXPECT_EQ(denial_cause(kMine, context(nullptr)), DenialCause::Unknown);
  auto root = context("1");
  root.euid = 0;
  EXPECT_EQ(denial_cause(kRoots, root), DenialCause::AsRoot);
  // A process that is gone counts as one's own: Yama may still explain it.
  EXPECT_EQ(denial_cause(99, context("2")), DenialCause::Yama);
}

TEST(PermissionAdvice, AnotherUsersProcessGetsOnlySudo) {
  const std::string text =
      denial_advice(DenialCause::OtherUser, {4242}, invocation("/usr/bin/py-spy"), 1);
  EXPECT_EQ(text,
            "pid 4242 runs as another user; only root may read its memory: sudo stackpeek dump "
            "--pid 4242");
  EXPECT_EQ(text.find("ptrace_scope"), std::string::npos);
  const std::string own =
      denial_advice(DenialCause::Yama, {7, 8}, invocation("/usr/bin/py-spy"), 1);
  EXPECT_NE(own.find("kernel.yama.ptrace_scope=1 keeps py-spy from reading pids 7, 8"),
            std::string::npos);
  EXPECT_NE(own.find("sudo sysctl kernel.yama.ptrace_scope=0"), std::string::npos);
}

TEST(PermissionAdvice, PySpyHiddenBySecurePathKeepsTheUsersPath) {
  const auto hidden = invocation("/home/u/.local/bin/py-spy");
  EXPECT_TRUE(hidden_from_sudo(hidden));
  EXPECT_EQ(sudo_command_line(hidden), "sudo env \"PATH=$PATH\" stackpeek dump --pid 4242");
  EXPECT_NE(
      denial_advice(DenialCause::Unknown, {4242}, hidden, std::nullopt).find("sudo resets PATH"),
      std::string::npos);
  // Next to stackpeek, root finds it; stackpeek outside secure_path goes by its full path.
  auto beside = invocation("/opt/sp/py-spy");
  beside.self = "/opt/sp/stackpeek";
  EXPECT_FALSE(hidden_from_sudo(beside));
  EXPECT_EQ(sudo_command_line(beside), "sudo /opt/sp/stackpeek dump --pid 4242");
}

TEST(PermissionAdvice, OnlyARefusedSudoCommandWantedThePassword) {
  RunRecord record{"sudo -n /bin/py-spy dump --pid 1", "", "sudo: a password is required\n",
                   RunStatus::Failure};
  EXPECT_TRUE(sudo_wanted_password(record));
  record.command_line = "/bin/py-spy dump --pid 1";
  EXPECT_FALSE(sudo_wanted_password(record));
}

}  // namespace
}  // namespace stackpeek::tasks
