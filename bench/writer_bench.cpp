// The FFmpeg writer's cost: CPU time to encode a minute of stereo audio as the capture delivers it (10 ms buffers),
// and to fill a minute-long gap with silence (the most one append may be asked to write). Prints figures only.
#include "platform/linux/ffmpeg_writer.h"
#include "platform/linux/pcm_buffer.h"

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

using namespace qfx::platform;
using namespace qfx::platform::linux_backend;

namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kSecond = kRate; // frames
constexpr int64_t kFragment = 480;
constexpr int64_t kMinute = 60 * kSecond;

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Run {
    double encodeSeconds = 0;
    double finishSeconds = 0;
    long bytes = 0;
};

// Writes `audible` frames of music-like sound (two tones and a little noise), then `gap` frames of missing time,
// then one more buffer; the buffers are made beforehand so that only the writer is timed.
std::optional<Run> record(const std::string& path, int64_t audible, int64_t gap) {
    std::vector<PcmBuffer> buffers;
    unsigned noise = 1;
    for (int64_t frame = 0; frame < audible; frame += kFragment) {
        std::vector<float> samples(kFragment * 2);
        for (int64_t i = 0; i < kFragment; ++i) {
            const double t = static_cast<double>(frame + i) / kRate;
            noise = noise * 1103515245U + 12345U;
            const double hiss = (static_cast<double>(noise >> 16U) / 32768.0 - 1.0) * 0.02;
            samples[2 * i] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 440 * t) + hiss);
            samples[2 * i + 1] = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 1000 * t) - hiss);
        }
        buffers.emplace_back(MediaTime::make(frame, kRate), kRate, 2, std::move(samples));
    }
    buffers.emplace_back(MediaTime::make(audible + gap, kRate), kRate, 2, std::vector<float>(kFragment * 2));

    FfmpegWriterService service;
    Result<std::shared_ptr<Writer>> made = service.makeWriter({path}, kFileTypeAppleM4A);
    if (!made.ok()) {
        std::fprintf(stderr, "%s\n", made.error().description.c_str());
        return std::nullopt;
    }
    const std::shared_ptr<Writer> writer = made.value();
    auto input = service.makeWriterInput(kMediaTypeAudio, {{kFormatIDKey, kAudioFormatMPEG4AAC},
                                                           {kSampleRateKey, int64_t{48000}},
                                                           {kNumberOfChannelsKey, int64_t{2}},
                                                           {kEncoderBitRateKey, int64_t{192000}}});
    writer->addInput(input);
    writer->startWriting();
    writer->startSession(MediaTime::make(0, kRate));
    Run run;
    const double start = cpuSeconds();
    for (const PcmBuffer& buffer : buffers) {
        input->append(buffer);
    }
    const double appended = cpuSeconds();
    input->markAsFinished();
    writer->finishWriting([] {});
    run.encodeSeconds = appended - start;
    run.finishSeconds = cpuSeconds() - appended;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fseek(file, 0, SEEK_END);
        run.bytes = std::ftell(file);
        std::fclose(file);
    }
    ::unlink(path.c_str());
    return run;
}

} // namespace

int main() {
    char directory[] = "/tmp/qfx-writer-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        return 1;
    }
    const std::string path = std::string(directory) + "/bench.m4a";
    const std::optional<Run> audio = record(path, kMinute, 0);
    const std::optional<Run> gap = record(path, kFragment, kMinute);
    ::rmdir(directory);
    if (!audio || !gap) {
        return 1;
    }
    std::printf("60 s of stereo audio, 10 ms buffers: %.3f s CPU to append (%.1fx real time, %.3f ms per buffer), "
                "%.3f s to finish, %ld bytes (%.0f kbit/s)\n",
                audio->encodeSeconds, 60.0 / audio->encodeSeconds,
                audio->encodeSeconds * 1000 / (static_cast<double>(kMinute) / kFragment), audio->finishSeconds,
                audio->bytes, static_cast<double>(audio->bytes) * 8.0 / 60.0 / 1000.0);
    std::printf("one append after a 60 s gap (the bound): %.3f s CPU, %ld bytes\n", gap->encodeSeconds, gap->bytes);
    return 0;
}
