#pragma once

// Texts fitted to a number of terminal columns, counted in graphemes as the screen draws
// them; every cut is marked with the one ellipsis (kEllipsis). The screen, the comparison's
// text and the group labels all cut with these.

#include <string>
#include <string_view>

namespace stackpeek {

/// True when `text` takes at most `width` columns.
bool fits_width(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else its head cut to leave room for a final
/// "…" within `width`.
std::string cut_end(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else its head up to the last blank that
/// leaves room for a final "…" (cut_end when no word ends in time).
std::string cut_at_word(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else its head and its tail around "…", the
/// tail getting the odd column (a path's file name and a frame's line are at the end).
std::string cut_middle(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else "…" and as much of its tail as fits.
std::string keep_end(std::string_view text, int width);

}  // namespace stackpeek
