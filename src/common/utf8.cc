#include "common/utf8.h"

#include <utf8proc.h>

namespace stackpeek::utf8 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the valid sequence starting at `i`, or 0 with `bad` set to the length of the
// maximal invalid subpart to replace with one U+FFFD.
size_t valid_sequence(std::string_view s, size_t i, size_t& bad) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  bad = 1;
  if (b0 < 0x80) return 1;
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      bad = k;
      return 0;
    }
    const unsigned char b = byte(i + k);
    const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    // Copy runs of ASCII quickly; most text is ASCII.
    size_t start = i;
    while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
    out.append(bytes.substr(start, i - start));
    if (i >= bytes.size()) break;
    size_t bad = 0;
    const size_t len = valid_sequence(bytes, i, bad);
    if (len > 0) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      append(out, kReplacement);
      i += bad;
    }
  }
  return out;
}

bool is_valid(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    const size_t len = valid_sequence(bytes, i, bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t next(std::string_view text, size_t& pos) {
  const auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[k])); };
  const char32_t b0 = b(pos);
  if (b0 < 0x80) {
    pos += 1;
    return b0;
  }
  size_t bad = 0;
  const size_t len = valid_sequence(text, pos, bad);
  if (len == 0) {  // not valid UTF-8: step over the bad part
    pos += bad;
    return kReplacement;
  }
  char32_t c = len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < len; ++k) c = (c << 6) | (b(pos + k) & 0x3F);
  pos += len;
  return c;
}

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

size_t char_count(std::string_view text) {
  size_t n = 0;
  for (const char ch : text) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return n;
}

size_t byte_offset(std::string_view text, size_t n) {
  size_t pos = 0;
  for (size_t i = 0; i < n && pos < text.size(); ++i) next(text, pos);
  return pos;
}

bool is_numeric(char32_t c) {
  if (c >= '0' && c <= '9') return true;
  if (c < 0x80) return false;
  const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
  return category == UTF8PROC_CATEGORY_ND || category == UTF8PROC_CATEGORY_NL ||
         category == UTF8PROC_CATEGORY_NO;
}

bool is_whitespace(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim_end(std::string_view text) {
  size_t end = text.size();
  size_t pos = 0, last_keep = 0;
  while (pos < end) {
    const char32_t c = next(text, pos);
    if (!is_whitespace(c)) last_keep = pos;
  }
  return text.substr(0, last_keep);
}

std::string_view trim(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t at = pos;
    if (!is_whitespace(next(text, pos))) {
      pos = at;
      break;
    }
  }
  return trim_end(text.substr(pos));
}

int display_width(char32_t c) {
  if (is_control(c)) return 0;
  if (c < 0x7f) return 1;
  const int width = utf8proc_charwidth(static_cast<utf8proc_int32_t>(c));
  return width < 0 ? 0 : width;
}

}  // namespace stackpeek::utf8
