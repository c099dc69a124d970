#include "tasks/py_spy.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tasks/test_support.h"
#include "tasks/top_relay.h"

namespace stackpeek::tasks {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::write_file;
using Args = std::vector<std::string>;

const fs::path kPySpy = "/opt/venv/bin/py-spy";

TEST(BuildSpyCommandTest, ArgumentsForEachMode) {
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Dump, 4242, false, std::nullopt).args,
            (Args{"dump", "--pid", "4242"}));
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Top, 7, false, std::nullopt).args,
            (Args{"top", "--pid", "7", "--delay", "1"}));
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Record, 7, false, fs::path("/r/raw")).args,
            (Args{"record", "--duration", "30", "-o", "/r/raw/pid-7.svg", "--pid", "7"}));
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Record, 7, false, std::nullopt, 120).args[2], "120");
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Record, 7, false, std::nullopt).args[4],
            "py-spy-profile-pid7.svg");
  // The folder only matters for record.
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Dump, 7, false, fs::path("/r/raw")).args,
            (Args{"dump", "--pid", "7"}));
  EXPECT_EQ(build_spy_command(kPySpy, SpyMode::Dump, 4294967295u, false, std::nullopt).args[2],
            "4294967295");
}

TEST(BuildSpyCommandTest, InvalidUtf8InTheOutputFolderBecomesReplacementCharacters) {
  const auto command =
      build_spy_command(kPySpy, SpyMode::Record, 1, false, fs::path("/r/\xff/raw"));
  EXPECT_EQ(command.args[4], "/r/\xEF\xBF\xBD/raw/pid-1.svg");
}

TEST(CommandLineTest, TextAndProcessWithAndWithoutSudo) {
  const auto dump = build_spy_command(kPySpy, SpyMode::Dump, 4242, false, std::nullopt);
  EXPECT_EQ(command_line(dump), "/opt/venv/bin/py-spy dump --pid 4242");
  const ProcessSpec plain = to_process(dump);
  EXPECT_EQ(plain.program, "/opt/venv/bin/py-spy");
  EXPECT_EQ(plain.args, (Args{"dump", "--pid", "4242"}));
  EXPECT_FALSE(plain.search_path);

  const auto top = build_spy_command(kPySpy, SpyMode::Top, 7, true, std::nullopt);
  EXPECT_EQ(command_line(top), "sudo -n /opt/venv/bin/py-spy top --pid 7 --delay 1");
  const ProcessSpec sudo = to_process(top);
  EXPECT_EQ(sudo.program, "sudo");
  EXPECT_TRUE(sudo.search_path);
  EXPECT_EQ(sudo.args, (Args{"-n", "/opt/venv/bin/py-spy", "top", "--pid", "7", "--delay", "1"}));

  EXPECT_EQ(running_command_lines({dump, top}),
            (Args{"$ /opt/venv/bin/py-spy dump --pid 4242",
                  "$ sudo -n /opt/venv/bin/py-spy top --pid 7 --delay 1"}));
}

TEST(OutputFilesTest, FirstDashOPairOnly) {
  const std::vector<SpyCommand> commands = {
      {kPySpy, {"record", "-o", "a.svg", "-o", "b.svg"}, false},
      {kPySpy, {"record", "-o"}, false},  // "-o" last: nothing
      {kPySpy, {"-o", "c.svg"}, false},
  };
  EXPECT_EQ(output_files(commands), (std::vector<fs::path>{"a.svg", "c.svg"}));
}

class FindPySpyTest : public ::testing::Test {
 protected:
  fs::path dir(const std::string& name) {
    fs::create_directories(tmp_ / name);
    return tmp_ / name;
  }
  fs::path spy_in(const std::string& name, mode_t mode = 0755) {
    write_file(dir(name) / "py-spy", "#!/bin/sh\n", mode);
    return tmp_ / name / "py-spy";
  }
  Result<fs::path> find(const std::optional<std::string>& path_env) {
    return find_py_spy_in(tmp_ / "self" / "stackpeek", path_env);
  }

  TempDir tmp_;
};

