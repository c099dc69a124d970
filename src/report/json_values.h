#pragma once

#include <nlohmann/json.hpp>
#include <optional>

namespace stackpeek::report {

/// The value, or JSON null when there is none.
template <class T>
nlohmann::json or_null(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

}  // namespace stackpeek::report
