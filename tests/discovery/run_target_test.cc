#include "discovery/run_target.h"

#include <gtest/gtest.h>

namespace stackpeek::discovery {
namespace {

TEST(RunTargetTest, GroupKeyAsPrintedOrExact) {
  ProcessInfo member;
  member.pid = 42;
  const std::vector<ProcessGroup> groups = {
      {"runtime:/srv/a\x1b[2J\nb", "a", "", "", {member}, GroupKind::Process}};
  for (const std::string key : {"runtime:/srv/a\x1b[2J\nb", "runtime:/srv/a\\x1b[2J\\nb"}) {
    const auto target = resolve_target(groups, TargetSpec{{}, {key}, false}, "h");
    ASSERT_TRUE(target) << key;
    EXPECT_EQ(target->pids(), std::vector<uint32_t>{42});
  }
  EXPECT_FALSE(resolve_target(groups, TargetSpec{{}, {"runtime:/srv/a"}, false}, "h"));
}

}  // namespace
}  // namespace stackpeek::discovery
