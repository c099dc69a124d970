#include "discovery/torch.h"

#include <gtest/gtest.h>

#include "discovery/environ_values.h"

namespace stackpeek::discovery {
namespace {

using namespace std::string_literals;

constexpr uint32_t kLast = 4294967295u;

TEST(RankArgumentTest, PrefixesInAnyCase) {
  for (const char* arg : {"--rank", "--Rank=1", "--ranks", "--local-rank=0", "--LOCAL_RANK"}) {
    EXPECT_TRUE(is_rank_argument(arg)) << arg;
  }
  for (const char* arg : {"-rank", "rank", "3", "--world-size=4", "--local"}) {
    EXPECT_FALSE(is_rank_argument(arg)) << arg;
  }
}

TEST(ParseRankTest, UnsignedDecimalWithOptionalPlus) {
  EXPECT_EQ(parse_rank("2"), 2u);
  EXPECT_EQ(parse_rank("+2"), 2u);
  EXPECT_EQ(parse_rank("007"), 7u);
  EXPECT_EQ(parse_rank("4294967294"), 4294967294u);
}

TEST(ParseRankTest, EverythingElseOrdersLast) {
  EXPECT_EQ(parse_rank(std::nullopt), kLast);
  for (const char* text :
       {"", "x", "-1", " 1", "1 ", "0x1", "+", "++1", "4294967296", "99999999999999999999999"}) {
    EXPECT_EQ(parse_rank(std::string(text)), kLast) << text;
  }
}

TEST(TorchEnvironTest, PresentEmptyAbsentAndLaterDuplicateWins) {
  const std::string environ = "RANK=\0LOCAL_RANK\0WORLD_SIZE=2\0WORLD_SIZE=4\0rank=9\0"s;
  const TorchInfo torch = torch_from_environ(environ);
  EXPECT_EQ(torch.rank, "");
  EXPECT_EQ(torch.local_rank, std::nullopt);
  EXPECT_EQ(torch.world_size, "4");
  EXPECT_EQ(torch.master_addr, std::nullopt);
}

TEST(TorchEnvironTest, ValueKeepsFurtherEqualsAndBadBytesBecomeReplacement) {
  const std::string environ = "MASTER_ADDR=a=b\0MASTER_PORT=29\xFF"s;
  const TorchInfo torch = torch_from_environ(environ);
  EXPECT_EQ(torch.master_addr, "a=b");
  EXPECT_EQ(torch.master_port, "29\xEF\xBF\xBD");
  EXPECT_EQ(torch_from_environ(""), TorchInfo{});
}

TEST(TorchEnvironTest, SlurmVariablesAreReadInTheSamePass) {
  const EnvironValues values =
      environ_values("RANK=1\0SLURM_JOB_ID=42\0SLURMD_NODENAME=n2\0SLURM_JOBID=9\0"s);
  EXPECT_EQ(values.torch.rank, "1");
  EXPECT_EQ(values.slurm, (SlurmInfo{"42", "n2"}));
}

TEST(RankTextTest, AbsentValuesShowAsQuestionMarks) {
  TorchInfo torch;
  torch.rank = "1";
  EXPECT_TRUE(torch.has_rank_info());
  EXPECT_EQ(torch.rank_text(), "rank 1/? local ?");
  torch.world_size = "4";
  torch.local_rank = "";
  EXPECT_EQ(torch.rank_text(), "rank 1/4 local ");
  EXPECT_FALSE(TorchInfo{}.has_rank_info());
}

}  // namespace
}  // namespace stackpeek::discovery
