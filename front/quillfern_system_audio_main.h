// The tool's entry: the argument check, the clearing of the output location, and the start / READY / wait / stop
// sequence that a parent process drives over the standard streams. The only place where a failure becomes output
// and an exit status.
//
// Protocol: standard output carries exactly "READY\n", flushed, once capture runs, and nothing else ever. One line
// (or the end) of standard input ends the recording; nothing after it is read. SIGINT, SIGTERM and SIGHUP end it the
// same way (see stop_request.h). Standard error carries at most one failure line from here, plus the recorder's
// stream-ended line; every such line is one line whatever text it carries (see message_line.h). A parent that
// closed its end of a stream only loses what would have gone there.
#pragma once

#include "platform/platform.h"

#include <cstdio>
#include <functional>

namespace qfx {

class QuillfernSystemAudioMain {
public:
    /// Exit statuses of the tool.
    static constexpr int kExitSuccess = 0;
    static constexpr int kExitUsage = 2;
    static constexpr int kExitStartFailed = 4;
    static constexpr int kExitFinishFailed = 5;

    /// The three standard streams (injected so the sequence can run against pipes or files). The input is a descriptor:
    /// it is read without stdio, so that nothing after the stop line is consumed.
    struct Streams {
        int input;
        std::FILE* output;
        std::FILE* error;
    };

    /// Gives the platform. Called at most once, on the calling thread, and only once the argument check has passed:
    /// a wrong command line touches nothing, and the macOS platform connects to the window server on first use.
    using PlatformFactory = std::function<platform::Platform&()>;

    /// Makes sure descriptors 0, 1 and 2 are open, opening /dev/null for any that is closed (a parent may start the
    /// tool with `2>&-`), so that no file the tool opens later becomes one of them and receives its messages. Call
    /// first thing, before any other file is opened. False when one could not be opened.
    static bool openStandardDescriptors();

    /// Runs the whole sequence on the calling thread (the process's main thread) and returns the exit status.
    /// `start` and `stop` run on a worker thread of their own while this thread waits through
    /// Platform::waitOnMainThread.
    static int main(int argc, const char* const* argv, Streams streams, const PlatformFactory& platform);
};

} // namespace qfx
