#include "report/report_dir.h"

#include <dirent.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

#include "common/util.h"

namespace stackpeek::report {

namespace fs = std::filesystem;

namespace {

// Missing parents are created first; a folder that is already there (perhaps made by a
// racing run) counts as created.
Result<void> make_directories(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (!ec) fs::create_directory(path, ec);
  if (ec) return os_error(ec.value());
  return {};
}

// Tries "BASE", then "BASE-2", "BASE-3", ...: the folder is made by one mkdir, which finds
// any existing entry of that name, so a folder is never shared, not even with another
// stackpeek creating one at the same moment.
constexpr unsigned kMaxFolderSuffix = 100000;

}  // namespace

Result<fs::path> make_fresh_directory(const fs::path& base) {
  bool parents_made = false;
  for (unsigned n = 1; n <= kMaxFolderSuffix;) {
    fs::path candidate = n == 1 ? base : fs::path(base.native() + "-" + std::to_string(n));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) return candidate;
    if (!ec || ec == std::errc::file_exists) {
      ++n;
    } else if (ec == std::errc::no_such_file_or_directory && !parents_made &&
               base.has_parent_path()) {
      if (auto made = make_directories(base.parent_path()); !made) {
        return std::unexpected(made.error());
      }
      parents_made = true;
    } else {
      return os_error(ec.value());
    }
  }
  return os_error(EEXIST);
}

namespace {

struct CloseDir {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// ASCII only: the slug must not depend on the locale.
bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

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
    slug += c;
  }
  return slug.empty() ? "profile" : ascii_lower(slug);
}

Result<ReportDir> create_report_dir(std::string_view target_label) {
  const uint64_t now = unix_seconds();
  std::error_code ec;
  const fs::path cwd = fs::current_path(ec);
  if (ec) {
    return std::unexpected(
        Error::from_errno(ec.value()).context("failed to read current directory"));
  }
  return create_report_dir_in(cwd, now, target_label);
}

Result<ReportDir> create_report_dir_in(const fs::path& parent, uint64_t created_at_unix,
                                       std::string_view target_label) {
  ReportDir dir;
  dir.target_label = std::string(target_label);
  dir.created_at_unix = created_at_unix;
  dir.report_directory =
      parent / fmt::format("py-spy-report-{}-{}", report_slug(dir.target_label), created_at_unix);
  dir.raw_directory = dir.report_directory / "raw";
  auto fresh = make_fresh_directory(dir.report_directory);
  if (fresh) {
    dir.report_directory = std::move(*fresh);
    dir.raw_directory = dir.report_directory / "raw";
    std::error_code ec;
    if (!fs::create_directory(dir.raw_directory, ec)) fresh = os_error(ec ? ec.value() : EEXIST);
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
