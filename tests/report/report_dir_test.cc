#include "report/report_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "report/temp_dir.h"

namespace stackpeek::report {
namespace {

namespace fs = std::filesystem;
using testing::CwdGuard;
using testing::TempDir;
using testing::UnprivilegedScope;
using testing::write_text;

TEST(ReportSlugTest, KeepsAsciiWordsLowerCasedAndJoinedByDashes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"train.py --epochs 10", "train-py-epochs-10"},
      {"pid-4242", "pid-4242"},
      {"Train_Main.PY", "train-main-py"},
      {"tree:812", "tree-812"},
      {"  --/a//b--  ", "a-b"},
      {"caf\u00e9 latte", "caf-latte"},
      {"one two three four five six seven eight nine ten",
       "one-two-three-four-five-six-seven-eight"},
  };
  for (const auto& [label, slug] : cases) EXPECT_EQ(report_slug(label), slug) << label;
}

TEST(ReportSlugTest, FallsBackToProfileWhenNoWordIsLeft) {
  EXPECT_EQ(report_slug("???"), "profile");
  EXPECT_EQ(report_slug(""), "profile");
  EXPECT_EQ(report_slug("\u00e4\u00f6\u00fc \u65e5\u672c"), "profile");
}

TEST(CreateReportDirTest, CreatesNamedFolderWithEmptyRawFolder) {
  TempDir tmp;
  const auto dir = create_report_dir_in(tmp.path(), 1700000000, "torch train.py --epochs 10");
  ASSERT_TRUE(dir.has_value()) << dir.error().message();
  EXPECT_EQ(dir->report_directory,
            tmp.path() / "py-spy-report-torch-train-py-epochs-10-1700000000");
  EXPECT_EQ(dir->raw_directory, dir->report_directory / "raw");
  EXPECT_EQ(dir->target_label, "torch train.py --epochs 10");
  EXPECT_EQ(dir->created_at_unix, 1700000000u);
  EXPECT_TRUE(fs::is_directory(dir->raw_directory));
  EXPECT_TRUE(fs::is_empty(dir->raw_directory));
}

