#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stackpeek {

/// The one ellipsis every cut text ends or is joined with.
inline constexpr std::string_view kEllipsis = "…";

/// "1 process", "2 processes": the count and the word that fits it.
std::string plural(size_t count, std::string_view one, std::string_view many);

/// The path as text for display and arguments, each byte sequence that is not UTF-8
/// replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

/// A copy with A-Z lower-cased and every other byte kept, whatever the locale.
std::string ascii_lower(std::string_view text);

/// The lines of `text` split at line feeds: a carriage return right before a line feed is
/// dropped and a final line feed adds no empty line; an empty text has no lines.
std::vector<std::string_view> split_lines(std::string_view text);

/// The fields of a NUL-separated block (/proc/PID/cmdline, /proc/PID/environ); a final NUL
/// ends the last field rather than starting an empty one.
std::vector<std::string_view> split_nul(std::string_view block);

/// A decimal number: an optional "+", then at least one ASCII digit and nothing else;
/// nothing when the text is malformed or the value exceeds `max`.
std::optional<uint64_t> parse_unsigned(std::string_view text,
                                       uint64_t max = std::numeric_limits<uint64_t>::max());

/// The text without terminal escape sequences: a CSI sequence (ESC "[" up to and including
/// its final byte, 0x40-0x7E) goes whole, also when cut off by the end of the text; any
/// other ESC goes alone.
std::string strip_escape_sequences(std::string_view text);

/// The text safe to print as one line of a terminal: C0 controls (including line feeds),
/// DEL, C1 controls, the bidirectional controls and the zero-width format characters are
/// written as "\n", "\t", "\xNN" (controls below U+0080, and bytes that are not UTF-8) or
/// "\u{NNNN}"; everything else is kept. Text without such characters comes back unchanged.
std::string escape_controls(std::string_view text);

/// The text on one line of the screen, whose drawing keeps joined emoji and leaves other
/// controls out: only line feeds and carriage returns are written out, as escape_controls
/// writes them ("\n", "\x0d").
std::string one_line(std::string_view text);

/// The words as a POSIX shell reads them back: each word that is empty or holds anything but
/// letters, digits and `_./:=,+@%-` in single quotes (a quote inside as '\''), joined by
/// blanks.
std::string shell_join(const std::vector<std::string>& words);

/// Whole seconds since the Unix epoch at `time` (0 before it); names report and evidence
/// folders.
uint64_t unix_seconds(
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now());

}  // namespace stackpeek