TEST_F(FindPySpyTest, OwnFolderIsPreferredToEveryPathEntry) {
  const fs::path own = spy_in("self");
  const fs::path first = spy_in("a");
  EXPECT_EQ(find(first.parent_path().string()), own);
  fs::remove(own);
  EXPECT_EQ(find(first.parent_path().string()), first);
}

TEST_F(FindPySpyTest, SkipsDirectoriesAndIgnoresTheExecuteBit) {
  fs::create_directories(dir("a") / "py-spy");
  const fs::path plain = spy_in("b", 0644);
  const auto found = find((tmp_ / "a").string() + ":" + (tmp_ / "b").string());
  EXPECT_EQ(found, plain);
}

TEST_F(FindPySpyTest, SymlinksAreFollowedAndPathsKeptAsGiven) {
  const fs::path real = spy_in("real");
  fs::create_directories(dir("links"));
  fs::create_symlink(real, tmp_ / "links" / "py-spy");
  fs::create_symlink(tmp_ / "missing", dir("dangling") / "py-spy");
  const std::string path_env = (tmp_ / "dangling").string() + ":" + (tmp_ / "links").string() + "/";
  EXPECT_EQ(find(path_env), tmp_ / "links" / "py-spy");
}

TEST_F(FindPySpyTest, EmptyPieceMeansTheCurrentFolderInOrder) {
  const std::string path_env = (tmp_ / "a").string() + "::" + (tmp_ / "b").string();
  dir("cwd");
  testing::ScopedCwd cwd(tmp_ / "cwd");

  const fs::path in_b = spy_in("b");
  EXPECT_EQ(find(path_env), in_b);
  write_file(tmp_ / "cwd" / "py-spy", "", 0755);
  EXPECT_EQ(find(path_env), fs::path("py-spy"));  // relative, not made absolute
  const fs::path in_a = spy_in("a");
  EXPECT_EQ(find(path_env), in_a);
}

TEST_F(FindPySpyTest, UnsetPathChecksOnlyTheCurrentFolder) {
  dir("cwd");
  testing::ScopedCwd cwd(tmp_ / "cwd");
  const auto missing = find(std::nullopt);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), kPySpyNotFound);
  EXPECT_EQ(missing.error().causes(), (Args{"binary not found on PATH"}));
  // stackpeek is not installed with pip: the advice is about py-spy itself.
  EXPECT_EQ(std::string(kPySpyNotFound),
            "py-spy was not found; install it with `pip install py-spy` and put it on PATH or "
            "next to stackpeek");

  write_file(tmp_ / "cwd" / "py-spy", "", 0755);
  EXPECT_EQ(find(std::nullopt), fs::path("py-spy"));
  EXPECT_EQ(find_py_spy_in(std::nullopt, std::nullopt), fs::path("py-spy"));
  EXPECT_EQ(find_py_spy_in(fs::path("stackpeek"), std::nullopt), fs::path("py-spy"));
}

}  // namespace
}  // namespace stackpeek::tasks

namespace stackpeek::tasks {
namespace {

TEST(PySpyNotFound, UnderSudoTellsThatSecurePathHidIt) {
  EXPECT_EQ(py_spy_not_found_text_for(1000, "ann"), kPySpyNotFound);
  EXPECT_EQ(py_spy_not_found_text_for(0, nullptr), kPySpyNotFound);
  const std::string text = py_spy_not_found_text_for(0, "ann");
  EXPECT_NE(text.find("secure_path, which hides a py-spy on ann's own PATH"), std::string::npos);
  EXPECT_NE(text.find("sudo env \"PATH=$PATH\" stackpeek"), std::string::npos);
}

TEST(TopRelay, ResizeRequestsRoundTripAndRejectNonsense) {
  const WindowSize size{.rows = 33, .cols = 120};
  const std::string line = resize_request(size);
  EXPECT_EQ(line, "33 120\n");
  EXPECT_EQ(parse_resize_request(std::string_view(line).substr(0, line.size() - 1)), size);
  for (const char* bad : {"", "33", "0 80", "33 x", "33  120", "70000 80"}) {
    EXPECT_FALSE(parse_resize_request(bad)) << bad;
  }
}

}  // namespace
}  // namespace stackpeek::tasks
