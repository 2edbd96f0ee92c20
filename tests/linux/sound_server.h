// A private sound server for the backend tests, and the small process helpers the tests drive it with.
//
// The server is started by scripts/sound-server.sh in a fresh temporary directory, never the user's own: the
// variables the script exports (PULSE_SERVER, XDG_RUNTIME_DIR, PULSE_CLIENTCONFIG, ...) are applied to this
// process's environment, so every libpulse client in it, and every child it starts (pactl, paplay), talks to the
// private server. The previous values come back when the server object goes. Environment changes are not thread
// safe: make and destroy servers on the test's own thread, while no capture is connecting.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qfx::test_support {

/// The server kind the backend tests run against: QFX_TEST_SOUND_SERVER ("pulseaudio" or "pipewire"), by default
/// pulseaudio.
std::string selectedServerKind();

class SoundServer {
public:
    enum class Sinks { one, none };

    /// Starts a server of `kind` ("pulseaudio" or "pipewire") with one null sink "qfx_null" as the default sink, or
    /// with no sink at all. See ok() and failure().
    explicit SoundServer(std::string kind, Sinks sinks = Sinks::one);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    [[nodiscard]] bool ok() const { return failure_.empty(); }
    /// Why the server did not start, with the script's own report.
    [[nodiscard]] const std::string& failure() const { return failure_; }
    [[nodiscard]] const std::string& kind() const { return kind_; }

    /// Ends every process of the server at once (SIGKILL), as a crash would.
    void kill();
    /// Stops every process of the server (SIGSTOP), as a server stuck on a stalled disk would hang, or lets them go
    /// on (SIGCONT). Resume before the server goes.
    void pause(bool paused);

    /// Loads a source that is not a monitor and plays a steady 1000 Hz tone (a stand-in for a microphone), and makes
    /// it the default source. Its name, or none when it could not be made.
    std::optional<std::string> loadFakeMicrophone();

    /// The server backend_main starts for the whole test binary (null before it exists).
    static SoundServer* shared();
    static void setShared(SoundServer* server);

private:
    std::string kind_;
    std::string dir_;
    std::string failure_;
    std::vector<pid_t> pids_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

struct CommandResult {
    int status = -1; ///< the exit status, or -1 when the command did not exit normally
    std::string output;
};

/// Runs `command` with /bin/sh; its standard output is returned, its standard error goes to ours.
CommandResult runCommand(const std::string& command);

/// A child process started from an argument vector, killed (SIGTERM) and reaped on destruction.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    [[nodiscard]] bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

} // namespace qfx::test_support
