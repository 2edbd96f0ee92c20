// qfx_system_audio <output.m4a>: records the machine's system audio into an AAC file for a parent process.
#include "front/quillfern_system_audio_main.h"

#include <cstdio>

int main(int argc, char** argv) {
    return qfx::QuillfernSystemAudioMain::main(argc, argv, {stdin, stdout, stderr}, qfx::platform::systemPlatform);
}
