// The memory floor: a program that loads the same shared libraries as the tool and does nothing else, so that the
// tool's figures can be read against what merely loading libpulse and FFmpeg costs. It touches one symbol of each
// library (so that no linker drops one as unused), writes READY, and waits for a line or the end of standard input,
// exactly as the tool is driven; bench/compare.py measures it like the tool. Built a second time with libpulse
// alone (QFX_FLOOR_PULSE_ONLY): what the tool would load before READY if it opened FFmpeg's libraries only later.
#ifndef QFX_FLOOR_PULSE_ONLY
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#ifdef QFX_FLOOR_SWRESAMPLE
#include <libswresample/swresample.h>
#endif
}
#endif
#include <pulse/version.h>

#include <cstdio>
#include <cstdlib>

int main() {
    // The versions are summed only so that each call has a use; the value means nothing.
    unsigned sum = static_cast<unsigned>(pa_get_library_version() != nullptr);
#ifndef QFX_FLOOR_PULSE_ONLY
    sum += avcodec_version() + avformat_version() + avutil_version();
#ifdef QFX_FLOOR_SWRESAMPLE
    sum += swresample_version();
#endif
#endif
    if (sum == 0) {
        return EXIT_FAILURE;
    }
    std::fputs("READY\n", stdout);
    std::fflush(stdout);
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
    return EXIT_SUCCESS;
}
