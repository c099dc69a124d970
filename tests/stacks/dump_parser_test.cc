#include "stacks/dump_parser.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "stacks/dump_json.h"
#include "stacks/stack_compare.h"

namespace stackpeek::stacks {
namespace {

using nlohmann::json;

const std::string kHeader =
    "Process 165: python3 train.py --epochs 10\n"
    "Python v3.12.3 (/usr/bin/python3.12)\n"
    "\n";

// The example of /work/shared/py-spy-notes.md.
const std::string kNotesExample = kHeader +
                                  "Thread 165 (active+gil): \"MainThread\"\n"
                                  "    forward (model.py:88)\n"
                                  "    train_step (train.py:41)\n"
                                  "    <module> (train.py:120)\n"
                                  "Thread 371 (idle): \"Thread-1\"\n"
                                  "    wait (threading.py:331)\n";

StackFrame frame(std::string function, std::string file, std::optional<uint32_t> line) {
  return StackFrame{std::move(function), std::move(file), line};
}

// The only frame of a one-thread dump whose frame line is `line`.
std::optional<StackFrame> only_frame(const std::string& line) {
  const auto dump = parse_dump(kHeader + "Thread 1 (idle)\n" + line + "\n");
  if (!dump || dump->threads.size() != 1 || dump->threads[0].frames.size() != 1) {
    return std::nullopt;
  }
  return dump->threads[0].frames[0];
}

// The only thread of a dump made of the header and `line`.
std::optional<ThreadStack> only_thread(const std::string& line) {
  const auto dump = parse_dump(kHeader + line + "\n");
  if (!dump || dump->threads.size() != 1) return std::nullopt;
  return dump->threads[0];
}

TEST(DumpParserTest, NotesExample) {
  const auto dump = parse_dump(kNotesExample);
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->process_line, "Process 165: python3 train.py --epochs 10");
  EXPECT_EQ(dump->python_line, "Python v3.12.3 (/usr/bin/python3.12)");
  ASSERT_EQ(dump->threads.size(), 2u);
  const ThreadStack& main = dump->threads[0];
  EXPECT_EQ(main.id, "165");
  EXPECT_EQ(main.name, "MainThread");
  EXPECT_EQ(main.state, ThreadState::ActiveGil);
  EXPECT_EQ(main.frames, (std::vector<StackFrame>{frame("forward", "model.py", 88),
                                                  frame("train_step", "train.py", 41),
                                                  frame("<module>", "train.py", 120)}));
  const ThreadStack& worker = dump->threads[1];
  EXPECT_EQ(worker.id, "371");
  EXPECT_EQ(worker.name, "Thread-1");
  EXPECT_EQ(worker.state, ThreadState::Idle);
  EXPECT_EQ(worker.frames, std::vector<StackFrame>{frame("wait", "threading.py", 331)});
}

TEST(DumpParserTest, ThreadHeaders) {
  auto hex = only_thread("Thread 0x7F3A2B1C4740 (idle): \"MainThread\"");
  ASSERT_TRUE(hex);
  EXPECT_EQ(hex->id, "0x7F3A2B1C4740");
  EXPECT_EQ(hex->state, ThreadState::Idle);
  EXPECT_TRUE(hex->frames.empty());

  auto unnamed = only_thread("Thread 371 (active)");
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->name, std::nullopt);
  EXPECT_EQ(unnamed->state, ThreadState::Active);

  EXPECT_EQ(only_thread("Thread 1 (idle): \"\"")->name, "");
  EXPECT_EQ(only_thread("Thread 1 (idle): \"say \"hi\" now\"")->name, "say \"hi\" now");
  EXPECT_EQ(only_thread("Thread 1 (idle): \"Thread-1 (worker)\"  \t")->name, "Thread-1 (worker)");
  EXPECT_EQ(only_thread("Thread 0xabcdef (idle)")->id, "0xabcdef");

  for (const char* bad :
       {"Thread (idle)", "Thread 12x (idle)", "Thread 0x (idle)", "Thread -1 (idle)",
        "Thread 1 (sleeping)", "Thread 1 (Idle)", "Thread 1 idle", "Thread 1 (idle",
        "Thread 1 (idle): MainThread", "Thread 1 (idle): \"", "Thread 1 (idle) \"x\"",
        "thread 1 (idle)", " Thread 1 (idle)", "Thread  1 (idle)", "Thread 1  (idle)"}) {
    EXPECT_FALSE(only_thread(bad)) << bad;
  }
}

