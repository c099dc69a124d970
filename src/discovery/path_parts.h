#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stackpeek::discovery {

/// One component of a path, as a slice of the path's bytes.
struct PathComponent {
  enum class Kind { Root, CurDir, ParentDir, Normal };
  Kind kind = Kind::Normal;
  std::string_view text;
};

/// The components of a path: "/" first when absolute, "." only at the start of a relative
/// path, empty components and inner "." dropped.
std::vector<PathComponent> path_components(std::string_view path);

/// The last component when it is a normal one ("python3" of "/usr/bin/python3/").
std::optional<std::string_view> path_file_name(std::string_view path);

/// The path without its last component; nothing when it ends in the root or is empty.
/// A lone relative component has the empty parent.
std::optional<std::string> path_parent(std::string_view path);

}  // namespace stackpeek::discovery
