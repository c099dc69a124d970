#include "common/util.h"

#include <algorithm>

#include "common/utf8.h"

namespace stackpeek {

std::string plural(size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string path_text(const std::filesystem::path& path) {
  return utf8::decode_lossy(path.native());
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end == std::string_view::npos) {
      lines.push_back(line);
      break;
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> split_nul(std::string_view block) {
  std::vector<std::string_view> fields;
  while (!block.empty()) {
    const size_t end = std::min(block.find('\0'), block.size());
    fields.push_back(block.substr(0, end));
    block.remove_prefix(std::min(end + 1, block.size()));
  }
  return fields;
}

std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

namespace {

constexpr char kEsc = '\x1b';

bool in_range(char c, int low, int high) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= low && byte <= high;
}

}  // namespace

std::string strip_escape_sequences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t esc = text.find(kEsc, i);
    if (esc == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, esc - i));
    i = esc + 1;
    if (i < text.size() && text[i] == '[') {
      ++i;
      while (i < text.size() && !in_range(text[i], 0x40, 0x7E)) ++i;
      if (i < text.size()) ++i;
    }
  }
  return out;
}

namespace {

// Characters that reorder or hide text without showing: the bidirectional controls
// (U+061C, U+200E/F, U+202A-E, U+2066-9) and the zero-width format characters.
bool is_invisible_format(char32_t c) {
  return c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

// `value` as lower-case hex digits, at least `digits` of them.
void append_hex(std::string& out, uint32_t value, int digits) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string text;
  while (value > 0 || digits > 0) {
    text.insert(text.begin(), kHex[value & 0xF]);
    value >>= 4;
    --digits;
  }
  out += text;
}

void append_escape(std::string& out, char32_t c) {
  if (c == '\n') {
    out += "\\n";
  } else if (c == '\t') {
    out += "\\t";
  } else if (c < 0x80) {
    out += "\\x";
    append_hex(out, c, 2);
  } else {
    out += "\\u{";
    append_hex(out, c, 4);
    out += '}';
  }
}

}  // namespace

std::string escape_controls(std::string_view text) {
  constexpr char32_t kReplacement = 0xFFFD;
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const char32_t c = utf8::next(text, pos);
    const std::string_view bytes = text.substr(start, pos - start);
    if (c == kReplacement && bytes != "\xEF\xBF\xBD") {
      for (const char byte : bytes) {
        out += "\\x";
        append_hex(out, static_cast<unsigned char>(byte), 2);
      }
    } else if (utf8::is_control(c) || is_invisible_format(c)) {
      append_escape(out, c);
    } else {
      out.append(bytes);
    }
  }
  return out;
}

std::string one_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\n' || c == '\r') {
      append_escape(out, static_cast<char32_t>(c));  // as escape_controls writes them
    } else {
      out += c;
    }
  }
  return out;
}

std::string shell_join(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& word : words) {
    if (!out.empty()) out += ' ';
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             std::string_view("_./:=,+@%-").find(c) != std::string_view::npos;
    });
    if (plain) {
      out += word;
      continue;
    }
    out += '\'';
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    out += '\'';
  }
  return out;
}

uint64_t unix_seconds(std::chrono::system_clock::time_point time) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

}  // namespace stackpeek
