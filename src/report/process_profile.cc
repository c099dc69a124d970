#include "report/process_profile.h"

#include <sys/stat.h>

#include <cerrno>

#include "report/report_file.h"
#include "stacks/flame_graph.h"

namespace stackpeek::report {
namespace {

// A flame graph of this size holds millions of frames; a larger file is not py-spy's.
constexpr size_t kMaxSvgBytes = size_t{512} << 20;
// Folded stacks repeat every caller on each line, so a deep graph folds larger than its
// SVG; past this size they are not written.
constexpr uint64_t kMaxFoldedBytes = uint64_t{1} << 30;

std::string folded_text(const stacks::FlameGraph& graph) {
  std::string text;
  text.reserve(stacks::folded_size(graph));
  stacks::for_each_folded_line(graph, [&](const std::string& line) {
    text += line;
    text += '\n';
  });
  return text;
}

// Writes the folded file; returns a note when it could not.
std::string write_folded(const ReportDir& dir, const stacks::FlameGraph& graph,
                         const std::string& name) {
  if (stacks::folded_size(graph) > kMaxFoldedBytes) return "folded stacks larger than 1 GiB";
  const auto folder = dir.report_directory / "profiles";
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
    return "could not create profiles/: " + Error::from_errno(errno).message();
  if (auto written = write_file_whole(dir.report_directory / name, folded_text(graph)); !written)
    return "could not write " + name + ": " + written.error().message();
  return {};
}

}  // namespace

ProcessProfile load_profile(const ReportDir& dir, uint32_t pid) {
  ProcessProfile profile;
  profile.pid = pid;
  const std::string svg_name = "pid-" + std::to_string(pid) + ".svg";
  std::error_code missing;
  if (!std::filesystem::exists(dir.raw_directory / svg_name, missing)) {
    profile.note = "py-spy wrote no flame graph (raw/" + svg_name + ")";
    return profile;
  }
  auto svg = read_file_whole(dir.raw_directory / svg_name, kMaxSvgBytes);
  if (!svg) {
    profile.note = "raw/" + svg_name + ": " + svg.error().message();
    return profile;
  }
  stacks::FlameGraphRead read = stacks::read_flame_graph(*svg);
  svg->clear();
  svg->shrink_to_fit();
  if (!read.graph) {
    profile.note = "raw/" + svg_name + ": " + read.error;
    return profile;
  }
  const std::string name = "profiles/pid-" + std::to_string(pid) + ".folded";
  profile.note = write_folded(dir, *read.graph, name);
  if (profile.note.empty()) profile.folded = name;
  profile.summary = stacks::summarize_profile(*read.graph);
  profile.graph = std::make_shared<const stacks::FlameGraph>(std::move(*read.graph));
  return profile;
}

}  // namespace stackpeek::report
