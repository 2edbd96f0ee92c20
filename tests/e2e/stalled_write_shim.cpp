// Preloaded into the tool by the end-to-end tests (LD_PRELOAD) to stand for a disk or network mount that stalls:
// while the file that QFX_STALL_FLAG names exists, every write to the file that QFX_STALL_TARGET names (an absolute,
// resolved path) blocks until the flag file is gone. Every other write passes straight through.
#include <dlfcn.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Read once, when the library is loaded, before the tool starts any thread. Plain arrays: the library's constructor
// may run before the dynamic initialisation of its other globals.
char stallFlag[PATH_MAX];
char stallTarget[PATH_MAX];

__attribute__((constructor)) void readConfiguration() {
    const char* flag = std::getenv("QFX_STALL_FLAG");     // NOLINT(concurrency-mt-unsafe): no thread yet
    const char* target = std::getenv("QFX_STALL_TARGET"); // NOLINT(concurrency-mt-unsafe): no thread yet
    std::snprintf(stallFlag, sizeof stallFlag, "%s", flag != nullptr ? flag : "");
    std::snprintf(stallTarget, sizeof stallTarget, "%s", target != nullptr ? target : "");
}

bool isTarget(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[PATH_MAX];
    const ssize_t length = ::readlink(link, path, sizeof path);
    const size_t targetLength = std::strlen(stallTarget);
    return length > 0 && static_cast<size_t>(length) == targetLength &&
           std::memcmp(path, stallTarget, targetLength) == 0;
}

void waitWhileStalled(int fd) {
    if (stallFlag[0] == '\0' || stallTarget[0] == '\0' || !isTarget(fd)) {
        return;
    }
    while (::access(stallFlag, F_OK) == 0) {
        ::usleep(10'000);
    }
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    waitWhileStalled(fd);
    return real(fd, data, size);
}

ssize_t writev(int fd, const iovec* parts, int count) {
    static const auto real = next<ssize_t (*)(int, const iovec*, int)>("writev");
    waitWhileStalled(fd);
    return real(fd, parts, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    waitWhileStalled(fd);
    return real(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    waitWhileStalled(fd);
    return real(fd, data, size, offset);
}

} // extern "C"
