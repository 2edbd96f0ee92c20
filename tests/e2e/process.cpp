#include "tests/e2e/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace e2e {

namespace {

std::vector<std::string> mergedEnvironment(const Environment& changes) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals != std::string_view::npos) {
            merged[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            merged[name] = *value;
        } else {
            merged.erase(name);
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) {
        result.push_back(name + "=" + value);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

void check(int result, const char* what) {
    if (result != 0) {
        throw std::runtime_error(std::string(what) + ": " + std::generic_category().message(result));
    }
}

ExitStatus decode(int status) {
    ExitStatus result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

} // namespace

std::string ExitStatus::describe() const {
    if (timedOut) {
        return "still running at the time limit (killed)";
    }
    if (exited) {
        return "exit status " + std::to_string(code);
    }
    return "killed by signal " + std::to_string(signal);
}

Process::Process(Options options) {
    int inputPipe[2] = {-1, -1};
    int outputPipe[2];
    int errorPipe[2];
    if ((options.inputFromPipe && pipe2(inputPipe, O_CLOEXEC) != 0) || pipe2(outputPipe, O_CLOEXEC) != 0 ||
        pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::generic_category().message(errno));
    }

    posix_spawn_file_actions_t actions;
    check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    if (options.inputFromPipe) {
        posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }

    // The test binary ignores SIGPIPE (a write to a child that has ended must not kill it); the child gets the
    // default dispositions and an empty mask, as under a real parent.
    posix_spawnattr_t attributes;
    check(posix_spawnattr_init(&attributes), "posix_spawnattr_init");
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.separateProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);

    auto arguments = options.argv;
    auto argumentPointers = pointers(arguments);
    auto environment = mergedEnvironment(options.environment);
    auto environmentPointers = pointers(environment);
    int result = posix_spawnp(&pid_, arguments.at(0).c_str(), &actions, &attributes, argumentPointers.data(),
                              environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);

    if (options.inputFromPipe) {
        close(inputPipe[0]);
        input_ = inputPipe[1];
    }
    close(outputPipe[1]);
    close(errorPipe[1]);
    if (result != 0) {
        close(outputPipe[0]);
        close(errorPipe[0]);
        if (input_ >= 0) {
            close(input_);
        }
        throw std::runtime_error("cannot run " + arguments.at(0) + ": " + std::generic_category().message(result));
    }
    streams_->keepOutput = options.keepOutput;
    outputReader_ = std::thread(collect, streams_, outputPipe[0], true);
    errorReader_ = std::thread(collect, streams_, errorPipe[0], false);
}

Process::~Process() {
    if (!status_) {
        kill(pid_, SIGKILL);
        wait(Seconds(10));
    }
    closeInput();
    // A daemonising grandchild that inherited a pipe would keep its reader blocked: that reader is left to end
    // on its own (it holds the shared state, not this object).
    bool closed = waitForOutputsClosed(Seconds(2));
    for (auto* reader : {&outputReader_, &errorReader_}) {
        if (closed) {
            reader->join();
        } else {
            reader->detach();
        }
    }
}

void Process::collect(const std::shared_ptr<Streams>& streams, int fd, bool isOutput) {
    char buffer[65536];
    for (;;) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard lock(streams->mutex);
        if (count <= 0) {
            (isOutput ? streams->outputClosed : streams->errorOutputClosed) = true;
            streams->changed.notify_all();
            break;
        }
        if (isOutput) {
            streams->outputBytes += static_cast<size_t>(count);
            if (!streams->firstLineAt && std::memchr(buffer, '\n', static_cast<size_t>(count)) != nullptr) {
                streams->firstLineAt = Clock::now();
            }
        }
        if (!isOutput || streams->keepOutput) {
            (isOutput ? streams->output : streams->errorOutput).append(buffer, static_cast<size_t>(count));
        }
        streams->changed.notify_all();
    }
    close(fd);
}

bool Process::write(std::string_view data) {
    while (!data.empty()) {
        if (input_ < 0) {
            return false;
        }
        ssize_t count = ::write(input_, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(count));
    }
    return true;
}

void Process::closeInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

bool Process::waitForOutputLine(Seconds timeout) {
    std::unique_lock lock(streams_->mutex);
    auto hasLine = [this] { return streams_->output.find('\n') != std::string::npos; };
    streams_->changed.wait_for(lock, timeout, [&] { return hasLine() || streams_->outputClosed; });
    return hasLine();
}

bool Process::waitForOutputsClosed(Seconds timeout) {
    std::unique_lock lock(streams_->mutex);
    return streams_->changed.wait_for(lock, timeout,
                                      [this] { return streams_->outputClosed && streams_->errorOutputClosed; });
}

bool Process::running() {
    if (status_) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = decode(status);
        return false;
    }
    return true;
}

ExitStatus Process::wait(Seconds timeout) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    while (running()) {
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = decode(status);
            status_->timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return *status_;
}

std::optional<Clock::time_point> Process::firstOutputLineAt() const {
    std::lock_guard lock(streams_->mutex);
    return streams_->firstLineAt;
}

size_t Process::outputBytes() const {
    std::lock_guard lock(streams_->mutex);
    return streams_->outputBytes;
}

std::string Process::output() const {
    std::lock_guard lock(streams_->mutex);
    return streams_->output;
}

std::string Process::errorOutput() const {
    std::lock_guard lock(streams_->mutex);
    return streams_->errorOutput;
}

CommandResult run(std::vector<std::string> argv, const Environment& environment, Seconds timeout) {
    Process process({.argv = std::move(argv), .environment = environment, .inputFromPipe = false});
    CommandResult result;
    result.status = process.wait(timeout);
    process.waitForOutputsClosed(Seconds(5));
    result.output = process.output();
    result.errorOutput = process.errorOutput();
    return result;
}

} // namespace e2e
