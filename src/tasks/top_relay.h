#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tasks/pty.h"
#include "tasks/py_spy.h"
#include "tasks/subprocess.h"

namespace stackpeek::tasks {

/// The first argument that makes stackpeek the relay of a live top run through sudo.
inline constexpr std::string_view kTopRelayArgument = "__top-relay";

/// "sudo -n STACKPEEK __top-relay ROWS COLS PY-SPY ARGS...": stackpeek, as root, runs
/// `command` on a pseudo-terminal of its own of `size`.
///
/// Why not sudo straight to py-spy on our own terminal: sudo's ticket (timestamp_type=tty,
/// the Debian and Ubuntu default) holds only for the controlling terminal and the session it
/// was given in, so sudo must stay in stackpeek's session with the user's terminal as its
/// controlling one; a new session on a terminal of ours asks for the password again. With
/// `use_pty` (also the default) sudo then starts the command on a terminal of sudo's own and
/// relays it to the user's terminal, and hands a standard stream straight through only when
/// it is no terminal. py-spy top needs a terminal as standard input, and that terminal must
/// take no key and follow the output pane: so standard input, output and error are pipes,
/// the relay gives py-spy its terminal, and sudo leads a process group of its own, where it
/// never reads the user's terminal. Sizes travel to the relay as resize_request lines on its
/// standard input; its end of file, or SIGTERM (which sudo relays), ends py-spy at once.
ProcessSpec top_relay_process(const SpyCommand& command, WindowSize size);

/// The line that asks the relay for a new size: "ROWS COLS\n".
std::string resize_request(WindowSize size);

/// The size of one request line (without its line feed); nothing when malformed.
std::optional<WindowSize> parse_resize_request(std::string_view line);

/// The relay itself, with the arguments after kTopRelayArgument (ROWS COLS PROGRAM ARGS...);
/// returns the exit status: py-spy's, 128 + its signal, or 2 for malformed arguments.
int run_top_relay(std::span<const std::string_view> args);

}  // namespace stackpeek::tasks