TEST(DumpParserTest, FrameShapes) {
  EXPECT_EQ(only_frame("    forward (model.py:88)"), frame("forward", "model.py", 88));
  EXPECT_EQ(only_frame("    <module> (train.py:1)"), frame("<module>", "train.py", 1));
  EXPECT_EQ(only_frame("    <lambda> (a.py:7)"), frame("<lambda>", "a.py", 7));
  EXPECT_EQ(only_frame("    Foo.bar (pkg/foo.py:3)"), frame("Foo.bar", "pkg/foo.py", 3));
  // Native frames: no line, spaces and parentheses in the function name.
  EXPECT_EQ(only_frame("    PyEval_EvalFrameDefault (libpython3.12.so)"),
            frame("PyEval_EvalFrameDefault", "libpython3.12.so", std::nullopt));
  EXPECT_EQ(only_frame("    std::function<void ()>::operator() (functional:591)"),
            frame("std::function<void ()>::operator()", "functional", 591));
  EXPECT_EQ(only_frame("    a function name (x.py:5)"), frame("a function name", "x.py", 5));
  // The last ":" before a number splits file and line; other colons stay in the file.
  EXPECT_EQ(only_frame("    f (C:\\work\\a.py:12)"), frame("f", "C:\\work\\a.py", 12));
  EXPECT_EQ(only_frame("    f (/srv/a:b/c.py:12)"), frame("f", "/srv/a:b/c.py", 12));
  EXPECT_EQ(only_frame("    f (a.py:12:34)"), frame("f", "a.py:12", 34));
  EXPECT_EQ(only_frame("    f (a.py:)"), frame("f", "a.py:", std::nullopt));
  EXPECT_EQ(only_frame("    f (a.py:1x)"), frame("f", "a.py:1x", std::nullopt));
  EXPECT_EQ(only_frame("    f (<frozen importlib._bootstrap>:241)"),
            frame("f", "<frozen importlib._bootstrap>", 241));
  // A line number that does not fit 32 bits stays part of the file.
  EXPECT_EQ(only_frame("    f (a.py:4294967295)"), frame("f", "a.py", 4294967295u));
  EXPECT_EQ(only_frame("    f (a.py:4294967296)"), frame("f", "a.py:4294967296", std::nullopt));
  EXPECT_EQ(only_frame("    f (a.py:00000000001)"), frame("f", "a.py:00000000001", std::nullopt));
  // The last " (" splits: a file holding " (" moves its head into the function.
  EXPECT_EQ(only_frame("    f (my dir (copy)/a.py:3)"), frame("f (my dir", "copy)/a.py", 3));
  EXPECT_EQ(only_frame("    f ()"), frame("f", "", std::nullopt));
  EXPECT_EQ(only_frame("    f (:9)"), frame("f", "", 9));
  EXPECT_EQ(only_frame("    forward (model.py:88)   \r"), frame("forward", "model.py", 88));

  for (const char* bad :
       {"    forward", "    forward model.py:88", "    forward (model.py:88", "    (model.py:88)",
        "     forward (model.py:88)", "        Arguments:", "   forward (model.py:88)",
        "\tforward (model.py:88)", "    forward(model.py:88)"}) {
    EXPECT_FALSE(only_frame(bad)) << bad;
  }
}

TEST(DumpParserTest, HeaderIsRequired) {
  EXPECT_FALSE(parse_dump(""));
  EXPECT_FALSE(parse_dump("Process 1: x\n"));
  EXPECT_FALSE(parse_dump("Process 1: x"));
  EXPECT_FALSE(parse_dump("\nProcess 1: x\nPython v3.12.3 (/usr/bin/python3)\n"));
  EXPECT_FALSE(parse_dump("Python v3.12.3 (/usr/bin/python3)\nProcess 1: x\n"));
  EXPECT_FALSE(parse_dump("Error: Failed to find python version from target process\n"));
  const auto header_only = parse_dump("Process 1: x\nPython v3.12.3 (/usr/bin/python3)");
  ASSERT_TRUE(header_only);
  EXPECT_TRUE(header_only->threads.empty());
}

TEST(DumpParserTest, CommandWithLineFeedsKeepsItsProcessLineWhole) {
  const std::string text =
      "Process 9: /usr/bin/python3 -c import time x\ny\n\n  z\nPython v3.11.2 (/usr/bin/python3)\n"
      "\nThread 9 (idle)\n    <module> (<string>:1)\n";
  const auto dump = parse_dump(text);
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->process_line, "Process 9: /usr/bin/python3 -c import time x\ny\n\n  z");
  EXPECT_EQ(dump->threads.size(), 1u);
  EXPECT_EQ(parse_dump(format_dump(*dump)), dump);
}

