#include "report/report_dir.h"

#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "common/utf8.h"

namespace stackpeek::report {
namespace {

namespace fs = std::filesystem;

uint64_t unix_seconds_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

// getcwd rather than fs::current_path: a deleted working directory must come back as a
// value, not an exception.
Result<fs::path> current_directory() {
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) return os_error(errno);
  return fs::path(cwd.get());
}

bool is_existing_directory(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: missing parents are created first; a folder that is already there (perhaps
// made by a racing run) counts as created.
Result<void> make_directories(const fs::path& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  const int err = errno;
  if (err == EEXIST && is_existing_directory(path)) return {};
  const fs::path parent = path.parent_path();
  if (err != ENOENT || parent.empty() || parent == path) return os_error(err);
  if (auto made = make_directories(parent); !made) return made;
  if (::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && is_existing_directory(path)))
    return {};
  return os_error(errno);
}

// Tries "BASE", then "BASE-2", "BASE-3", ...: mkdir fails for a path that exists, so a
// folder is never shared, not even with another stackpeek creating one at the same moment.
constexpr unsigned kMaxFolderSuffix = 100000;

Result<fs::path> make_fresh_directory(const fs::path& base) {
  bool parents_made = false;
  for (unsigned n = 1; n <= kMaxFolderSuffix;) {
    fs::path candidate = n == 1 ? base : fs::path(base.native() + "-" + std::to_string(n));
    if (::mkdir(candidate.c_str(), 0777) == 0) return candidate;
    const int err = errno;
    if (err == EEXIST) {
      ++n;
    } else if (err == ENOENT && !parents_made && base.has_parent_path()) {
      if (auto made = make_directories(base.parent_path()); !made) {
        return std::unexpected(made.error());
      }
      parents_made = true;
    } else {
      return os_error(err);
    }
  }
  return os_error(EEXIST);
}

struct CloseDir {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// ASCII only: the slug must not depend on the locale.
bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string path_text(const fs::path& path) { return utf8::decode_lossy(path.native()); }

std::string target_label(const std::vector<discovery::ProcessGroup>& groups,
                         const discovery::Selection& selection) {
  if (selection.kind == discovery::Selection::Kind::Process) {
    return fmt::format("pid-{}", selection.pid);
  }
  const auto it = std::ranges::find(groups, selection.key, &discovery::ProcessGroup::key);
  return it == groups.end() ? selection.key : it->label;
}

std::string report_slug(std::string_view label) {
  std::string slug;
  size_t words = 0;
  bool in_word = false;
  for (const char c : label) {
    if (!is_ascii_alnum(c)) {
      in_word = false;
      continue;
    }
    if (!in_word) {
      if (words == 8) break;
      if (words > 0) slug += '-';
      ++words;
      in_word = true;
    }
    slug += ascii_lower(c);
  }
  return slug.empty() ? "profile" : slug;
}

Result<ReportDir> create_report_dir(const std::vector<discovery::ProcessGroup>& groups,
                                    const discovery::Selection& selection) {
  const uint64_t now = unix_seconds_now();
  auto cwd = current_directory();
  if (!cwd) return std::unexpected(cwd.error().context("failed to read current directory"));
  return create_report_dir_in(*cwd, now, groups, selection);
}

Result<ReportDir> create_report_dir_in(const fs::path& parent, uint64_t created_at_unix,
                                       const std::vector<discovery::ProcessGroup>& groups,
                                       const discovery::Selection& selection) {
  ReportDir dir;
  dir.target_label = target_label(groups, selection);
  dir.created_at_unix = created_at_unix;
  dir.report_directory =
      parent / fmt::format("py-spy-report-{}-{}", report_slug(dir.target_label), created_at_unix);
  dir.raw_directory = dir.report_directory / "raw";
  auto fresh = make_fresh_directory(dir.report_directory);
  if (fresh) {
    dir.report_directory = std::move(*fresh);
    dir.raw_directory = dir.report_directory / "raw";
    if (::mkdir(dir.raw_directory.c_str(), 0777) != 0) fresh = os_error(errno);
  }
  if (!fresh) {
    return std::unexpected(fresh.error().context("failed to create py-spy report directory " +
                                                 path_text(dir.raw_directory)));
  }
  return dir;
}

Result<std::vector<fs::path>> list_raw_records(const fs::path& raw) {
  std::unique_ptr<DIR, CloseDir> listing(::opendir(raw.c_str()));
  if (!listing) {
    return std::unexpected(
        Error::from_errno(errno).context("failed to read raw report directory " + path_text(raw)));
  }
  std::vector<fs::path> records;
  // readdir only fails for the listing as a whole; there is no single entry to skip, so a
  // failure ends the listing with what was read so far.
  while (const dirent* entry = ::readdir(listing.get())) {
    fs::path path = raw / entry->d_name;
    if (path.extension().native() == ".svg") records.push_back(std::move(path));
  }
  std::ranges::sort(records);
  return records;
}

}  // namespace stackpeek::report
