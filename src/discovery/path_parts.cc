#include "discovery/path_parts.h"

namespace stackpeek::discovery {
namespace {

PathComponent::Kind kind_of(std::string_view text) {
  if (text == ".") return PathComponent::Kind::CurDir;
  if (text == "..") return PathComponent::Kind::ParentDir;
  return PathComponent::Kind::Normal;
}

std::string join(const std::vector<PathComponent>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    const auto& part = parts[i];
    if (!out.empty() && out.back() != '/') out += '/';
    out += part.kind == PathComponent::Kind::Root ? std::string_view("/") : part.text;
  }
  return out;
}

}  // namespace

std::vector<PathComponent> path_components(std::string_view path) {
  std::vector<PathComponent> parts;
  size_t pos = 0;
  if (path.starts_with('/')) parts.push_back({PathComponent::Kind::Root, path.substr(0, 1)});
  while (pos < path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view text = path.substr(pos, end - pos);
    // "." counts only as the first component of a relative path, as in "./python".
    const bool keep = !text.empty() && (text != "." || (pos == 0 && parts.empty()));
    if (keep) parts.push_back({kind_of(text), text});
    pos = end + 1;
  }
  return parts;
}

std::optional<std::string_view> path_file_name(std::string_view path) {
  const auto parts = path_components(path);
  if (parts.empty() || parts.back().kind != PathComponent::Kind::Normal) return std::nullopt;
  return parts.back().text;
}

std::optional<std::string> path_parent(std::string_view path) {
  const auto parts = path_components(path);
  if (parts.empty() || parts.back().kind == PathComponent::Kind::Root) return std::nullopt;
  return join(parts, parts.size() - 1);
}

}  // namespace stackpeek::discovery
