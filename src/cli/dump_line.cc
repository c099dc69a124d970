#include "cli/dump_line.h"

#include <simdjson.h>

#include <limits>

#include "cli/line_reader.h"
#include "common/utf8.h"
#include "stacks/stack_merge.h"

namespace stackpeek::cli {
namespace {

namespace od = simdjson::ondemand;
using Failure = std::unexpected<std::string>;

static_assert(kLinePadding >= simdjson::SIMDJSON_PADDING);

// Why a line is not what compare reads; thrown inside this file only.
struct Malformed {
  std::string why;
};

// An object key compared without unescaping: the keys read here need no escapes.
struct Key {
  od::raw_json_string raw;
  bool operator==(std::string_view name) const { return raw.unsafe_is_equal(name); }
};

[[noreturn, gnu::cold, gnu::noinline]] void malformed(std::string_view what,
                                                      simdjson::error_code error) {
  throw Malformed{std::string(what) + " (" + simdjson::error_message(error) + ")"};
}

// Inlined on purpose: a result passed to a call by value costs a stall on every field.
template <typename T>
[[gnu::always_inline]] inline T need(simdjson::simdjson_result<T>&& result, std::string_view what) {
  T value;
  if (const auto error = std::move(result).get(value); error != simdjson::SUCCESS) {
    malformed(what, error);
  }
  return value;
}

// For a result held in a variable (an array's element): a copy, as reading it consumes it.
template <typename T>
[[gnu::always_inline]] inline T need(const simdjson::simdjson_result<T>& result,
                                     std::string_view what) {
  return need(simdjson::simdjson_result<T>(result), what);
}

// Blanks as launchers pad labels and line ends; a whole-text Unicode trim costs more than
// parsing on long lines.
std::string_view trim_blanks(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Splits off a "NAME: " label; the text after it starts the object.
std::pair<std::string_view, std::string_view> split_label(std::string_view line) {
  const std::string_view body = trim_blanks(line);
  if (body.starts_with('{')) return {{}, body};
  const size_t colon = body.find(": ");
  if (colon == std::string_view::npos) return {{}, body};
  return {trim_blanks(body.substr(0, colon)), body.substr(colon + 2)};
}

std::optional<uint32_t> u32_value(od::value& value) {
  uint64_t number = 0;
  if (value.get_uint64().get(number) != simdjson::SUCCESS) return std::nullopt;
  if (number > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(number);
}

std::string text_value(od::value& value) {
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) return {};
  return std::string(text);
}

bool is_null(od::value& value) {
  bool null = false;
  return value.is_null().get(null) == simdjson::SUCCESS && null;
}

// Per thread and frame, the "lines" of a merged class's frames.
using Lines = std::vector<std::vector<std::vector<uint32_t>>>;

stacks::StackFrame read_frame(od::value value, std::vector<uint32_t>* lines) {
  od::object object = need(value.get_object(), "a frame must be an object");
  stacks::StackFrame frame;
  bool function = false, file = false;
  for (auto entry : object) {
    od::field field = need(std::move(entry), "a frame must be an object");
    const Key key{field.key()};
    od::value item = field.value();
    if (key == "function") {
      frame.function = need(item.get_string(), "'function' must be a string");
      function = true;
    } else if (key == "file") {
      frame.file = need(item.get_string(), "'file' must be a string");
      file = true;
    } else if (key == "line" && !is_null(item)) {
      frame.line = u32_value(item);
      if (!frame.line) throw Malformed{"'line' must be a non-negative integer or null"};
    } else if (key == "lines" && lines != nullptr) {
      for (auto line : need(item.get_array(), "'lines' must be an array")) {
        stacks::add_line(*lines, static_cast<uint32_t>(
                                     need(line.get_uint64(), "'lines' must hold line numbers")));
      }
    }
  }
  if (!function || !file) throw Malformed{"a frame needs 'function' and 'file'"};
  return frame;
}

stacks::ThreadStack read_thread(od::value value, std::vector<std::vector<uint32_t>>* lines) {
  od::object object = need(value.get_object(), "a thread must be an object");
  stacks::ThreadStack thread;
  bool id = false, state = false;
  for (auto entry : object) {
    od::field field = need(std::move(entry), "a thread must be an object");
    const Key key{field.key()};
    od::value item = field.value();
    if (key == "id") {
      std::string_view text;
      uint64_t number = 0;
      if (item.get_string().get(text) == simdjson::SUCCESS) {
        thread.id = std::string(text);
      } else if (item.get_uint64().get(number) == simdjson::SUCCESS) {
        thread.id = std::to_string(number);
      } else {
        throw Malformed{"'id' must be a string or a non-negative integer"};
      }
      id = true;
    } else if (key == "name" && !is_null(item)) {
      thread.name = std::string(need(item.get_string(), "'name' must be a string"));
    } else if (key == "state") {
      const auto parsed =
          stacks::parse_thread_state(need(item.get_string(), "'state' must be a string"));
      if (!parsed) throw Malformed{"'state' must be \"idle\", \"active\" or \"active+gil\""};
      thread.state = *parsed;
      state = true;
    } else if (key == "frames") {
      for (auto frame : need(item.get_array(), "'frames' must be an array")) {
        if (lines != nullptr) lines->emplace_back();
        thread.frames.push_back(read_frame(need(frame, "'frames' must be an array"),
                                           lines != nullptr ? &lines->back() : nullptr));
      }
    }
  }
  if (!id || !state) throw Malformed{"a thread needs 'id' and 'state'"};
  return thread;
}

std::vector<stacks::ThreadStack> read_threads(od::value value, Lines* lines) {
  std::vector<stacks::ThreadStack> threads;
  for (auto thread : need(value.get_array(), "'threads' must be an array")) {
    if (lines != nullptr) lines->emplace_back();
    threads.push_back(read_thread(need(thread, "'threads' must be an array"),
                                  lines != nullptr ? &lines->back() : nullptr));
  }
  return threads;
}

// A dump line's fields, as read.
struct DumpFields {
  std::string host, group, status, stderr_text;
  std::optional<uint32_t> pid, rank, world_size, exit_code, signal, unchanged;
  std::optional<std::vector<stacks::ThreadStack>> threads;
  std::optional<std::string> raw;
};

// The error of a failed dump: py-spy's standard error, or how the command ended.
std::string failure_text(const DumpFields& fields) {
  if (!utf8::trim(fields.stderr_text).empty()) return fields.stderr_text;
  if (fields.exit_code) return "py-spy failed with exit code " + std::to_string(*fields.exit_code);
  if (fields.signal) return stacks::crash_text(static_cast<int>(*fields.signal));
  return "py-spy status " + fields.status;
}

stacks::DumpResult dump_result(DumpFields fields, std::string_view label) {
  if (!fields.pid) throw Malformed{"'pid' must be a process id"};
  if (fields.status.empty()) throw Malformed{"'status' must be a text"};
  stacks::DumpResult result;
  result.pid = *fields.pid;
  result.rank = fields.rank;
  result.world_size = fields.world_size;
  result.job = std::move(fields.group);
  if (fields.unchanged) result.unchanged = std::chrono::seconds(*fields.unchanged);
  // `srun --label` puts the task number, not a host, before each line.
  const bool task_number =
      !label.empty() && label.find_first_not_of("0123456789") == std::string_view::npos;
  result.host = label.empty() || task_number ? std::move(fields.host) : std::string(label);
  if (fields.status != status_name(RunStatus::Success)) {
    result.status = stacks::DumpStatus::Failed;
    result.error = failure_text(fields);
  } else if (fields.threads) {
    result.dump = stacks::ProcessDump{{}, {}, std::move(*fields.threads)};
  } else if (fields.raw) {
    result.raw = std::move(*fields.raw);
  } else {
    throw Malformed{"a successful dump needs 'threads' or 'raw'"};
  }
  return result;
}

stacks::ClassMember read_member(od::value value) {
  stacks::ClassMember member;
  bool pid = false;
  for (auto entry : need(value.get_object(), "a member must be an object")) {
    od::field field = need(std::move(entry), "a member must be an object");
    const Key key{field.key()};
    od::value item = field.value();
    if (key == "host") member.host = text_value(item);
    if (key == "job") member.job = text_value(item);
    if (key == "rank") member.rank = u32_value(item);
    if (key == "world_size") member.world_size = u32_value(item);
    if (key == "unchanged_s") {
      if (const auto seconds = u32_value(item)) member.unchanged = std::chrono::seconds(*seconds);
    }
    if (key == "pid") {
      const auto number = u32_value(item);
      if (!number) throw Malformed{"'pid' must be a process id"};
      member.pid = *number;
      pid = true;
    }
  }
  if (!pid) throw Malformed{"a member needs 'pid'"};
  return member;
}

stacks::StackClass read_class(od::value value) {
  stacks::StackClass merged;
  std::string kind;
  for (auto entry : need(value.get_object(), "a bucket must be an object")) {
    od::field field = need(std::move(entry), "a bucket must be an object");
    const Key key{field.key()};
    od::value item = field.value();
    if (key == "kind") kind = text_value(item);
    if (key == "threads") merged.threads = read_threads(item, &merged.lines);
    if (key == "error" || key == "raw") merged.text = text_value(item);
    if (key == "members") {
      for (auto member : need(item.get_array(), "'members' must be an array")) {
        merged.members.push_back(read_member(need(member, "'members' must be an array")));
      }
    }
  }
  if (kind == "stack") {
    merged.kind = stacks::BucketKind::Stack;
  } else if (kind == "failed") {
    merged.kind = stacks::BucketKind::Failed;
  } else if (kind == "unparsed") {
    merged.kind = stacks::BucketKind::Unparsed;
  } else {
    throw Malformed{"a bucket's 'kind' must be \"stack\", \"failed\" or \"unparsed\""};
  }
  return merged;
}

// Reads the fields of one object into a dump line's fields, or a merge's classes.
void read_fields(od::object& object, DumpFields& fields, std::vector<stacks::StackClass>& classes,
                 bool& merged) {
  for (auto entry : object) {
    od::field field = need(std::move(entry), "not a JSON object");
    const Key key{field.key()};
    od::value value = field.value();
    if (key == "host") fields.host = text_value(value);
    if (key == "group") fields.group = text_value(value);
    if (key == "status") fields.status = text_value(value);
    if (key == "stderr") fields.stderr_text = text_value(value);
    if (key == "pid") fields.pid = u32_value(value);
    if (key == "rank") fields.rank = u32_value(value);
    if (key == "world_size") fields.world_size = u32_value(value);
    if (key == "exit_code") fields.exit_code = u32_value(value);
    if (key == "signal") fields.signal = u32_value(value);
    if (key == "unchanged_s") fields.unchanged = u32_value(value);
    if (key == "threads" && !is_null(value)) fields.threads = read_threads(value, nullptr);
    if (key == "raw") {
      std::string_view raw;
      if (value.get_string().get(raw) == simdjson::SUCCESS) fields.raw = std::string(raw);
    }
    if (key == "buckets") {
      merged = true;
      for (auto bucket : need(value.get_array(), "'buckets' must be an array")) {
        classes.push_back(read_class(need(bucket, "'buckets' must be an array")));
      }
    }
  }
}

}  // namespace

std::expected<CompareLine, std::string> parse_compare_line(std::string_view line, bool padded) {
  const auto [label, body] = split_label(line);
  if (!body.starts_with('{')) return Failure("not a JSON object");
  thread_local od::parser parser;
  simdjson::padded_string copy;
  od::document document;
  auto iterated = padded ? parser.iterate(body.data(), body.size(), body.size() + kLinePadding)
                         : parser.iterate(copy = simdjson::padded_string(body));
  if (std::move(iterated).get(document) != simdjson::SUCCESS) return Failure("not a JSON object");
  try {
    od::object object = need(document.get_object(), "not a JSON object");
    DumpFields fields;
    CompareLine out;
    bool merged = false;
    read_fields(object, fields, out.classes, merged);
    if (!merged) out.dump = dump_result(std::move(fields), label);
    return out;
  } catch (const Malformed& malformed) {
    return Failure(malformed.why);
  }
}

std::expected<stacks::DumpResult, std::string> parse_dump_line(std::string_view line) {
  auto parsed = parse_compare_line(line);
  if (!parsed) return Failure(parsed.error());
  if (!parsed->dump) return Failure("a comparison, not a dump line");
  return std::move(*parsed->dump);
}

}  // namespace stackpeek::cli
