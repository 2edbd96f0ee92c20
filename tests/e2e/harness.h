// The end-to-end harness: private sound servers, the tool driven exactly as a parent drives it, and test signals
// played into a sink.
//
// Every test binary starts one server of the kind named by QFX_E2E_SERVER ("pulseaudio", the default, or
// "pipewire") when a test first needs it and stops it after the last test (`mainServer()`); a test that needs a server
// of its own (one without sinks, one to kill, one whose sinks it rearranges) makes a `SoundServer` itself. Nothing here
// touches a user's own server: every client gets the private server's environment explicitly.
//
// Threads: everything runs on the test's thread, except a `Player`'s feeder thread, which only writes samples.
#pragma once

#include "tests/e2e/process.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

/// A fresh directory under the system's temporary directory, removed with everything in it on destruction
/// (kept, and its path printed, when QFX_E2E_KEEP=1).
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix = "qfx-e2e");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

/// A private sound server started by scripts/sound-server.sh in a directory of its own.
class SoundServer {
public:
    enum class Sinks {
        oneNullSink, ///< the null sink "qfx_null", the default sink
        none,        ///< no sink at all
    };

    explicit SoundServer(std::string kind, Sinks sinks = Sinks::oneNullSink);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    [[nodiscard]] const std::string& kind() const { return kind_; }
    /// What every client of this server (the tool, pactl, pacat) runs with.
    [[nodiscard]] const Environment& environment() const { return environment_; }

    /// Runs pactl against this server.
    [[nodiscard]] CommandResult pactl(std::vector<std::string> arguments) const;
    /// Runs pactl and fails the current test (returning "") when it does not succeed.
    std::string pactlChecked(std::vector<std::string> arguments) const;

    /// Loads another null sink; gives the module's index.
    std::string loadNullSink(const std::string& name) const;
    /// The index of the module that made `sink`, or "" when there is no such sink.
    [[nodiscard]] std::string moduleOfSink(const std::string& sink) const;

    /// Kills every process of this server with SIGKILL, as a crash would.
    void kill();

private:
    [[nodiscard]] std::vector<pid_t> serverProcesses() const;

    std::string kind_;
    TemporaryDirectory directory_{"qfx-e2e-server"};
    Environment environment_;
    bool started_ = false;
};

/// An environment variable of the test binary's, or "" when it is not set.
std::string environmentValue(const char* name);

/// The kind of server this test binary runs against: QFX_E2E_SERVER, or "pulseaudio".
std::string serverKindUnderTest();

/// The server of this test binary, started at first use and stopped after the last test. Throws (failing the
/// test) when it cannot be started.
SoundServer& mainServer();

/// The path of the tool under test, and of the source tree.
std::string toolPath();
std::filesystem::path sourceDirectory();

/// One run of qfx_system_audio, driven through pipes as a parent drives it.
class ToolRun {
public:
    ToolRun(std::vector<std::string> arguments, const Environment& environment,
            const std::filesystem::path& workingDirectory = {});

    /// Waits (generously) for the first line on standard output; true when it is exactly "READY\n". Notes the
    /// moment it arrived in `readyAt`.
    bool waitReady(Seconds timeout = Seconds(30));
    /// Writes one line (with its line feed) and notes the moment in `stopLineAt`.
    void sendLine(const std::string& text = "");
    /// Closes standard input (the end of input) and notes the moment in `stopLineAt`.
    void closeInput();
    /// Waits for the tool to end; kills it after `timeout`.
    ExitStatus finish(Seconds timeout = Seconds(60));

    [[nodiscard]] pid_t pid() const { return process_.pid(); }
    [[nodiscard]] std::string output() const { return process_.output(); }
    [[nodiscard]] std::string errorOutput() const { return process_.errorOutput(); }
    /// The seconds between READY and the stop line.
    [[nodiscard]] double recordedSeconds() const { return Seconds(stopLineAt - readyAt).count(); }

    Clock::time_point startedAt;
    Clock::time_point readyAt;
    Clock::time_point stopLineAt;

private:
    Process process_;
};

/// A generated stereo signal: the (left, right) sample at a frame index, at 48000 frames per second.
using Signal = std::function<std::pair<float, float>(int64_t frame)>;

inline constexpr int kRate = 48000;

/// Plays a generated signal into a sink through pacat, from its frame 0 onwards. The sink plays it by its own
/// clock, so the distance between two points of the signal is kept exactly, whenever the player started.
class Player {
public:
    Player(const Environment& environment, Signal signal, double seconds, const std::string& sink = "");
    ~Player(); ///< stops playing at once
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    /// Waits until the whole signal has been played out (pacat drains before it ends). False on failure.
    bool finish(Seconds timeout);

    [[nodiscard]] std::string errorOutput() const { return process_.errorOutput(); }
    /// How often the player ran dry so far: each time leaves a hole in what the sink played, and the signal's
    /// points move apart by its length.
    [[nodiscard]] int underruns() const;

private:
    Process process_;
    std::atomic<bool> cancelled_{false};
    std::thread feeder_;
};

/// Keeps a sink's monitor running with a short fragment for as long as it lives, as on a desktop where
/// something always listens. An idle null sink sleeps for as long as two seconds before it renders: a recording
/// that starts on it gets its first fragment that late, which hides the time a file should start at. With this,
/// a file starts at READY, to the fragment.
class MonitorListener {
public:
    /// Returns once the monitor delivers (fails the test when it does not within a generous wait).
    MonitorListener(const Environment& environment, const std::string& sink = "qfx_null");
    ~MonitorListener();
    MonitorListener(const MonitorListener&) = delete;
    MonitorListener& operator=(const MonitorListener&) = delete;

private:
    Process process_;
};

/// Signals made of tones. Amplitudes are linear (1 is full scale).
Signal silence();
Signal tone(double frequency, double leftAmplitude, double rightAmplitude);
/// `inner` from frame `from` (inclusive) to frame `to` (exclusive), `outer` elsewhere.
Signal during(int64_t from, int64_t to, Signal inner, Signal outer = silence());
Signal sum(Signal a, Signal b);

inline int64_t frames(double seconds) {
    return static_cast<int64_t>(seconds * kRate + 0.5);
}

/// Sleeps on the steady clock.
void sleepFor(double seconds);

} // namespace e2e
