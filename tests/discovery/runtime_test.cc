#include "discovery/runtime.h"

#include <gtest/gtest.h>

namespace stackpeek::discovery {
namespace {

constexpr const char* kNoParent = "process executable has no parent directory";
constexpr const char* kNotReadable = "process executable was not readable";

struct Expected {
  const char* path;
  RuntimeKind kind;
  const char* root;
  std::optional<std::string> version;
};

void expect_classified(const Expected& want) {
  SCOPED_TRACE(want.path);
  const RuntimeInfo got = classify_path(want.path);
  EXPECT_EQ(got.kind, want.kind);
  EXPECT_EQ(got.root, PathOrMessage::path(want.root));
  EXPECT_EQ(got.version, want.version);
  EXPECT_EQ(got.executable, PathOrMessage::path(want.path));
}

TEST(ClassifyPathTest, KindsAndRoots) {
  const Expected cases[] = {
      {"/home/ana/proj/.venv/bin/python3", RuntimeKind::Venv, "/home/ana/proj/.venv", "3"},
      {"/srv/venv/bin/python", RuntimeKind::Venv, "/srv/venv", std::nullopt},
      {"/home/ana/.local/share/uv/python/cpython-3.12.4-linux-x86_64-gnu/bin/python3.12",
       RuntimeKind::Uv, "/home/ana/.local/share/uv/python/cpython-3.12.4-linux-x86_64-gnu", "3.12"},
      {"/opt/uv/python/", RuntimeKind::Uv, "/opt/uv", std::nullopt},
      {"/opt/conda/envs/bin/python", RuntimeKind::Conda, "/opt/conda/envs", std::nullopt},
      {"/home/ana/.pyenv/versions/3.11.9/bin/python3.11", RuntimeKind::Pyenv,
       "/home/ana/.pyenv/versions", "3.11"},
      {"/home/ana/.pyenv/shims/python", RuntimeKind::Pyenv, "/home/ana/.pyenv/shims", std::nullopt},
      {"/usr/local/bin/python3", RuntimeKind::System, "/usr", "3"},
      {"/bin/python3", RuntimeKind::System, "/bin", "3"},
      {"usr/bin/python3", RuntimeKind::System, "usr/bin", "3"},
      {"/home/ana/.local/bin/uv", RuntimeKind::Launcher, "/home/ana/.local/bin", std::nullopt},
      {"/opt/app/bin/python3.12-dbg", RuntimeKind::Unknown, "/opt/app/bin", "3.12-dbg"},
  };
  for (const auto& want : cases) expect_classified(want);
}

TEST(ClassifyPathTest, RuleOrderAndCondaEdgeCases) {
  // "/uv/python/" wins over a venv part; a uv project's own .venv stays a venv.
  expect_classified({"/home/ana/.local/share/uv/python/cp/.venv/bin/python", RuntimeKind::Uv,
                     "/home/ana/.local/share/uv/python/cp", std::nullopt});
  expect_classified(
      {"/home/ana/proj/.venv/bin/python", RuntimeKind::Venv, "/home/ana/proj/.venv", std::nullopt});
  // "envs" must come right before "bin" for conda.
  expect_classified({"/opt/conda/envs/train/bin/python", RuntimeKind::Unknown,
                     "/opt/conda/envs/train/bin", std::nullopt});
  // Comparisons are case-sensitive.
  expect_classified(
      {"/home/ana/.VENV/bin/Python3", RuntimeKind::Unknown, "/home/ana/.VENV/bin", std::nullopt});
}

TEST(ClassifyPathTest, RootMessageWhenThereIsNoParent) {
  const RuntimeInfo root = classify_path("/");
  EXPECT_EQ(root.kind, RuntimeKind::Unknown);
  EXPECT_EQ(root.root, PathOrMessage::message(kNoParent));
}

TEST(DetectRuntimeTest, ExecutableFirstThenPathLikeFirstArgument) {
  const auto exe = PathOrMessage::path("/usr/bin/python3.11");
  EXPECT_EQ(detect_runtime(exe, {"python3"}), classify_path("/usr/bin/python3.11"));

  const auto unreadable = PathOrMessage::message("sysinfo could not read process executable");
  EXPECT_EQ(detect_runtime(unreadable, {"/usr/bin/python3", "x.py"}),
            classify_path("/usr/bin/python3"));
  const RuntimeInfo dotted = detect_runtime(unreadable, {"./python3.11"});
  EXPECT_EQ(dotted.root, PathOrMessage::path("."));
  EXPECT_EQ(dotted.version, "3.11");
}

TEST(DetectRuntimeTest, NothingUsableGivesUnknownWithArgumentVersion) {
  const auto unreadable = PathOrMessage::message("sysinfo could not read process executable");
  const RuntimeInfo bare = detect_runtime(unreadable, {"python3.11", "app.py"});
  EXPECT_EQ(bare.kind, RuntimeKind::Unknown);
  EXPECT_EQ(bare.executable, unreadable);
  EXPECT_EQ(bare.root, PathOrMessage::message(kNotReadable));
  EXPECT_EQ(bare.version, "3.11");
  EXPECT_EQ(format_runtime(bare), "unknown 3.11 - unknown (process executable was not readable)");
  EXPECT_EQ(detect_runtime(unreadable, {}).version, std::nullopt);
}

// The exe link names the resolved interpreter, so a venv made with symlinks must be found
// through the first argument.
TEST(DetectRuntimeTest, SymlinkedVenvFoundThroughFirstArgument) {
  const auto exe = PathOrMessage::path("/usr/bin/python3.11");
  const RuntimeInfo venv = detect_runtime(exe, {"/home/ana/proj/.venv/bin/python", "t.py"});
  EXPECT_EQ(venv.kind, RuntimeKind::Venv);
  EXPECT_EQ(venv.root, PathOrMessage::path("/home/ana/proj/.venv"));
  EXPECT_EQ(venv.executable, PathOrMessage::path("/home/ana/proj/.venv/bin/python"));
  EXPECT_EQ(detect_runtime(exe, {".venv/bin/python"}).root, PathOrMessage::path(".venv"));
}

TEST(DetectRuntimeTest, ExecutableKeepsItsClassificationOtherwise) {
  const auto system = PathOrMessage::path("/usr/bin/python3.11");
  const auto venv = PathOrMessage::path("/a/.venv/bin/python3");
  // A bare name is no path; only a venv argument overrides; a venv executable stays.
  EXPECT_EQ(detect_runtime(system, {"venv"}).kind, RuntimeKind::System);
  EXPECT_EQ(detect_runtime(system, {"/opt/conda/envs/bin/python"}).kind, RuntimeKind::System);
  EXPECT_EQ(detect_runtime(venv, {"/b/venv/bin/python"}).root, PathOrMessage::path("/a/.venv"));
}

TEST(FormatRuntimeTest, LabelVersionAndRoot) {
  EXPECT_EQ(format_runtime(classify_path("/home/ana/proj/.venv/bin/python")),
            "venv - /home/ana/proj/.venv");
  EXPECT_EQ(format_runtime(classify_path("/usr/bin/python3.12")), "system 3.12 - /usr");
  const char* labels[] = {"venv", "uv", "conda", "pyenv", "system", "launcher", "unknown"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(runtime_kind_label(static_cast<RuntimeKind>(i)), labels[i]);
  }
}

TEST(FormatPathOrReasonTest, PathDecodedOrMessageWrapped) {
  EXPECT_EQ(format_path_or_reason(PathOrMessage::path("/srv/\xFFx")), "/srv/\xEF\xBF\xBDx");
  EXPECT_EQ(format_path_or_reason(PathOrMessage::message("gone")), "unknown (gone)");
}

TEST(VersionTest, SuffixAfterPythonWhenNumeric) {
  EXPECT_EQ(version_from_file_name("python3.12-dbg"), "3.12-dbg");
  EXPECT_EQ(version_from_file_name("python3"), "3");
  EXPECT_EQ(version_from_file_name("python"), std::nullopt);
  EXPECT_EQ(version_from_file_name("pythonw"), std::nullopt);
  EXPECT_EQ(version_from_file_name("Python3"), std::nullopt);
  EXPECT_EQ(version_from_file_name("python3\xFF"), std::nullopt);
}

}  // namespace
}  // namespace stackpeek::discovery
