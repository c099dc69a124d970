#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace stackpeek::report::testing {

/// A fresh folder under the system temp folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stackpeek-report-XXXXXX");
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// Restores the working directory on scope exit, even when it pointed at a deleted folder.
class CwdGuard {
 public:
  CwdGuard() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~CwdGuard() {
    if (fd_ < 0) return;
    [[maybe_unused]] const int ignored = ::fchdir(fd_);
    ::close(fd_);
  }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  int fd_;
};

/// r-x for everyone: with UnprivilegedScope, nobody may enter the folder but not write it.
constexpr auto kReadOnly = std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                           std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                           std::filesystem::perms::others_read |
                           std::filesystem::perms::others_exec;

/// Drops root's effective user id to nobody for the scope, so folder permissions apply;
/// does nothing for an ordinary user. `ok()` is false when the switch failed.
class UnprivilegedScope {
 public:
  UnprivilegedScope() : was_root_(::geteuid() == 0) {
    if (was_root_) ok_ = ::seteuid(kNobody) == 0;
  }
  ~UnprivilegedScope() {
    if (was_root_ && ok_) [[maybe_unused]]
      const int ignored = ::seteuid(0);
  }
  UnprivilegedScope(const UnprivilegedScope&) = delete;
  UnprivilegedScope& operator=(const UnprivilegedScope&) = delete;

  bool ok() const { return ok_; }

 private:
  static constexpr uid_t kNobody = 65534;
  bool was_root_;
  bool ok_ = true;
};

inline void write_text(const std::filesystem::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace stackpeek::report::testing
