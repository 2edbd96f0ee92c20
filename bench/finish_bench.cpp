// What the finish costs: the time from the stop to an ordinary M4A in place of the fragmented recording, and the
// extra disk space it needs meanwhile (the new file exists beside the old one until the rename), for a minute and
// for an hour of audio. Prints figures only.
//
//   qfx_finish_bench [DIRECTORY]   (default /tmp: the file system the recordings go to matters, for the flushes)
#include "platform/linux/ffmpeg_writer.h"
#include "platform/linux/pcm_buffer.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

using namespace qfx::platform;
using namespace qfx::platform::linux_backend;

namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kFragment = 960; // the capture's 20 ms

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Records `seconds` of music-like sound (two tones and a little noise, one second of it repeated) and finishes.
bool measure(const std::string& path, int64_t seconds) {
    std::vector<std::vector<float>> second;
    unsigned noise = 1;
    for (int64_t frame = 0; frame < kRate; frame += kFragment) {
        std::vector<float> samples(kFragment * 2);
        for (int64_t i = 0; i < kFragment; ++i) {
            const double t = static_cast<double>(frame + i) / kRate;
            noise = noise * 1103515245U + 12345U;
            const double hiss = (static_cast<double>(noise >> 16U) / 32768.0 - 1.0) * 0.02;
            samples[2 * i] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 440 * t) + hiss);
            samples[2 * i + 1] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 1000 * t) - hiss);
        }
        second.push_back(std::move(samples));
    }

    FfmpegWriterService service;
    Result<std::shared_ptr<Writer>> made = service.makeWriter({path}, kFileTypeAppleM4A);
    if (!made.ok()) {
        std::fprintf(stderr, "%s\n", made.error().description.c_str());
        return false;
    }
    const std::shared_ptr<Writer> writer = made.value();
    auto input = service.makeWriterInput(kMediaTypeAudio, {{kFormatIDKey, kAudioFormatMPEG4AAC},
                                                           {kSampleRateKey, int64_t{48000}},
                                                           {kNumberOfChannelsKey, int64_t{2}},
                                                           {kEncoderBitRateKey, int64_t{192000}}});
    writer->addInput(input);
    writer->startWriting();
    writer->startSession(MediaTime::make(0, kRate));
    const double appendStart = cpuSeconds();
    for (int64_t frame = 0; frame < seconds * kRate; frame += kFragment) {
        input->append(
            PcmBuffer(MediaTime::make(frame, kRate), kRate, 2, second[static_cast<size_t>(frame % kRate / kFragment)]));
    }
    const double appendCpu = cpuSeconds() - appendStart;
    input->markAsFinished();
    const long fragmented = sizeOf(path);
    ::sync(); // so that the finish's own flushes are what is timed, not the recording's backlog
    const double finishCpuStart = cpuSeconds();
    const auto finishStart = std::chrono::steady_clock::now();
    writer->finishWriting([] {});
    const double finishWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - finishStart).count();
    const double finishCpu = cpuSeconds() - finishCpuStart;
    if (writer->status() != WriterStatus::completed) {
        std::fprintf(stderr, "%s\n", writer->error().value_or(Error{"finish failed"}).description.c_str());
        return false;
    }
    const long finished = sizeOf(path);
    // Until the rename both files exist: the extra space is the finished file (less the last fragment, which the
    // fragmented file gains in the finish too).
    std::printf("%5lld s of audio: appending %.1f s CPU (%.0fx real time); finish %.3f s (%.3f s CPU); fragmented "
                "%.2f MB, finished %.2f MB (%+.2f %%); extra space during the finish %.2f MB\n",
                static_cast<long long>(seconds), appendCpu, static_cast<double>(seconds) / appendCpu, finishWall,
                finishCpu, fragmented / 1e6, finished / 1e6,
                100.0 * static_cast<double>(finished - fragmented) / static_cast<double>(fragmented), finished / 1e6);
    ::unlink(path.c_str());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string pattern = std::string(argc > 1 ? argv[1] : "/tmp") + "/qfx-finish-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror(pattern.c_str());
        return 1;
    }
    const std::string path = pattern + "/bench.m4a";
    const bool ok = measure(path, 60) && measure(path, 3600);
    ::rmdir(pattern.c_str());
    return ok ? 0 : 1;
}
