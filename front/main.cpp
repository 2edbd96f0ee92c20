// qfx_system_audio <output.m4a>: records the machine's system audio into an AAC file for a parent process.
#include "front/quillfern_system_audio_main.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Whether the process must end through the ordinary exit: the sanitizers report leaks and races from their exit
// handlers, which a quick exit would skip.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOrdinaryExit = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kOrdinaryExit = true;
#else
constexpr bool kOrdinaryExit = false;
#endif
#else
constexpr bool kOrdinaryExit = false;
#endif

} // namespace

int main(int argc, char** argv) {
    // Without its three standard descriptors the tool could write its messages into the recording itself; with no
    // /dev/null to stand in for them it cannot run safely, and has nowhere to say so.
    if (!qfx::QuillfernSystemAudioMain::openStandardDescriptors()) {
        return qfx::QuillfernSystemAudioMain::kExitStartFailed;
    }
    const int status =
        qfx::QuillfernSystemAudioMain::main(argc, argv, {STDIN_FILENO, stdout, stderr}, qfx::platform::systemPlatform);
    if (kOrdinaryExit) {
        return status;
    }
    // By now the run has kept every promise: the file is finished and on disk (or gone), the recorder and its
    // threads are released and every line is written. What an ordinary exit would still do is tear down the
    // platform's services and run the finalisers of the hundred-odd shared libraries the encoder brings in, which
    // takes longer than finishing the file and saves nothing. The parent waits for the exit, so it ends here.
    std::fflush(nullptr);
    std::_Exit(status);
}
