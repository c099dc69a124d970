#pragma once

// Why a dump failed, as a comparison groups and shows failures.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <string>
#include <string_view>

namespace stackpeek::stacks {

/// The first line of `text` that is not blank, colour sequences removed and trimmed.
std::string first_line(std::string_view text);

/// py-spy's first line ("Error: Failed to get stack traces") and the innermost cause of the
/// "Caused by:" chain that follows it ("EPERM: Failed to suspend process"); the cause is
/// empty when there is no chain. Failures with equal reasons are one class.
struct FailureReason {
  std::string headline;
  std::string cause;
  bool operator==(const FailureReason&) const = default;
};

FailureReason failure_reason(std::string_view error);

}  // namespace stackpeek::stacks