TEST(DumpParserTest, AnythingElseLeavesTheDumpUnparsed) {
  // A frame before any thread.
  EXPECT_FALSE(parse_dump(kHeader + "    forward (model.py:88)\n"));
  // The stand-in's STACKPEEK_FAKE_BINARY line, decoded.
  EXPECT_FALSE(parse_dump(kNotesExample + "\uFFFD\uFFFD invalid UTF-8 \uFFFD\n"));
  // --locals output and a second process block.
  EXPECT_FALSE(parse_dump(kNotesExample + "        Locals:\n            x: 1\n"));
  EXPECT_FALSE(parse_dump(kNotesExample + "Process 166: python3 worker.py\n"));
  EXPECT_FALSE(parse_dump(kNotesExample + "py-spy> warning\n"));
}

TEST(DumpParserTest, LineEndsBlankLinesAndColour) {
  std::string crlf;
  for (const char c : kNotesExample) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(parse_dump(crlf), parse_dump(kNotesExample));

  const auto spaced = parse_dump(kHeader + "\n\nThread 1 (idle)\n\n    f (a.py:1)\n  \n\n");
  ASSERT_TRUE(spaced);
  ASSERT_EQ(spaced->threads.size(), 1u);
  EXPECT_EQ(spaced->threads[0].frames.size(), 1u);

  // As py-spy colours it on a terminal (console crate styles).
  const std::string coloured =
      "Process \x1b[1;33m165\x1b[0m: python3 train.py --epochs 10\n"
      "Python v\x1b[1m3.12.3\x1b[0m (/usr/bin/python3.12)\n"
      "\n"
      "Thread \x1b[1;33m165\x1b[0m (\x1b[1mactive+gil\x1b[0m): \"MainThread\"\n"
      "    \x1b[32mforward\x1b[0m (\x1b[36mmodel.py\x1b[0m:\x1b[2m88\x1b[0m)\n"
      "    \x1b[32mtrain_step\x1b[0m (\x1b[36mtrain.py\x1b[0m:\x1b[2m41\x1b[0m)\n"
      "    \x1b[32m<module>\x1b[0m (\x1b[36mtrain.py\x1b[0m:\x1b[2m120\x1b[0m)\n"
      "Thread \x1b[1;33m371\x1b[0m (idle): \"Thread-1\"\n"
      "    \x1b[32mwait\x1b[0m (\x1b[36mthreading.py\x1b[0m:\x1b[2m331\x1b[0m)\n";
  EXPECT_EQ(parse_dump(coloured), parse_dump(kNotesExample));
}

TEST(DumpParserTest, FormatRoundTrips) {
  const auto dump = parse_dump(kNotesExample);
  ASSERT_TRUE(dump);
  EXPECT_EQ(format_dump(*dump), kNotesExample);
  EXPECT_EQ(format_frame(frame("f", "a.py", 3)), "f (a.py:3)");
  EXPECT_EQ(format_frame(frame("f", "libc.so.6", std::nullopt)), "f (libc.so.6)");

  const std::string odd = kHeader +
                          "Thread 0xABC (active): \"a \"b\"\"\n"
                          "    f (my dir (copy)/a.py:3)\n"
                          "    g (a.py:4294967296)\n"
                          "    h (a.py:12:34)\n"
                          "Thread 7 (idle)\n";
  const auto parsed = parse_dump(odd);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parse_dump(format_dump(*parsed)), parsed);
}

TEST(DumpParserTest, ThreadStates) {
  for (const auto state : {ThreadState::Idle, ThreadState::Active, ThreadState::ActiveGil}) {
    EXPECT_EQ(parse_thread_state(thread_state_name(state)), state);
  }
  EXPECT_EQ(thread_state_name(ThreadState::ActiveGil), "active+gil");
  EXPECT_FALSE(parse_thread_state("gil"));
  EXPECT_FALSE(parse_thread_state(""));
}

TEST(DumpJsonTest, RoundTrip) {
  const auto dump = parse_dump(kNotesExample + "Thread 0x1F (active)\n    native (libc.so.6)\n");
  ASSERT_TRUE(dump);
  const json value = threads_to_json(dump->threads);
  EXPECT_EQ(value[0], json::parse(R"({"id": "165", "name": "MainThread", "state": "active+gil",
      "frames": [{"function": "forward", "file": "model.py", "line": 88},
                 {"function": "train_step", "file": "train.py", "line": 41},
                 {"function": "<module>", "file": "train.py", "line": 120}]})"));
  EXPECT_EQ(value[2], json::parse(R"({"id": "0x1F", "name": null, "state": "active",
      "frames": [{"function": "native", "file": "libc.so.6", "line": null}]})"));
  EXPECT_EQ(threads_from_json(value), dump->threads);
  EXPECT_EQ(threads_from_json(json::parse(value.dump())), dump->threads);
  // The ADL hooks.
  const json one = dump->threads[1];
  EXPECT_EQ(one.get<ThreadStack>(), dump->threads[1]);
}

