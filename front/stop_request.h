// What ends a recording besides the parent's line: the signals a terminal, a parent's plain `kill`, a logout or a
// shutdown send. Each of them ends the recording the way the end of input does, so the file is finished instead of
// being left without its index when the process dies.
//
// Signals: SIGINT, SIGTERM and SIGHUP are caught for the rest of the process; their handler only writes one byte to a
// self-pipe, which the main thread watches together with standard input while it waits for the stop line (a signal
// arriving while the recording starts or stops stays in the pipe; the wait then ends at once, and a signal during the
// stop changes nothing). SIGPIPE is ignored: a write to a stream whose reader has gone fails with EPIPE instead of
// killing the process. Handlers run on whichever thread the kernel picks and are restartable (SA_RESTART), so other
// threads' blocking calls are not cut short.
//
// The stop line is read one byte at a time with read(2), never through stdio: a buffered read would take whatever
// follows the line in a pipe, and the next reader of a pipe shared with the parent would find it gone.
//
// Threads: everything here is for the main thread, except the handler itself.
#pragma once

namespace qfx {

/// Why the wait for the stop line ended.
enum class StopCause {
    line,       ///< a line (any text, possibly empty) was read; nothing after its line feed was consumed
    endOfInput, ///< the input reached its end, or cannot be read at all (closed, or an error)
    signal,     ///< SIGINT, SIGTERM or SIGHUP arrived (possibly before the wait began)
};

/// Installs the handling described above and forgets stop signals that arrived before. The self-pipe is made once
/// per process and kept. False when it cannot be made; the three signals then keep their action (SIGPIPE is
/// ignored all the same).
bool installStopSignals();

/// Blocks until a line or the end of `inputFd` has been read, or a stop signal arrived since installStopSignals.
/// Reads nothing when a signal is already pending, and never more than the line. A descriptor in non-blocking mode
/// is waited on, not spun on.
StopCause awaitStop(int inputFd);

} // namespace qfx
