#include "discovery/python_name.h"

#include "common/utf8.h"
#include "common/util.h"
#include "discovery/path_parts.h"

namespace stackpeek::discovery {
namespace {

constexpr std::string_view kPython = "python";

bool exe_passes(const std::optional<std::string>& exe) {
  if (!exe) return false;
  const auto file_name = path_file_name(*exe);
  if (!file_name || !utf8::is_valid(*file_name)) return false;
  const std::string lower = ascii_lower(*file_name);
  return is_python_name(lower) || lower == "uv";
}

bool argument_passes(std::string_view argument) {
  const std::string lower = ascii_lower(argument);
  return is_python_name(lower) || lower.find("/python") != std::string::npos ||
         lower.find("\\python") != std::string::npos;
}

}  // namespace

bool is_python_name(std::string_view word) {
  if (word == kPython || word == "python.exe") return true;
  if (!word.starts_with(kPython) || word.size() <= kPython.size()) return false;
  size_t pos = kPython.size();
  // The character right after "python" decides: "python3.12" passes, "pythonw" does not.
  return utf8::is_numeric(utf8::next(word, pos));
}

bool is_torch_launcher(const std::vector<std::string>& cmd) {
  // No launcher name holds a space, so searching each argument finds exactly what a search
  // of the space-joined command line would.
  for (const std::string_view name :
       {"torchrun", "torch.distributed.run", "torch.distributed.launch"}) {
    for (const auto& argument : cmd) {
      if (argument.find(name) != std::string::npos) return true;
    }
  }
  return false;
}

bool is_python_process(std::string_view name, const std::optional<std::string>& exe,
                       const std::vector<std::string>& cmd) {
  const std::string lower_name = ascii_lower(name);
  if (is_python_name(lower_name) || lower_name == "uv") return true;
  if (exe_passes(exe)) return true;
  for (const auto& argument : cmd) {
    if (argument_passes(argument)) return true;
  }
  return is_torch_launcher(cmd);
}

bool is_python_interpreter(std::string_view name, const PathOrMessage& exe) {
  if (!exe.is_path()) return is_python_name(ascii_lower(name));
  const auto file_name = path_file_name(exe.value);
  return file_name && utf8::is_valid(*file_name) && is_python_name(ascii_lower(*file_name));
}

}  // namespace stackpeek::discovery
