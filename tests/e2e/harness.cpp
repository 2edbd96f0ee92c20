#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <numbers>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    // QFX_E2E_KEEP=1 keeps every file a test made, for a look afterwards.
    if (environmentValue("QFX_E2E_KEEP") == "1") {
        std::cerr << "kept " << path_ << "\n";
        return;
    }
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string toolPath() {
    return QFX_TOOL_PATH;
}

fs::path sourceDirectory() {
    return QFX_SOURCE_DIR;
}

std::string environmentValue(const char* name) {
    // Read on the test's own thread; no thread of the harness changes the environment.
    const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe)
    return value != nullptr ? value : "";
}

std::string serverKindUnderTest() {
    std::string kind = environmentValue("QFX_E2E_SERVER");
    return kind.empty() ? "pulseaudio" : kind;
}

// ---------------------------------------------------------------------------------------------------------------
// SoundServer

SoundServer::SoundServer(std::string kind, Sinks sinks) : kind_(std::move(kind)) {
    std::string script = (sourceDirectory() / "scripts" / "sound-server.sh").string();
    std::string verb = sinks == Sinks::none ? "start-none" : "start";
    auto started = run({"bash", script, verb, kind_, directory_.path().string()}, {}, Seconds(90));
    started_ = true; // whatever it printed, something may be running: stop it on destruction
    if (!started.ok()) {
        throw std::runtime_error("sound-server.sh " + verb + " " + kind_ + ": " + started.status.describe() + ": " +
                                 started.errorOutput);
    }

    // The script prints shell lines ("export NAME=value") meant for eval; let a shell evaluate them, so that
    // quoting is read exactly as a user's shell would read it.
    std::vector<std::string> names;
    std::istringstream lines(started.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("export ", 0) == 0) {
            auto equals = line.find('=');
            if (equals != std::string::npos) {
                names.push_back(line.substr(7, equals - 7));
            }
        }
    }
    std::vector<std::string> evaluate = {
        "bash", "-c", R"(eval "$1" >/dev/null; shift; for n; do printf '%s=%s\0' "$n" "${!n}"; done)", "_",
        started.output};
    evaluate.insert(evaluate.end(), names.begin(), names.end());
    auto evaluated = run(evaluate);
    if (!evaluated.ok() || names.empty()) {
        throw std::runtime_error("cannot read the environment that sound-server.sh printed: " + started.output);
    }
    std::string_view rest = evaluated.output;
    while (!rest.empty()) {
        auto end = rest.find('\0');
        std::string_view entry = rest.substr(0, end);
        auto equals = entry.find('=');
        environment_[std::string(entry.substr(0, equals))] = std::string(entry.substr(equals + 1));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
}

SoundServer::~SoundServer() {
    if (started_) {
        run({"bash", (sourceDirectory() / "scripts" / "sound-server.sh").string(), "stop", directory_.path().string()},
            {}, Seconds(30));
    }
}

CommandResult SoundServer::pactl(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "pactl");
    return run(std::move(arguments), environment_, Seconds(30));
}

std::string SoundServer::pactlChecked(std::vector<std::string> arguments) const {
    std::string shown;
    for (const auto& argument : arguments) {
        shown += " " + argument;
    }
    auto result = pactl(std::move(arguments));
    EXPECT_TRUE(result.ok()) << "pactl" << shown << " (" << kind_ << "): " << result.status.describe() << ": "
                             << result.errorOutput;
    return result.ok() ? result.output : "";
}

std::string SoundServer::loadNullSink(const std::string& name) const {
    auto index = pactlChecked({"load-module", "module-null-sink", "sink_name=" + name, "rate=48000", "channels=2"});
    while (!index.empty() && (index.back() == '\n' || index.back() == ' ')) {
        index.pop_back();
    }
    return index;
}

std::string SoundServer::moduleOfSink(const std::string& sink) const {
    // "pactl list short sinks": index, name, driver, sample spec, state. The module is in the long listing.
    auto listing = pactl({"list", "sinks"}).output;
    std::istringstream lines(listing);
    bool inSink = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Sink #", 0) == 0) {
            inSink = false;
        }
        auto field = [&](const std::string& key) -> std::optional<std::string> {
            auto at = line.find(key);
            if (at == std::string::npos) {
                return std::nullopt;
            }
            return line.substr(at + key.size());
        };
        if (auto name = field("Name: ")) {
            inSink = *name == sink;
        }
        if (auto module = field("Owner Module: "); module && inSink) {
            return *module;
        }
    }
    return "";
}

