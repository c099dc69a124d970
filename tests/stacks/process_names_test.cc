#include "stacks/process_names.h"

#include <gtest/gtest.h>

namespace stackpeek::stacks {
namespace {

TEST(ProcessNames, RanksThenPidsWithinTheirLimits) {
  EXPECT_EQ(process_names({{.pid = 42, .rank = 3}}), "rank 3 (pid 42)");
  // A rank and its data loader's workers share the rank: one rank, several pids.
  EXPECT_EQ(process_names({{.pid = 42, .rank = 3}, {.pid = 50, .rank = 3}}), "rank 3 (pids 42 50)");
  EXPECT_EQ(process_names({{.pid = 40, .rank = 0},
                           {.pid = 41, .rank = 1},
                           {.pid = 43, .rank = 2},
                           {.pid = 17, .rank = {}},
                           {.pid = 18, .rank = {}}}),
            "ranks 0-2 (pids 40 41 43), pids 17 18");
  EXPECT_EQ(process_names({{.pid = 9, .rank = 5}, {.pid = 7, .rank = 1}, {.pid = 17, .rank = {}}},
                          {.pids = 1, .rank_pids = false}),
            "ranks 1,5, pid 17");
  EXPECT_EQ(process_names({{.pid = 1, .rank = {}}, {.pid = 2, .rank = {}}, {.pid = 3, .rank = {}}},
                          {.pids = 2}),
            "pids 1 2 …");
  EXPECT_EQ(process_names({}), "");
}

}  // namespace
}  // namespace stackpeek::stacks
