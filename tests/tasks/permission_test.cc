#include "tasks/permission.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tasks/test_support.h"

namespace stackpeek::tasks {
namespace {

using testing::TempDir;
using testing::write_file;

constexpr uid_t kUser = 1000;

const std::string kGeneral =
    "py-spy needs permission to read another process memory.\n\n"
    "Linux rootless option for same-user profiling:\n"
    "sudo sysctl kernel.yama.ptrace_scope=0\n\n"
    "Persistent setup:\n"
    "echo 'kernel.yama.ptrace_scope=0' | sudo tee /etc/sysctl.d/10-stackpeek.conf\n"
    "sudo sysctl --system\n\n"
    "Press Enter to use sudo now, or Esc to cancel.";

std::string with_value(const std::string& value) {
  return "py-spy needs permission to read another process memory.\n\n"
         "Linux currently has kernel.yama.ptrace_scope=" +
         value +
         ".\n\n"
         "Rootless option for same-user profiling:\n"
         "sudo sysctl kernel.yama.ptrace_scope=0\n\n"
         "Persistent setup:\n"
         "echo 'kernel.yama.ptrace_scope=0' | sudo tee /etc/sysctl.d/10-stackpeek.conf\n"
         "sudo sysctl --system\n\n"
         "This relaxes same-user debugging policy system-wide. Press Enter to use sudo now, or "
         "Esc to cancel.";
}

class PermissionTest : public ::testing::Test {
 protected:
  std::optional<std::string> message_for(const std::string& content, uid_t euid = kUser) {
    write_file(tmp_ / "ptrace_scope", content);
    return ptrace_permission_message_for((tmp_ / "ptrace_scope").string(), euid);
  }
  TempDir tmp_;
};

TEST_F(PermissionTest, ZeroMeansNoObstacle) {
  EXPECT_EQ(message_for("0\n"), std::nullopt);
  EXPECT_EQ(message_for(" +0 "), std::nullopt);
}

TEST_F(PermissionTest, NonZeroValuesGiveTheTextWithThePlainValue) {
  EXPECT_EQ(message_for("1\n"), with_value("1"));
  EXPECT_EQ(message_for("+2"), with_value("2"));
  EXPECT_EQ(message_for("01\n"), with_value("1"));
  EXPECT_EQ(message_for("255"), with_value("255"));
}

TEST_F(PermissionTest, UnreadableOrMalformedSettingsGiveTheGeneralText) {
  for (const char* content : {"-1", "256", "", "+", "  \n", "1 2", "3x", "\xff", "99999999999"}) {
    EXPECT_EQ(message_for(content), kGeneral) << "content: " << content;
  }
  EXPECT_EQ(ptrace_permission_message_for((tmp_ / "missing").string(), kUser), kGeneral);
  EXPECT_EQ(ptrace_permission_message_for(tmp_.path().string(), kUser), kGeneral);
}

TEST_F(PermissionTest, RootNeedsNoSudo) {
  EXPECT_EQ(message_for("3\n", 0), std::nullopt);
  EXPECT_EQ(ptrace_permission_message_for((tmp_ / "missing").string(), 0), std::nullopt);
}

// ---- the pid-aware check ----

const std::string kTryWithoutSudo = "\nPress n to try without sudo.";

class TargetPermissionTest : public PermissionTest {
 protected:
  // Pids below 100 belong to kUser, the others to user 2000; pid 99 is gone.
  PtraceContext context(std::optional<std::string> scope, uid_t euid = kUser) {
    PtraceContext ctx;
    ctx.scope_file = (tmp_ / "ptrace_scope").string();
    if (scope) write_file(ctx.scope_file, *scope);
    ctx.euid = euid;
    ctx.process_owner = [](uint32_t pid) -> std::optional<uid_t> {
      if (pid == 99) return std::nullopt;
      return pid < 100 ? kUser : 2000;
    };
    return ctx;
  }
};

TEST_F(TargetPermissionTest, WithoutYamaOwnProcessesNeedNoPrompt) {
  EXPECT_EQ(ptrace_permission_message_for({1, 2, 99}, context(std::nullopt)), std::nullopt);
  EXPECT_EQ(ptrace_permission_message_for({}, context(std::nullopt)), std::nullopt);
  // A missing folder on the way is just as missing.
  PtraceContext ctx = context(std::nullopt);
  ctx.scope_file = (tmp_ / "no" / "ptrace_scope").string();
  EXPECT_EQ(ptrace_permission_message_for({1}, ctx), std::nullopt);
}

TEST_F(TargetPermissionTest, YamaZeroOwnProcessesNeedNoPrompt) {
  EXPECT_EQ(ptrace_permission_message_for({1, 2}, context("0\n")), std::nullopt);
}

TEST_F(TargetPermissionTest, YamaRestrictionPromptsWithTheUserOption) {
  EXPECT_EQ(ptrace_permission_message_for({1}, context("1\n")), with_value("1") + kTryWithoutSudo);
  EXPECT_EQ(ptrace_permission_message_for({}, context("2")), with_value("2") + kTryWithoutSudo);
  // Present but unreadable as a number: the general text.
  EXPECT_EQ(ptrace_permission_message_for({1}, context("x")), kGeneral + kTryWithoutSudo);
  PtraceContext folder = context(std::nullopt);
  folder.scope_file = tmp_.path().string();
  EXPECT_EQ(ptrace_permission_message_for({1}, folder), kGeneral + kTryWithoutSudo);
}

TEST_F(TargetPermissionTest, AnotherUsersProcessPromptsWhateverYamaSays) {
  const std::string one =
      "py-spy needs permission to read another process memory.\n\n"
      "Process 4242 runs as another user; reading its memory needs root.\n\n"
      "Press Enter to use sudo now, or Esc to cancel.\n"
      "Press n to try without sudo.";
  EXPECT_EQ(ptrace_permission_message_for({1, 4242}, context(std::nullopt)), one);
  EXPECT_EQ(ptrace_permission_message_for({4242}, context("0")), one);
  EXPECT_EQ(ptrace_permission_message_for({4242, 1}, context("1")), one);
  EXPECT_EQ(ptrace_permission_message_for({300, 1, 301}, context(std::nullopt)),
            "py-spy needs permission to read another process memory.\n\n"
            "2 of the selected processes run as another user; reading their memory needs "
            "root.\n\n"
            "Press Enter to use sudo now, or Esc to cancel.\n"
            "Press n to try without sudo.");
}

TEST_F(TargetPermissionTest, RootIsNeverPrompted) {
  EXPECT_EQ(ptrace_permission_message_for({4242}, context("3", 0)), std::nullopt);
  EXPECT_EQ(ptrace_permission_message_for({1}, context("x", 0)), std::nullopt);
}

TEST(ProcessOwnerTest, ReadsTheOwnerOfProc) {
  EXPECT_EQ(process_owner(static_cast<uint32_t>(getpid())), geteuid());
  EXPECT_EQ(process_owner(0x7ffffffe), std::nullopt);
  const PtraceContext system = system_ptrace_context();
  EXPECT_EQ(system.scope_file, "/proc/sys/kernel/yama/ptrace_scope");
  EXPECT_EQ(system.euid, geteuid());
  ASSERT_TRUE(system.process_owner);
  EXPECT_EQ(system.process_owner(static_cast<uint32_t>(getpid())), geteuid());
}

}  // namespace
}  // namespace stackpeek::tasks
