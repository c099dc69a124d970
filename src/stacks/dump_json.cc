#include "stacks/dump_json.h"

#include <cstdint>
#include <limits>

namespace stackpeek::stacks {
namespace {

using nlohmann::json;

[[noreturn]] void shape_error(const std::string& what, const json& value) {
  throw json::type_error::create(302, what, &value);
}

const json* member(const json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

const json& required(const json& object, const char* key) {
  if (!object.is_object()) shape_error("expected an object", object);
  const json* value = member(object, key);
  if (value == nullptr) {
    throw json::out_of_range::create(403, std::string("key '") + key + "' not found", &object);
  }
  return *value;
}

std::string string_value(const json& value, const char* key) {
  if (!value.is_string()) shape_error(std::string("'") + key + "' must be a string", value);
  return value.get<std::string>();
}

}  // namespace

void to_json(json& out, const StackFrame& frame) {
  out = json::object(
      {{"function", frame.function.str()}, {"file", frame.file.str()}, {"line", nullptr}});
  if (frame.line) out["line"] = *frame.line;
}

void from_json(const json& in, StackFrame& frame) {
  StackFrame parsed;
  parsed.function = string_value(required(in, "function"), "function");
  parsed.file = string_value(required(in, "file"), "file");
  if (const json* line = member(in, "line"); line != nullptr && !line->is_null()) {
    if (!line->is_number_unsigned() && !(line->is_number_integer() && line->get<int64_t>() >= 0)) {
      shape_error("'line' must be a non-negative integer or null", *line);
    }
    const auto value = line->get<uint64_t>();
    if (value > std::numeric_limits<uint32_t>::max()) {
      shape_error("'line' must fit in 32 bits", *line);
    }
    parsed.line = static_cast<uint32_t>(value);
  }
  frame = parsed;
}

void to_json(json& out, const ThreadStack& thread) {
  out = json::object({{"id", thread.id},
                      {"name", nullptr},
                      {"state", thread_state_name(thread.state)},
                      {"frames", json::array()}});
  if (thread.name) out["name"] = *thread.name;
  auto& frames = out["frames"];
  for (const auto& frame : thread.frames) frames.push_back(frame);
}

void from_json(const json& in, ThreadStack& thread) {
  ThreadStack parsed;
  const json& id = required(in, "id");
  if (id.is_string()) {
    parsed.id = id.get<std::string>();
  } else if (id.is_number_unsigned() || (id.is_number_integer() && id.get<int64_t>() >= 0)) {
    parsed.id = std::to_string(id.get<uint64_t>());
  } else {
    shape_error("'id' must be a string or a non-negative integer", id);
  }
  if (const json* name = member(in, "name"); name != nullptr && !name->is_null()) {
    parsed.name = string_value(*name, "name");
  }
  const json& state_value = required(in, "state");
  const auto state = parse_thread_state(string_value(state_value, "state"));
  if (!state) shape_error("'state' must be \"idle\", \"active\" or \"active+gil\"", state_value);
  parsed.state = *state;
  if (const json* frames = member(in, "frames"); frames != nullptr) {
    if (!frames->is_array()) shape_error("'frames' must be an array", *frames);
    parsed.frames.reserve(frames->size());
    for (const auto& frame : *frames) parsed.frames.push_back(frame.get<StackFrame>());
  }
  thread = std::move(parsed);
}

json threads_to_json(const std::vector<ThreadStack>& threads) {
  json out = json::array();
  for (const auto& thread : threads) out.push_back(thread);
  return out;
}

std::optional<std::vector<ThreadStack>> threads_from_json(const json& value, std::string* error) {
  try {
    if (!value.is_array()) shape_error("'threads' must be an array", value);
    std::vector<ThreadStack> threads;
    threads.reserve(value.size());
    for (const auto& thread : value) threads.push_back(thread.get<ThreadStack>());
    return threads;
  } catch (const json::exception& e) {
    if (error != nullptr) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace stackpeek::stacks
