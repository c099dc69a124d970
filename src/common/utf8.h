#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace stackpeek::utf8 {

/// Decodes bytes as UTF-8, replacing each invalid or incomplete sequence with U+FFFD
/// (one replacement per maximal invalid subpart, as the Unicode standard recommends).
std::string decode_lossy(std::string_view bytes);

/// True when `bytes` is valid UTF-8.
bool is_valid(std::string_view bytes);

/// Decodes the code point starting at `pos` of valid UTF-8 text and advances `pos` past it.
char32_t next(std::string_view text, size_t& pos);

/// Appends the UTF-8 encoding of `c` to `out`.
void append(std::string& out, char32_t c);

/// Number of code points in valid UTF-8 text.
size_t char_count(std::string_view text);

/// Byte offset of the `n`th code point (text.size() when there are fewer).
size_t byte_offset(std::string_view text, size_t n);

/// True for Unicode general categories Nd, Nl and No.
bool is_numeric(char32_t c);

/// True for characters with the Unicode White_Space property.
bool is_whitespace(char32_t c);

/// `text` without leading and trailing Unicode white space.
std::string_view trim(std::string_view text);

/// `text` without trailing Unicode white space.
std::string_view trim_end(std::string_view text);

/// Terminal columns taken by `c`: 0 for combining and control characters, 2 for wide ones.
int display_width(char32_t c);

/// True for C0 controls, DEL and C1 controls: never written to a terminal.
inline bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7f && c < 0xa0); }

}  // namespace stackpeek::utf8
