#include "cli/args.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>
#include <vector>

namespace stackpeek::cli {
namespace {

std::expected<Options, std::string> parse(std::vector<std::string_view> args) {
  return parse_options(args);
}

TEST(ArgsTest, ReadsTargetsAndValuesInBothForms) {
  const auto options = parse({"record", "--pid", "7", "--pid=9", "--group", "torch:a b", "--all",
                              "--duration=5", "--dir", "out", "--json"});
  ASSERT_TRUE(options) << options.error();
  EXPECT_EQ(options->targets.pids, (std::vector<uint32_t>{7, 9}));
  EXPECT_EQ(options->targets.groups, (std::vector<std::string>{"torch:a b"}));
  EXPECT_TRUE(options->targets.all);
  EXPECT_EQ(options->duration, 5u);
  EXPECT_EQ(options->dir, "out");
  EXPECT_TRUE(options->json);

  const auto watch = parse({"watch", "--all", "--every=2", "--stuck-after", "9", "--record", "3",
                            "--exec", "notify $X", "--host", "n1"});
  ASSERT_TRUE(watch) << watch.error();
  EXPECT_EQ(watch->every, 2u);
  EXPECT_EQ(watch->stuck_after, 9u);
  EXPECT_EQ(watch->record, 3u);
  EXPECT_EQ(watch->exec, "notify $X");

  const auto compare = parse({"compare", "a.jsonl", "-", "--json"});
  ASSERT_TRUE(compare);
  EXPECT_EQ(compare->files, (std::vector<std::string>{"a.jsonl", "-"}));
}

TEST(ArgsTest, RefusesWhatAVerbDoesNotTake) {
  for (const auto& args : std::vector<std::vector<std::string_view>>{
           {"dump"},                              // no target
           {"dump", "--all", "--duration", "5"},  // record only
           {"record", "--all", "--host", "h"},    // dump only
           {"list", "--pid", "1"},
           {"compare", "--all"},
           {"watch", "--every", "5"},  // no target
           {"watch", "--all", "--duration", "5"},
           {"dump", "--all", "--every", "5"},  // watch only
           {"watch", "--all", "--stuck-after", "0"},
           {"dump", "--pid", "0"},
           {"dump", "--pid", "4294967296"},
           {"dump", "--pid", "-3"},
           {"dump", "--pid"},
           {"dump", "--group="},
           {"dump", "--all", "--json=yes"},
           {"dump", "--all", "extra"}}) {
    EXPECT_FALSE(parse(args)) << args.back();
  }
}

TEST(ArgsTest, SlurmJobTakesAnOptionalId) {
  using discovery::SlurmJobRequest;
  const auto named = [](std::vector<std::string_view> args) {
    const auto options = parse(std::move(args));
    return options ? options->targets.slurm_job : std::nullopt;
  };
  EXPECT_EQ(named({"dump", "--slurm-job", "42", "--json"}), SlurmJobRequest{42});
  EXPECT_EQ(named({"record", "--slurm-job=42"}), SlurmJobRequest{42});
  EXPECT_EQ(named({"dump", "--slurm-job", "--json"}), SlurmJobRequest{});
  EXPECT_EQ(named({"list", "--slurm-job"}), SlurmJobRequest{});
  for (const auto& args : std::vector<std::vector<std::string_view>>{
           {"dump", "--slurm-job", "x"}, {"dump", "--slurm-job=0"}, {"compare", "--slurm-job"}}) {
    EXPECT_FALSE(parse(args)) << args.back();
  }
}

TEST(ArgsTest, HelpStopsTheScan) {
  const auto help = parse({"dump", "--help", "--bogus"});
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
}

// Numbers name their range; --dir must exist or have a parent that does.
TEST(ArgsTest, RefusalsNameTheRangeOrThePath) {
  EXPECT_EQ(parse({"dump", "--all", "--repeat", "99999999999999999999"}).error(),
            "--repeat needs a whole number from 1 to 1000000, not '99999999999999999999'");
  EXPECT_EQ(parse({"watch", "--all", "--stuck-after", "0"}).error(),
            "--stuck-after needs a whole number from 1 to 2592000, not '0'");
  EXPECT_TRUE(parse({"record", "--all", "--duration", "2592000"}));
  EXPECT_FALSE(parse({"record", "--all", "--duration", "2592001"}));
  const auto tmp = std::filesystem::temp_directory_path();
  EXPECT_TRUE(parse({"record", "--all", "--dir", tmp.string()}));
  const std::string fresh = (tmp / "stackpeek-args-fresh-folder").string();
  EXPECT_TRUE(parse({"watch", "--all", "--dir", fresh}));
  const std::string deep = (tmp / "stackpeek-args-missing" / "reports").string();
  EXPECT_EQ(parse({"record", "--all", "--dir", deep}).error(),
            "--dir " + deep + ": " + (tmp / "stackpeek-args-missing").string() +
                " does not exist; create it first or name an existing folder");
  EXPECT_EQ(parse({"watch", "--all", "--dir", "/dev/null"}).error(),
            "--dir /dev/null: not a folder; name a folder to write into");
}

}  // namespace
}  // namespace stackpeek::cli
