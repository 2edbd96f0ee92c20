#include "tests/linux/sound_server.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX declares it nowhere in C++

namespace qfx::test_support {
namespace {

SoundServer* sharedServer = nullptr;

std::string shellQuoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

/// Undoes bash's printf %q for the plain values the script prints (backslash escapes only).
std::string unquoted(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
        }
        result += text[i];
    }
    return result;
}

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string script() {
    return std::string(QFX_SOURCE_DIR) + "/scripts/sound-server.sh";
}

} // namespace

std::string selectedServerKind() {
    const char* kind = std::getenv("QFX_TEST_SOUND_SERVER"); // NOLINT(concurrency-mt-unsafe): read before threads
    return kind != nullptr && *kind != '\0' ? kind : "pulseaudio";
}

SoundServer::SoundServer(std::string kind, Sinks sinks) : kind_(std::move(kind)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qfx-sound-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        failure_ = "cannot make a temporary directory";
        return;
    }
    dir_ = pattern;
    const std::string log = dir_ + "/start.log";
    const CommandResult started =
        runCommand("bash " + shellQuoted(script()) + (sinks == Sinks::one ? " start " : " start-none ") +
                   shellQuoted(kind_) + " " + shellQuoted(dir_) + " 2>" + shellQuoted(log));
    if (started.status != 0) {
        failure_ = "sound-server.sh could not start " + kind_ + ": " + fileText(log);
        return;
    }
    std::istringstream lines(started.output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string prefix = "export ";
        const size_t equals = line.find('=');
        if (line.rfind(prefix, 0) != 0 || equals == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(prefix.size(), equals - prefix.size());
        const std::string value = unquoted(line.substr(equals + 1));
        const char* previous = std::getenv(name.c_str()); // NOLINT(concurrency-mt-unsafe): see the header
        savedEnvironment_.emplace_back(name, previous != nullptr ? std::optional<std::string>(previous) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1); // NOLINT(concurrency-mt-unsafe): see the header
        if (name == "QFX_TEST_SERVER_PIDS") {
            std::istringstream pids(value);
            for (pid_t pid = 0; pids >> pid;) {
                pids_.push_back(pid);
            }
        }
    }
    if (savedEnvironment_.empty()) {
        failure_ = "sound-server.sh printed no variables";
    }
}

SoundServer::~SoundServer() {
    if (!dir_.empty()) {
        runCommand("bash " + shellQuoted(script()) + " stop " + shellQuoted(dir_) + " 2>/dev/null");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    for (auto it = savedEnvironment_.rbegin(); it != savedEnvironment_.rend(); ++it) {
        if (it->second) {
            setenv(it->first.c_str(), it->second->c_str(), 1); // NOLINT(concurrency-mt-unsafe): see the header
        } else {
            unsetenv(it->first.c_str()); // NOLINT(concurrency-mt-unsafe): see the header
        }
    }
}

void SoundServer::kill() {
    for (pid_t pid : pids_) {
        ::kill(pid, SIGKILL);
    }
}

void SoundServer::pause(bool paused) {
    for (pid_t pid : pids_) {
        ::kill(pid, paused ? SIGSTOP : SIGCONT);
    }
}

std::optional<std::string> SoundServer::loadFakeMicrophone() {
    const std::string name = "qfx_mic";
    CommandResult loaded;
    if (kind_ == "pipewire") {
        // pipewire-pulse has no sine source module; the fixture's configuration provides audiotestsrc instead.
        loaded = runCommand("timeout 5 pw-cli create-node adapter '{ factory.name=audiotestsrc node.name=" + name +
                            " node.description=" + name +
                            " media.class=Audio/Source object.linger=true audio.rate=48000 audio.channels=2 }'"
                            " >/dev/null");
    } else {
        loaded = runCommand("pactl load-module module-sine-source source_name=" + name + " frequency=1000 >/dev/null");
    }
    if (loaded.status != 0) {
        return std::nullopt;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (runCommand("pactl set-default-source " + name + " 2>/dev/null").status == 0 &&
            runCommand("pactl get-default-source").output == name + "\n") {
            return name;
        }
        usleep(50'000);
    }
    return std::nullopt;
}

SoundServer* SoundServer::shared() {
    return sharedServer;
}
void SoundServer::setShared(SoundServer* server) {
    sharedServer = server;
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> chunk{};
    for (size_t n = 0; (n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
        result.output.append(chunk.data(), n);
    }
    const int status = pclose(pipe);
    result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str())); // NOLINT(cppcoreguidelines-pro-type-const-cast)
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
        pid_ = pid;
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace qfx::test_support
