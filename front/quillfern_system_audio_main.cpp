#include "front/quillfern_system_audio_main.h"

#include "front/capture_helper_error.h"
#include "recorder/system_audio_recorder.h"

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

// One write, so the parent never sees half a line.
void reportLine(std::FILE* stream, const std::string& text) {
    const std::string line = text + "\n";
    std::fputs(line.c_str(), stream);
}

// Consumes one line, or up to the end of input, and nothing beyond it.
void awaitLine(std::FILE* input) {
    for (int c = std::getc(input); c != EOF && c != '\n'; c = std::getc(input)) {
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

int QuillfernSystemAudioMain::main(int argc, const char* const* argv, Streams streams,
                                   const PlatformFactory& platformFactory) {
    if (argc != 2) {
        reportLine(streams.error, CaptureHelperError::invalidArguments().errorDescription());
        return kExitUsage;
    }
    platform::Platform& platform = platformFactory();

    const platform::FileLocation location = outputLocation(argv[1]);
    clearOutputLocation(location);

    std::shared_ptr<SystemAudioRecorder> recorder = SystemAudioRecorder::create(platform, location, streams.error);

    if (const std::optional<StartFailure> failure = runOnWorker(platform, [&] { return recorder->start(); })) {
        // Not stopped: a failed start leaves nothing running that stop would end. Released on return, on this thread.
        reportLine(streams.error, failureDescription(*failure));
        return kExitStartFailed;
    }

    std::fputs("READY\n", streams.output);
    std::fflush(streams.output);

    awaitLine(streams.input);

    if (const std::optional<CaptureHelperError> failure = runOnWorker(platform, [&] { return recorder->stop(); })) {
        reportLine(streams.error, failure->errorDescription());
        return kExitFinishFailed;
    }
    recorder.reset();
    return kExitSuccess;
}

} // namespace qfx
