#pragma once

#include <fmt/format.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace stackpeek::discovery::testing {

/// One process directory of a fake /proc tree. An absent file stands for one that vanished.
struct FakeProcess {
  uint32_t pid = 0;
  std::string comm = "python3";
  uint32_t ppid = 1;
  std::optional<std::string> exe = "/usr/bin/python3.11";
  std::optional<std::string> cwd = "/work";
  std::optional<std::string> cmdline = std::string("python3\0app.py\0", 15);
  std::optional<std::string> environ = std::string();
  uint64_t utime = 0, stime = 0, starttime = 0, rss = 0;
  bool has_stat = true;
};

/// A /proc-like tree in a fresh temporary folder, removed again on destruction.
class FakeProcTree {
 public:
  FakeProcTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fake-proc-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
  }
  ~FakeProcTree() { std::filesystem::remove_all(root_); }
  FakeProcTree(const FakeProcTree&) = delete;
  FakeProcTree& operator=(const FakeProcTree&) = delete;

  const std::string& root() const { return root_; }

  void write(const std::string& relative, const std::string& content) const {
    const auto path = std::filesystem::path(root_) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  void add(const FakeProcess& p) const {
    const std::string dir = std::to_string(p.pid);
    std::filesystem::create_directories(std::filesystem::path(root_) / dir);
    if (p.has_stat) write(dir + "/stat", stat_line(p));
    if (p.cmdline) write(dir + "/cmdline", *p.cmdline);
    if (p.environ) write(dir + "/environ", *p.environ);
    if (p.exe) link(*p.exe, dir + "/exe");
    if (p.cwd) link(*p.cwd, dir + "/cwd");
  }

 private:
  // Distinct numbers in the unused fields show a parser that counts wrong.
  static std::string stat_line(const FakeProcess& p) {
    return fmt::format(
        "{} ({}) S {} 5 6 0 -1 4194304 10 11 12 13 {} {} 16 17 20 0 1 0 {} 23000 {} "
        "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n",
        p.pid, p.comm, p.ppid, p.utime, p.stime, p.starttime, p.rss);
  }

  void link(const std::string& target, const std::string& relative) const {
    std::filesystem::create_symlink(target, std::filesystem::path(root_) / relative);
  }

  std::string root_;
};

}  // namespace stackpeek::discovery::testing
