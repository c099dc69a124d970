#include "discovery/runtime.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <array>
#include <cstddef>

#include "common/utf8.h"
#include "discovery/path_parts.h"

namespace stackpeek::discovery {
namespace {

constexpr const char* kNoParent = "process executable has no parent directory";
constexpr const char* kExeNotReadable = "process executable was not readable";

// What the rules look at: the normal, valid UTF-8 components and the absolute flag.
struct PathView {
  std::string_view path;
  std::vector<std::string_view> parts;
  bool absolute = false;
};

PathView view_of(std::string_view path) {
  PathView view{path, {}, path.starts_with('/')};
  for (const auto& component : path_components(path)) {
    if (component.kind == PathComponent::Kind::Normal && utf8::is_valid(component.text)) {
      view.parts.push_back(component.text);
    }
  }
  return view;
}

std::optional<size_t> find_part(const PathView& view, std::string_view name, size_t from = 0) {
  for (size_t i = from; i < view.parts.size(); ++i) {
    if (view.parts[i] == name) return i;
  }
  return std::nullopt;
}

PathOrMessage prefix_through(const PathView& view, size_t last) {
  const auto end = view.parts.begin() + static_cast<std::ptrdiff_t>(last + 1);
  return PathOrMessage::path(
      fmt::format("{}{}", view.absolute ? "/" : "", fmt::join(view.parts.begin(), end, "/")));
}

PathOrMessage parent_of(const PathView& view) {
  auto parent = path_parent(view.path);
  return parent ? PathOrMessage::path(std::move(*parent)) : PathOrMessage::message(kNoParent);
}

std::optional<size_t> venv_part(const PathView& view) {
  for (size_t i = 0; i < view.parts.size(); ++i) {
    if (view.parts[i] == "venv" || view.parts[i] == ".venv") return i;
  }
  return std::nullopt;
}

// Index of the "envs" part of the first ("envs", "bin") pair.
std::optional<size_t> conda_envs_part(const PathView& view) {
  for (size_t i = 0; i + 1 < view.parts.size(); ++i) {
    if (view.parts[i] == "envs" && view.parts[i + 1] == "bin") return i;
  }
  return std::nullopt;
}

bool starts_with_root_dir(const PathView& view, std::string_view dir) {
  const auto components = path_components(view.path);
  return components.size() >= 2 && components[0].kind == PathComponent::Kind::Root &&
         components[1].text == dir;
}

RuntimeKind kind_of(const PathView& view) {
  const std::string text = utf8::decode_lossy(view.path);
  if (text.find("/uv/python/") != std::string::npos ||
      text.find("\\uv\\python\\") != std::string::npos) {
    return RuntimeKind::Uv;
  }
  if (venv_part(view)) return RuntimeKind::Venv;
  if (view.parts.size() >= 2 && conda_envs_part(view)) return RuntimeKind::Conda;
  if (find_part(view, ".pyenv")) return RuntimeKind::Pyenv;
  if (!view.parts.empty() && (view.parts[0] == "usr" || view.parts[0] == "bin")) {
    return RuntimeKind::System;
  }
  if (path_file_name(view.path) == "uv") return RuntimeKind::Launcher;
  return RuntimeKind::Unknown;
}

PathOrMessage uv_root(const PathView& view) {
  for (size_t i = 0; i + 1 < view.parts.size(); ++i) {
    if (view.parts[i] == "python") return prefix_through(view, i + 1);
  }
  return parent_of(view);
}

PathOrMessage system_root(const PathView& view) {
  if (starts_with_root_dir(view, "usr")) return PathOrMessage::path("/usr");
  if (starts_with_root_dir(view, "bin")) return PathOrMessage::path("/bin");
  return parent_of(view);
}

PathOrMessage root_of(const PathView& view, RuntimeKind kind) {
  if (kind == RuntimeKind::Uv) return uv_root(view);
  if (kind == RuntimeKind::System) return system_root(view);
  std::optional<size_t> through;
  if (kind == RuntimeKind::Venv) through = venv_part(view);
  if (kind == RuntimeKind::Conda) through = conda_envs_part(view);
  if (kind == RuntimeKind::Pyenv) through = find_part(view, "versions");
  return through ? prefix_through(view, *through) : parent_of(view);
}

// More than one component, counting the root and a leading ".": a path, not a bare name.
bool is_multi_component(std::string_view argument) { return path_components(argument).size() > 1; }

}  // namespace

std::string format_path_or_reason(const PathOrMessage& value) {
  if (value.is_path()) return utf8::decode_lossy(value.value);
  return "unknown (" + value.value + ")";
}

std::string_view runtime_kind_label(RuntimeKind kind) {
  static constexpr std::array<std::string_view, 7> kLabels = {
      "venv", "uv", "conda", "pyenv", "system", "launcher", "unknown"};
  return kLabels[static_cast<size_t>(kind)];
}

std::optional<std::string> version_from_file_name(std::string_view file_name) {
  if (!utf8::is_valid(file_name) || !file_name.starts_with("python")) return std::nullopt;
  size_t pos = 6;
  if (pos >= file_name.size() || !utf8::is_numeric(utf8::next(file_name, pos))) {
    return std::nullopt;
  }
  return std::string(file_name.substr(6));
}

RuntimeInfo classify_path(std::string_view path) {
  const PathView view = view_of(path);
  const RuntimeKind kind = kind_of(view);
  const auto file_name = path_file_name(path);
  return RuntimeInfo{PathOrMessage::path(std::string(path)), root_of(view, kind),
                     file_name ? version_from_file_name(*file_name) : std::nullopt, kind};
}

RuntimeInfo detect_runtime(const PathOrMessage& exe, const std::vector<std::string>& cmd) {
  const bool first_is_path = !cmd.empty() && is_multi_component(cmd.front());
  if (exe.is_path()) {
    RuntimeInfo runtime = classify_path(exe.value);
    // The kernel resolves symlinks in the exe link, so an interpreter started through a
    // symlinked venv shows up as the base interpreter; the first argument keeps the venv.
    if (runtime.kind != RuntimeKind::Venv && first_is_path) {
      RuntimeInfo by_argument = classify_path(cmd.front());
      if (by_argument.kind == RuntimeKind::Venv) return by_argument;
    }
    return runtime;
  }
  if (first_is_path) return classify_path(cmd.front());
  const auto first_name = cmd.empty() ? std::nullopt : path_file_name(cmd.front());
  return RuntimeInfo{exe, PathOrMessage::message(kExeNotReadable),
                     first_name ? version_from_file_name(*first_name) : std::nullopt,
                     RuntimeKind::Unknown};
}

std::string format_runtime(const RuntimeInfo& runtime) {
  std::string out(runtime_kind_label(runtime.kind));
  if (runtime.version) out += " " + *runtime.version;
  return out + " - " + format_path_or_reason(runtime.root);
}

}  // namespace stackpeek::discovery
