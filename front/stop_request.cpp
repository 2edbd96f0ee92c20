#include "front/stop_request.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace qfx {

namespace {

// Set once, before any handler is installed; read by the handler on whichever thread takes the signal and by the
// waiting thread. Lock-free atomics, so that reading them in a handler is safe and ordered.
std::atomic<int> signalReadFd{-1};
std::atomic<int> signalWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int /*signal*/) {
    const int savedErrno = errno;
    const char byte = 1;
    (void)!::write(signalWriteFd.load(), &byte, 1); // a full pipe already holds a pending stop
    errno = savedErrno;
}

bool setFlags(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

void drainSignals() {
    std::array<char, 64> bytes{};
    while (::read(signalReadFd.load(), bytes.data(), bytes.size()) > 0) {
    }
}

} // namespace

bool installStopSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    if (signalReadFd < 0) {
        std::array<int, 2> fds{};
        if (::pipe(fds.data()) != 0) {
            return false;
        }
        if (!setFlags(fds[0]) || !setFlags(fds[1])) {
            ::close(fds[0]);
            ::close(fds[1]);
            return false;
        }
        signalReadFd = fds[0];
        signalWriteFd = fds[1];
    }
    drainSignals();
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &stop, nullptr);
    }
    return true;
}

StopCause awaitStop(int inputFd) {
    // select rather than poll: macOS's poll answers POLLNVAL for a terminal.
    const int signalFd = signalReadFd.load();
    if (inputFd < 0 || inputFd >= FD_SETSIZE || signalFd >= FD_SETSIZE) {
        return StopCause::endOfInput;
    }
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(inputFd, &readable);
        if (signalFd >= 0) {
            FD_SET(signalFd, &readable);
        }
        const int ready = ::select(std::max(inputFd, signalFd) + 1, &readable, nullptr, nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return StopCause::endOfInput; // EBADF: no input to wait for
        }
        if (signalFd >= 0 && FD_ISSET(signalFd, &readable)) {
            return StopCause::signal;
        }
        if (!FD_ISSET(inputFd, &readable)) {
            continue;
        }
        // One byte per wake-up: whatever follows the line stays in the descriptor for its next reader, and a
        // signal that comes in the middle of a line is seen at the next wait rather than after the line.
        char byte = 0;
        const ssize_t got = ::read(inputFd, &byte, 1);
        if (got == 1 && byte == '\n') {
            return StopCause::line;
        }
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return StopCause::endOfInput;
        }
    }
}

} // namespace qfx
