#include "tasks/permission.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace stackpeek::tasks
