#include "front/quillfern_system_audio_main.h"

#include "front/capture_helper_error.h"
#include "front/message_line.h"
#include "front/stop_request.h"
#include "recorder/system_audio_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>

namespace qfx {

namespace {

// The argument as given (not trimmed, no tilde expansion), made absolute against the current directory. An empty
// argument names the current directory itself, which the clearing leaves alone and the writer then refuses.
platform::FileLocation outputLocation(const std::string& argument) {
    const std::filesystem::path path(argument);
    if (path.is_absolute()) {
        return {argument};
    }
    std::error_code error;
    const std::filesystem::path directory = std::filesystem::current_path(error);
    if (error) {
        return {argument}; // no current directory to resolve against: the writer reports what it makes of this
    }
    if (argument.empty()) {
        return {directory.string()};
    }
    return {(directory / path).string()};
}

// Removes an old file, or a symbolic link (never its target), so the new recording takes its place. Anything else
// stays: removing a directory tree, a device or a FIFO because it happens to sit at the path would destroy what the
// parent never meant to give up; the writer then fails to create the file and the run ends with that failure.
void clearOutputLocation(const platform::FileLocation& location) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(location.path, error);
    if (error) {
        return;
    }
    if (std::filesystem::is_regular_file(status) || std::filesystem::is_symlink(status)) {
        std::filesystem::remove(location.path, error); // a failure is no reason not to record: the writer decides
    }
}

// Runs `work` on a thread of its own while the main thread waits the way the platform needs it to.
template <class Work>
std::invoke_result_t<Work&> runOnWorker(platform::Platform& platform, Work work) {
    std::invoke_result_t<Work&> result;
    std::promise<void> done;
    const std::shared_future<void> finished = done.get_future().share();
    std::thread worker([&] {
        result = work();
        done.set_value();
    });
    platform.waitOnMainThread(finished);
    worker.join();
    return result;
}

} // namespace

bool QuillfernSystemAudioMain::openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        // The lowest free descriptor: `fd` itself, since those below it are open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0) {
                ::close(opened);
            }
            return false;
        }
    }
    return true;
}

int QuillfernSystemAudioMain::main(int argc, const char* const* argv, Streams streams,
                                   const PlatformFactory& platformFactory) {
    // First: the usage line may meet a closed standard error too, and a signal during the start is kept for the wait
    // rather than killing an unfinished file.
    installStopSignals();
    if (argc != 2) {
        writeMessageLine(streams.error, CaptureHelperError::invalidArguments().errorDescription());
        return kExitUsage;
    }
    platform::Platform& platform = platformFactory();

    const platform::FileLocation location = outputLocation(argv[1]);
    clearOutputLocation(location);

    std::shared_ptr<SystemAudioRecorder> recorder = SystemAudioRecorder::create(platform, location, streams.error);

    if (const std::optional<StartFailure> failure = runOnWorker(platform, [&] { return recorder->start(); })) {
        // Not stopped: a failed start leaves nothing running that stop would end. Released on return, on this thread.
        writeMessageLine(streams.error, failureDescription(*failure));
        return kExitStartFailed;
    }

    std::fputs("READY\n", streams.output);
    std::fflush(streams.output);

    (void)awaitStop(streams.input); // a line, the end of input and a stop signal all end the recording alike

    if (const std::optional<CaptureHelperError> failure = runOnWorker(platform, [&] { return recorder->stop(); })) {
        writeMessageLine(streams.error, failure->errorDescription());
        return kExitFinishFailed;
    }
    recorder.reset();
    return kExitSuccess;
}

} // namespace qfx
