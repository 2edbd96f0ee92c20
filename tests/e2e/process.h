// A child process with pipes on its standard streams, as a parent application runs the tool (and as the tests run
// pactl, pacat, ffmpeg and ffprobe).
//
// Threads: one reader thread per output pipe collects everything the child writes; every public method is called
// from the test's own thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

/// Changes to the test's own environment for one child: a value sets a variable, nullopt removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

/// How a child ended.
struct ExitStatus {
    bool exited = false; ///< false: killed by a signal, or still running when the wait gave up
    int code = -1;       ///< the exit status when `exited`
    int signal = 0;      ///< the terminating signal otherwise
    bool timedOut = false;

    [[nodiscard]] std::string describe() const;
};

class Process {
public:
    struct Options {
        std::vector<std::string> argv{}; ///< argv[0] is the program, looked up in PATH when it has no slash
        Environment environment{};
        std::string workingDirectory{}; ///< empty: the test's own
        bool inputFromPipe = true;      ///< false: standard input is /dev/null
        bool keepOutput = true;         ///< false: standard output is counted, not kept
        bool separateProcessGroup = false;
    };

    explicit Process(Options options);
    ~Process(); ///< kills a child that is still running and reaps it
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    /// Writes to the child's standard input; false when the pipe is closed or broken.
    bool write(std::string_view data);
    void closeInput();

    /// Waits until the child's standard output holds a complete line, or is closed, or `timeout` passes. True
    /// when a line came.
    bool waitForOutputLine(Seconds timeout);

    /// Waits for the child to end; after `timeout` the child is killed and the status says `timedOut`.
    ExitStatus wait(Seconds timeout);

    [[nodiscard]] bool running();

    /// Waits until both output pipes are closed (everything the child wrote has been collected), at most
    /// `timeout`. False when a descendant still holds them open.
    bool waitForOutputsClosed(Seconds timeout);

    /// When the first complete line arrived on standard output (when the reader thread saw it), if it has.
    [[nodiscard]] std::optional<Clock::time_point> firstOutputLineAt() const;
    /// Bytes on standard output so far, kept or not.
    [[nodiscard]] size_t outputBytes() const;
    [[nodiscard]] std::string output() const;
    [[nodiscard]] std::string errorOutput() const;

private:
    // Shared with the reader threads, which may outlive the object when a descendant keeps a pipe open.
    struct Streams {
        std::mutex mutex;
        std::condition_variable changed;
        std::string output;
        std::string errorOutput;
        bool keepOutput = true;
        size_t outputBytes = 0;
        std::optional<Clock::time_point> firstLineAt;
        bool outputClosed = false;
        bool errorOutputClosed = false;
    };
    static void collect(const std::shared_ptr<Streams>& streams, int fd, bool isOutput);

    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<ExitStatus> status_;
    std::shared_ptr<Streams> streams_ = std::make_shared<Streams>();
    std::thread outputReader_;
    std::thread errorReader_;
};

/// What a short command printed, and how it ended.
struct CommandResult {
    ExitStatus status;
    std::string output;
    std::string errorOutput;

    [[nodiscard]] bool ok() const { return status.exited && status.code == 0; }
};

/// Runs a command to its end (killed after `timeout`), standard input from /dev/null.
CommandResult run(std::vector<std::string> argv, const Environment& environment = {}, Seconds timeout = Seconds(60));

} // namespace e2e
