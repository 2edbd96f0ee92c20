// The tool's entry: the argument check, the clearing of the output location, and the start / READY / wait / stop
// sequence that a parent process drives over the standard streams. The only place where a failure becomes output
// and an exit status.
//
// Protocol: standard output carries exactly "READY\n", flushed, once capture runs, and nothing else ever. One line
// (or the end) of standard input ends the recording; nothing after it is read. Standard error carries at most one
// failure line from here, plus the recorder's stream-ended line.
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

    /// The three standard streams (injected so the sequence can run against pipes or files).
    struct Streams {
        std::FILE* input;
        std::FILE* output;
        std::FILE* error;
    };

    /// Gives the platform. Called at most once, on the calling thread, and only once the argument check has passed:
    /// a wrong command line touches nothing, and the macOS platform connects to the window server on first use.
    using PlatformFactory = std::function<platform::Platform&()>;

    /// Runs the whole sequence on the calling thread (the process's main thread) and returns the exit status.
    /// `start` and `stop` run on a worker thread of their own while this thread waits through
    /// Platform::waitOnMainThread.
    static int main(int argc, const char* const* argv, Streams streams, const PlatformFactory& platform);
};

} // namespace qfx
