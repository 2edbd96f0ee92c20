// qfx_system_audio <output.m4a>: records the machine's system audio into an AAC file for a parent process.
#include "front/quillfern_system_audio_main.h"

#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    // Without its three standard descriptors the tool could write its messages into the recording itself; with no
    // /dev/null to stand in for them it cannot run safely, and has nowhere to say so.
    if (!qfx::QuillfernSystemAudioMain::openStandardDescriptors()) {
        return qfx::QuillfernSystemAudioMain::kExitStartFailed;
    }
    return qfx::QuillfernSystemAudioMain::main(argc, argv, {STDIN_FILENO, stdout, stderr},
                                               qfx::platform::systemPlatform);
}