TEST(CreateReportDirTest, RawFolderModeFollowsUmask) {
  TempDir tmp;
  const mode_t old_mask = ::umask(027);
  const auto dir = create_report_dir_in(tmp.path(), 1, "pid-7");
  ::umask(old_mask);
  ASSERT_TRUE(dir.has_value());
  struct stat st {};
  ASSERT_EQ(::stat(dir->raw_directory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(CreateReportDirTest, NeverReusesAnExistingFolder) {
  TempDir tmp;
  const auto first = create_report_dir_in(tmp.path(), 5, "pid-7");
  ASSERT_TRUE(first.has_value());
  write_text(first->raw_directory / "pid-7.svg", "<svg/>");
  const auto second = create_report_dir_in(tmp.path(), 5, "pid-7");
  ASSERT_TRUE(second.has_value()) << second.error().message();
  EXPECT_EQ(second->report_directory, tmp.path() / "py-spy-report-pid-7-5-2");
  EXPECT_EQ(second->raw_directory, second->report_directory / "raw");
  EXPECT_EQ(second->created_at_unix, 5u);
  EXPECT_EQ(second->target_label, "pid-7");
  EXPECT_TRUE(fs::is_empty(second->raw_directory));
  EXPECT_TRUE(fs::exists(first->raw_directory / "pid-7.svg")) << "the first run keeps its files";
  const auto third = create_report_dir_in(tmp.path(), 5, "pid-7");
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(third->report_directory, tmp.path() / "py-spy-report-pid-7-5-3");
  // Another second starts again without a suffix.
  const auto later = create_report_dir_in(tmp.path(), 6, "pid-7");
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(later->report_directory, tmp.path() / "py-spy-report-pid-7-6");
}

TEST(CreateReportDirTest, AnyEntryOfTheNameCountsAsTaken) {
  TempDir tmp;
  write_text(tmp.path() / "py-spy-report-pid-7-5", "x");
  fs::create_directory(tmp.path() / "py-spy-report-pid-7-5-2");
  const auto dir = create_report_dir_in(tmp.path(), 5, "pid-7");
  ASSERT_TRUE(dir.has_value()) << dir.error().message();
  EXPECT_EQ(dir->report_directory, tmp.path() / "py-spy-report-pid-7-5-3");
  EXPECT_TRUE(fs::is_directory(dir->raw_directory));
}

TEST(CreateReportDirTest, ConcurrentCreatorsGetDistinctFolders) {
  TempDir tmp;
  std::vector<std::thread> threads;
  std::vector<Result<ReportDir>> dirs(8, std::unexpected(Error("not run")));
  for (auto& dir : dirs) {
    threads.emplace_back(
        [&dir, &tmp] { dir = create_report_dir_in(tmp.path(), 5, "pid-7"); });
  }
  for (auto& thread : threads) thread.join();
  std::set<fs::path> folders;
  for (const auto& dir : dirs) {
    ASSERT_TRUE(dir.has_value()) << dir.error().message();
    folders.insert(dir->report_directory);
  }
  EXPECT_EQ(folders.size(), dirs.size());
}

TEST(CreateReportDirTest, CreatesMissingParents) {
  TempDir tmp;
  const auto dir = create_report_dir_in(tmp.path() / "a" / "b", 5, "pid-7");
  ASSERT_TRUE(dir.has_value()) << dir.error().message();
  EXPECT_TRUE(fs::is_directory(dir->raw_directory));
}

TEST(CreateReportDirTest, ParentThatIsAFileFailsWithRawPathInContext) {
  TempDir tmp;
  write_text(tmp.path() / "file", "x");
  const auto dir = create_report_dir_in(tmp.path() / "file", 5, "pid-7");
  ASSERT_FALSE(dir.has_value());
  const fs::path raw = tmp.path() / "file" / "py-spy-report-pid-7-5" / "raw";
  EXPECT_EQ(dir.error().message(), "failed to create py-spy report directory " + raw.string());
  EXPECT_EQ(dir.error().causes(), std::vector<std::string>{"Not a directory (os error 20)"});
}

constexpr auto kReadOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;

TEST(CreateReportDirTest, UnwritableParentFails) {
  TempDir tmp;
  const fs::path locked = tmp.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(tmp.path(), fs::perms::all);
  fs::permissions(locked, testing::kReadOnly);
  Result<ReportDir> dir = std::unexpected(Error("not run"));
  {
    UnprivilegedScope unprivileged;
    ASSERT_TRUE(unprivileged.ok());
    dir = create_report_dir_in(locked, 5, "pid-7");
  }
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().causes(), std::vector<std::string>{"Permission denied (os error 13)"});
}

TEST(CreateReportDirTest, UsesWorkingDirectoryAndClock) {
  TempDir tmp;
  CwdGuard guard;
  ASSERT_EQ(::chdir(tmp.path().c_str()), 0);
  const auto before = std::chrono::system_clock::now();
  const auto dir = create_report_dir("pid-31");
  const auto after = std::chrono::system_clock::now();
  ASSERT_TRUE(dir.has_value()) << dir.error().message();
  const auto seconds = [](auto t) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count());
  };
  EXPECT_GE(dir->created_at_unix, seconds(before));
  EXPECT_LE(dir->created_at_unix, seconds(after));
  EXPECT_EQ(dir->report_directory,
            tmp.path() / ("py-spy-report-pid-31-" + std::to_string(dir->created_at_unix)));
  EXPECT_TRUE(fs::is_directory(dir->raw_directory));
}

TEST(CreateReportDirTest, DeletedWorkingDirectoryIsAnError) {
  TempDir tmp;
  const fs::path doomed = tmp.path() / "doomed";
  fs::create_directory(doomed);
  CwdGuard guard;
  ASSERT_EQ(::chdir(doomed.c_str()), 0);
  ASSERT_EQ(::rmdir(doomed.c_str()), 0);
  const auto dir = create_report_dir("pid-31");
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().message(), "failed to read current directory");
  EXPECT_EQ(dir.error().causes(),
            std::vector<std::string>{"No such file or directory (os error 2)"});
}

TEST(ListRawRecordsTest, KeepsLowerCaseSvgInByteOrder) {
  TempDir tmp;
  for (const char* name :
       {"b.svg", "a.SVG", "notes.txt", "c.svg", "pid-9.svg", "pid-10.svg", ".svg", "d.svg.tmp"}) {
    write_text(tmp.path() / name, "");
  }
  const auto records = list_raw_records(tmp.path());
  ASSERT_TRUE(records.has_value());
  const std::vector<fs::path> expected = {tmp.path() / "b.svg", tmp.path() / "c.svg",
                                          tmp.path() / "pid-10.svg", tmp.path() / "pid-9.svg"};
  EXPECT_EQ(*records, expected);
}

TEST(ListRawRecordsTest, EmptyFolderGivesNoRecords) {
  TempDir tmp;
  const auto records = list_raw_records(tmp.path());
  ASSERT_TRUE(records.has_value());
  EXPECT_TRUE(records->empty());
}

TEST(ListRawRecordsTest, MissingFolderFailsWithPathInContext) {
  TempDir tmp;
  const auto records = list_raw_records(tmp.path() / "gone");
  ASSERT_FALSE(records.has_value());
  EXPECT_EQ(records.error().message(),
            "failed to read raw report directory " + (tmp.path() / "gone").string());
  EXPECT_EQ(records.error().causes(),
            std::vector<std::string>{"No such file or directory (os error 2)"});
}

}  // namespace
}  // namespace stackpeek::report
