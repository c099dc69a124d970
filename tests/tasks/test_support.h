#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace stackpeek::tasks::testing {

/// A fresh folder under the system temp folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stackpeek-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Writes `text` to `file` with the given mode bits.
inline void write_file(const std::filesystem::path& file, std::string_view text,
                       mode_t mode = 0644) {
  std::ofstream(file, std::ios::binary) << text;
  chmod(file.c_str(), mode);
}

/// Writes an executable /bin/sh script made of `body`.
inline std::filesystem::path write_script(const std::filesystem::path& file,
                                          std::string_view body) {
  write_file(file, "#!/bin/sh\n" + std::string(body) + "\n", 0755);
  return file;
}

/// Changes the current folder for one scope.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() { std::filesystem::current_path(old_); }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::filesystem::path old_;
};

/// Sets an environment variable for one scope (tests run one at a time).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

/// True while a process with this pid exists (a zombie counts as existing).
inline bool process_exists(pid_t pid) {
  return std::filesystem::exists("/proc/" + std::to_string(pid));
}

/// The first line of a file as a number, or -1.
inline pid_t read_pid(const std::filesystem::path& file) {
  std::ifstream in(file);
  long pid = -1;
  in >> pid;
  return static_cast<pid_t>(pid);
}

}  // namespace stackpeek::tasks::testing