std::vector<pid_t> SoundServer::serverProcesses() const {
    // The server's processes are the ones that carry its private runtime directory in their environment and are
    // one of the server programs (the tool and the players carry the same environment).
    static const std::vector<std::string> programs = {"pulseaudio", "pipewire", "pipewire-pulse", "wireplumber"};
    std::string marker = directory_.path().string();
    std::vector<pid_t> result;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream commFile(entry.path() / "comm");
        std::string comm;
        std::getline(commFile, comm);
        if (std::find(programs.begin(), programs.end(), comm) == programs.end()) {
            continue;
        }
        std::ifstream environFile(entry.path() / "environ");
        std::string environ((std::istreambuf_iterator<char>(environFile)), std::istreambuf_iterator<char>());
        if (environ.find(marker) != std::string::npos) {
            result.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return result;
}

void SoundServer::kill() {
    auto processes = serverProcesses();
    ASSERT_FALSE(processes.empty()) << "no process of the " << kind_ << " server found to kill";
    for (pid_t pid : processes) {
        ::kill(pid, SIGKILL);
    }
}

namespace {

std::unique_ptr<SoundServer>& mainServerSlot() {
    static std::unique_ptr<SoundServer> server;
    return server;
}

// Stops the binary's server after the last test, before static destruction.
class MainServerEnvironment : public ::testing::Environment {
public:
    void TearDown() override { mainServerSlot().reset(); }
};

} // namespace

SoundServer& mainServer() {
    // Started at first use, so that a binary whose selected tests need no server starts none.
    static bool failed = false;
    if (!mainServerSlot() && !failed) {
        try {
            mainServerSlot() = std::make_unique<SoundServer>(serverKindUnderTest());
        } catch (...) {
            failed = true;
            throw;
        }
    }
    if (!mainServerSlot()) {
        throw std::runtime_error("the test binary's " + serverKindUnderTest() + " server did not start");
    }
    return *mainServerSlot();
}

// ---------------------------------------------------------------------------------------------------------------
// ToolRun

ToolRun::ToolRun(std::vector<std::string> arguments, const Environment& environment, const fs::path& workingDirectory)
    : startedAt(Clock::now()), process_([&] {
          arguments.insert(arguments.begin(), toolPath());
          return Process::Options{
              .argv = arguments, .environment = environment, .workingDirectory = workingDirectory.string()};
      }()) {}

bool ToolRun::waitReady(Seconds timeout) {
    bool gotLine = process_.waitForOutputLine(timeout);
    // The moment the line arrived, not the moment this thread looked (which may be much later).
    readyAt = process_.firstOutputLineAt().value_or(Clock::now());
    return gotLine && process_.output() == "READY\n";
}

void ToolRun::sendLine(const std::string& text) {
    stopLineAt = Clock::now();
    process_.write(text + "\n");
}

void ToolRun::closeInput() {
    stopLineAt = Clock::now();
    process_.closeInput();
}

ExitStatus ToolRun::finish(Seconds timeout) {
    auto status = process_.wait(timeout);
    process_.waitForOutputsClosed(Seconds(5));
    return status;
}

// ---------------------------------------------------------------------------------------------------------------
// Player and signals

Player::Player(const Environment& environment, Signal signal, double seconds, const std::string& sink)
    : process_([&] {
          std::vector<std::string> argv = {"pacat",
                                           "--playback",
                                           "--raw",
                                           "--format=float32le",
                                           "--rate=48000",
                                           "--channels=2",
                                           "--client-name=qfx-e2e-player",
                                           "--verbose"};
          if (!sink.empty()) {
              argv.push_back("--device=" + sink);
          }
          return Process::Options{.argv = argv, .environment = environment};
      }()) {
    int64_t total = frames(seconds);
    feeder_ = std::thread([this, signal = std::move(signal), total] {
        constexpr int64_t chunk = 2400;
        std::vector<float> samples;
        for (int64_t start = 0; start < total && !cancelled_; start += chunk) {
            samples.clear();
            for (int64_t frame = start; frame < std::min(total, start + chunk); ++frame) {
                auto [left, right] = signal(frame);
                samples.push_back(left);
                samples.push_back(right);
            }
            if (!process_.write(
                    std::string_view(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float)))) {
                break;
            }
        }
        process_.closeInput();
    });
}

Player::~Player() {
    cancelled_ = true;
    if (process_.running()) {
        ::kill(process_.pid(), SIGKILL);
    }
    if (feeder_.joinable()) {
        feeder_.join();
    }
}

bool Player::finish(Seconds timeout) {
    auto status = process_.wait(timeout);
    if (feeder_.joinable()) {
        feeder_.join();
    }
    return status.exited && status.code == 0;
}

MonitorListener::MonitorListener(const Environment& environment, const std::string& sink)
    : process_({.argv = {"pacat", "--record", "--raw", "--device=" + sink + ".monitor", "--latency-msec=10",
                         "--format=float32le", "--rate=48000", "--channels=2", "--client-name=qfx-e2e-listener"},
                .environment = environment,
                .inputFromPipe = false,
                .keepOutput = false}) {
    auto deadline = Clock::now() + Seconds(15);
    while (process_.outputBytes() == 0 && process_.running() && Clock::now() < deadline) {
        sleepFor(0.01);
    }
    EXPECT_GT(process_.outputBytes(), 0U)
        << "the monitor of " << sink << " delivers nothing: " << process_.errorOutput();
}

MonitorListener::~MonitorListener() {
    if (process_.running()) {
        ::kill(process_.pid(), SIGTERM);
    }
    process_.wait(Seconds(10));
}

int Player::underruns() const {
    // pacat --verbose reports each underflow of its playback stream.
    std::string said = process_.errorOutput();
    int count = 0;
    for (auto at = said.find("Stream underrun"); at != std::string::npos; at = said.find("Stream underrun", at + 1)) {
        ++count;
    }
    return count;
}

Signal silence() {
    return [](int64_t) { return std::pair<float, float>(0.0F, 0.0F); };
}

Signal tone(double frequency, double leftAmplitude, double rightAmplitude) {
    return [=](int64_t frame) {
        double value = std::sin(2 * std::numbers::pi * frequency * static_cast<double>(frame) / kRate);
        return std::pair<float, float>(static_cast<float>(leftAmplitude * value),
                                       static_cast<float>(rightAmplitude * value));
    };
}

Signal during(int64_t from, int64_t to, Signal inner, Signal outer) {
    return [=](int64_t frame) { return frame >= from && frame < to ? inner(frame) : outer(frame); };
}

Signal sum(Signal a, Signal b) {
    return [=](int64_t frame) {
        auto [al, ar] = a(frame);
        auto [bl, br] = b(frame);
        return std::pair<float, float>(al + bl, ar + br);
    };
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(Seconds(seconds));
}

} // namespace e2e

int main(int argc, char** argv) {
    // Writing to a child that has already ended must give EPIPE, not end the test binary.
    signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new e2e::MainServerEnvironment);
    return RUN_ALL_TESTS();
}
