#include "tasks/top_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.h"

namespace stackpeek::tasks {
namespace {

using Lines = std::vector<std::string>;

const std::string kClear = "\x1b[2J";
const std::string kHome = "\x1b[H";

// One line as real py-spy top draws it after cursor-home.
std::string drawn(const std::string& text) { return "\r\x1b[2K" + text + "\n"; }

TEST(TopFrameTest, LastMarkerOfEitherKindStartsTheScreen) {
  const std::string clear_then_home = "X" + kClear + "Y" + kHome + "Z";
  EXPECT_EQ(top_frame_tail(clear_then_home), "Z");
  EXPECT_EQ(top_frame_lines(clear_then_home), Lines{"Z"});

  const std::string home_then_clear = "X" + kHome + "Y" + kClear + "Z";
  EXPECT_EQ(top_frame_tail(home_then_clear), "Z");

  const std::string adjacent = "old" + kClear + kHome + "new";
  EXPECT_EQ(top_frame_tail(adjacent), "new");
  EXPECT_EQ(top_frame_lines(adjacent), Lines{"new"});

  EXPECT_EQ(top_frame_tail("a\nb"), "a\nb");
  EXPECT_EQ(top_frame_lines("a\nb"), (Lines{"a", "b"}));
}

TEST(TopFrameTest, ControlSequencesAreRemoved) {
  EXPECT_EQ(top_frame_lines("\x1b[1;32mhot\x1b[0m  \n    indented\x1b[K"),
            (Lines{"hot", "    indented"}));
  // Only the ESC of a window-title sequence goes; bracket, text and bell stay.
  EXPECT_EQ(top_frame_lines("\x1b]0;title\x07"), Lines{"]0;title\x07"});
  // ESC ESC [ m: the first ESC alone, then a whole CSI sequence.
  EXPECT_EQ(top_frame_lines("a\x1b\x1b[1mb"), Lines{"ab"});
  // A sequence cut off by the end of the text, and a lone trailing ESC, vanish.
  EXPECT_EQ(top_frame_lines("keep\x1b[12;3"), Lines{"keep"});
  EXPECT_EQ(top_frame_lines("keep\x1b"), Lines{"keep"});
  // A CSI sequence swallows a line feed before its final byte.
  EXPECT_EQ(top_frame_lines("a\x1b[1\n2mb"), Lines{"ab"});
}

TEST(TopFrameTest, RealTopScreenShape) {
  std::string stream(24, '\n');  // py-spy top first scrolls the terminal clear
  stream += kHome;
  stream += drawn("Collecting samples from 'python3 train.py' (python v3.12.3)");
  stream += drawn("Total Samples 300");
  stream += drawn("");
  stream += drawn("\x1b[7m  %Own   %Total  Function (filename)\x1b[0m");
  stream += drawn("  12.00%  12.00%   forward (model.py:88)");
  stream += drawn("");
  stream += drawn("Press Control-C to quit, or ? for help.");
  // The leading carriage return stays; the screen layer skips it when drawing. py-spy's key
  // hint goes: its keys never reach it.
  EXPECT_EQ(top_frame_lines(stream),
            (Lines{"\rCollecting samples from 'python3 train.py' (python v3.12.3)",
                   "\rTotal Samples 300", "\r  %Own   %Total  Function (filename)",
                   "\r  12.00%  12.00%   forward (model.py:88)"}));
}

TEST(TopFrameTest, LineBreaksAndTrailingWhitespace) {
  EXPECT_EQ(top_frame_lines("one\r\ntwo\r\r\nthree \t\u3000\r"), (Lines{"one", "two", "three"}));
  EXPECT_EQ(top_frame_lines("\n\n  \n\r\n\x1b[2K\n"), Lines{});
  EXPECT_EQ(top_frame_lines("old screen" + kHome + "\x1b[2K\r\n   \n\x1b[0m"), Lines{});
  EXPECT_EQ(top_frame_lines(""), Lines{});
}

TEST(TopFrameTest, KeepsTheBottom32NonBlankLinesInOrder) {
  std::string screen = kClear;
  for (int i = 1; i <= 40; ++i) screen += "line " + std::to_string(i) + "\n\n";
  const Lines frame = top_frame_lines(screen);
  ASSERT_EQ(frame.size(), 32u);
  EXPECT_EQ(frame.front(), "line 9");
  EXPECT_EQ(frame.back(), "line 40");
}

TEST(TopFrameTest, TailIsBoundedInCharacters) {
  const std::string long_screen(20000, 'a');
  EXPECT_EQ(top_frame_tail(kHome + long_screen), std::string(16384, 'a'));
  const std::string exact(16384, 'b');
  EXPECT_EQ(top_frame_tail("x" + kHome + exact), exact);

  // 16385 bytes of which 10000 are two-byte characters: over the byte bound, but only
  // 11385 characters, so nothing is dropped.
  std::string wide;
  for (int i = 0; i < 5000; ++i) wide += "\u00e9";
  wide += std::string(6385, 'c');
  EXPECT_EQ(top_frame_tail(wide), wide);

  // 20000 two-byte characters keep their last 16384 characters, never half of one.
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "\u00e9";
  const std::string tail = top_frame_tail(many);
  EXPECT_EQ(tail.size(), 2u * 16384);
  EXPECT_EQ(utf8::char_count(tail), 16384u);
  EXPECT_TRUE(utf8::is_valid(tail));
}

TEST(TopStreamStepTest, MarkersAndCharactersSplitAcrossReads) {
  std::string pending;
  EXPECT_EQ(top_stream_step(pending, "first\x1b["), Lines{"first"});
  // The marker completes in the next read: the new screen replaces the old one.
  EXPECT_EQ(top_stream_step(pending, "Hsecond\n"), Lines{"second"});
  EXPECT_EQ(pending, "second\n");
  EXPECT_EQ(top_stream_step(pending, "third"), (Lines{"second", "third"}));

  // Each read is decoded on its own: a split two-byte character becomes two U+FFFD.
  std::string split;
  top_stream_step(split, "\xc3");
  top_stream_step(split, "\xa9");
  EXPECT_EQ(split, "\xEF\xBF\xBD\xEF\xBF\xBD");
  // Bytes that are never valid become U+FFFD too.
  std::string bad;
  EXPECT_EQ(top_stream_step(bad, "\xff\xfe!"), Lines{"\xEF\xBF\xBD\xEF\xBF\xBD!"});
}

TEST(TopStreamStepTest, PendingTextStaysBoundedWithoutMarkers) {
  std::string pending;
  const std::string chunk(kTopReadSize, 'z');
  for (int i = 0; i < 20; ++i) {
    top_stream_step(pending, chunk);
    EXPECT_LE(pending.size(), kTopPendingLimit);
  }
  EXPECT_EQ(pending.size(), kTopPendingLimit);
}

TEST(TopStreamTrailerTest, WhatFollowsTheLastScreenLine) {
  std::string pending;
  top_stream_step(pending, std::string(24, '\n'));
  top_stream_step(pending,
                  "\x1b[H\r\x1b[2KTotal Samples 100\n\r\x1b[2K\n\r\x1b[2KPress Control-C\n");
  EXPECT_EQ(top_stream_trailer(pending), "");
  top_stream_step(pending, "\nprocess 7 ended\n");
  EXPECT_EQ(top_stream_trailer(pending), "process 7 ended\n");
}

TEST(TopStreamTrailerTest, TextWithoutScreenIsKeptWhole) {
  EXPECT_EQ(top_stream_trailer(std::string(24, '\n') +
                               "Error: Permission Denied\r\n\nCaused by:\n  \x1b[1mx\x1b[0m  \n\n"),
            "Error: Permission Denied\n\nCaused by:\n  x\n");
  EXPECT_EQ(top_stream_trailer(""), "");
  EXPECT_EQ(top_stream_trailer("no line feed"), "no line feed\n");
  // A screen line still being written leaves nothing after it.
  EXPECT_EQ(top_stream_trailer("\r\x1b[2KTotal Sam"), "");
}

}  // namespace
}  // namespace stackpeek::tasks