TEST(DumpJsonTest, LenientReading) {
  const auto threads = threads_from_json(json::parse(R"([
      {"id": 42, "state": "idle", "extra": true},
      {"id": "7", "name": null, "state": "active",
       "frames": [{"function": "f", "file": "a.py"}, {"function": "g", "file": "b.py", "line": 0}]}
  ])"));
  ASSERT_TRUE(threads);
  ASSERT_EQ(threads->size(), 2u);
  EXPECT_EQ((*threads)[0].id, "42");
  EXPECT_EQ((*threads)[0].name, std::nullopt);
  EXPECT_TRUE((*threads)[0].frames.empty());
  EXPECT_EQ((*threads)[1].frames,
            (std::vector<StackFrame>{frame("f", "a.py", std::nullopt), frame("g", "b.py", 0)}));
  EXPECT_EQ(threads_from_json(json::array()), std::vector<ThreadStack>{});
}

TEST(DumpJsonTest, WrongShapesAreRefusedWithAReason) {
  const char* bad[] = {
      R"({"id": "1", "state": "idle"})",
      R"(["x"])",
      R"([{"state": "idle"}])",
      R"([{"id": -1, "state": "idle"}])",
      R"([{"id": 1.5, "state": "idle"}])",
      R"([{"id": "1"}])",
      R"([{"id": "1", "state": "busy"}])",
      R"([{"id": "1", "state": "idle", "name": 3}])",
      R"([{"id": "1", "state": "idle", "frames": {}}])",
      R"([{"id": "1", "state": "idle", "frames": [{"function": "f"}]}])",
      R"([{"id": "1", "state": "idle", "frames": [{"function": "f", "file": 1}]}])",
      R"([{"id": "1", "state": "idle", "frames": [{"function": "f", "file": "a", "line": -1}]}])",
      R"([{"id": "1", "state": "idle", "frames": [{"function": "f", "file": "a", "line": 4294967296}]}])",
      R"([{"id": "1", "state": "idle", "frames": [{"function": "f", "file": "a", "line": "3"}]}])",
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(threads_from_json(json::parse(text), &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(error.find('\n'), std::string::npos) << text;
    EXPECT_FALSE(threads_from_json(json::parse(text))) << text;
  }
}

// ---- the stand-in py-spy (tests/bin/py-spy) ----

// Standard output of the stand-in's `dump --pid PID`, with `env` prepended to its command.
std::string stand_in_dump(const std::string& env, pid_t pid) {
  const std::string command = env +
                              " /usr/bin/python3 " STACKPEEK_TEST_DIR "/bin/py-spy dump --pid " +
                              std::to_string(pid) + " 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

TEST(StandInDumpTest, DefaultAndOddPidStacksParse) {
  const pid_t self = getpid();
  const pid_t parent = getppid();

  const auto plain = parse_dump(stand_in_dump("env -u STACKPEEK_FAKE_DUMP_ODD_PIDS", self));
  ASSERT_TRUE(plain);
  ASSERT_EQ(plain->threads.size(), 1u);
  EXPECT_EQ(plain->threads[0].frames.front(), frame("main", "train.py", 12));

  const std::string knob = "STACKPEEK_FAKE_DUMP_ODD_PIDS=" + std::to_string(self) + ",99999999";
  const auto odd = parse_dump(stand_in_dump(knob, self));
  const auto even = parse_dump(stand_in_dump(knob, parent));
  ASSERT_TRUE(odd);
  ASSERT_TRUE(even);
  EXPECT_EQ(odd->threads.front().name, "MainThread");
  EXPECT_EQ(odd->threads.front().frames.front().function, "_next_data");
  EXPECT_EQ(even->threads.front().frames.front().function, "all_reduce");
  EXPECT_FALSE(same_stack(*odd, *even));
  EXPECT_GE(odd->threads.size(), 2u);
  // Other pids, same stacks apart from thread ids and line numbers.
  const auto even_again = parse_dump(stand_in_dump("STACKPEEK_FAKE_DUMP_ODD_PIDS=", self));
  ASSERT_TRUE(even_again);
  EXPECT_TRUE(same_stack(*even, *even_again));
}

}  // namespace
}  // namespace stackpeek::stacks
