// The AVFoundation writer against the real frameworks: buffers made the way the capture delivers them (48 kHz, two
// channels, 32-bit float, stamped on the host clock) go through the writer's input as the recorder hands them over,
// and the finished file is read back and compared with what the capture clock says it must hold. Needs no
// permission; built and run on macOS only.
#include "platform/apple/apple_internal.h"

#include <AVFoundation/AVFoundation.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <unistd.h>

namespace qfx::platform::apple {
namespace {

constexpr int32_t kRate = 48000;
constexpr UInt32 kChannels = 2;
constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kBufferFrames = 1024; // what the capture delivers at 48 kHz

const OutputSettings kSettings = {{kFormatIDKey, kAudioFormatMPEG4AAC},
                                  {kSampleRateKey, int64_t{kRate}},
                                  {kNumberOfChannelsKey, int64_t{kChannels}},
                                  {kEncoderBitRateKey, int64_t{192000}}};

// The signal, a function of the capture clock's frame: cosines, so a leading silence cannot hide, at frequencies
// whose periods divide none of the schedule's steps (buffer, jitter, overlap), so any shift shows.
float tone(int64_t frame, UInt32 channel) {
    const double hertz = channel == 0 ? 441.0 : 997.0;
    return static_cast<float>(0.5 * std::cos(2.0 * std::numbers::pi * hertz * static_cast<double>(frame) / kRate));
}

struct CFReleaser {
    void operator()(const void* ref) const { CFRelease(ref); }
};
template <class Ref>
using CFOwned = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

// One buffer as the capture hands it: `frameCount` frames of the tone from capture frame `firstFrame`, stamped that
// frame's host time plus `jitterNanos`. A buffer the recorder drops because the input is not ready is not offered.
struct Delivery {
    int64_t firstFrame;
    int64_t frameCount;
    int64_t jitterNanos = 0;
    bool offered = true;
};

std::vector<Delivery> steady(int64_t from, int64_t count, bool offered = true) {
    std::vector<Delivery> deliveries;
    for (int64_t i = 0; i < count; ++i) {
        deliveries.push_back({from + i * kBufferFrames, kBufferFrames, 0, offered});
    }
    return deliveries;
}

// Capture frames of each stretch of the schedule below.
constexpr int64_t kFirstEnd = 48 * kBufferFrames;
constexpr int64_t kGap = 2 * kRate;
constexpr int64_t kJitterStart = kFirstEnd + kGap;
constexpr int64_t kJitterEnd = kJitterStart + 48 * kBufferFrames;
constexpr int64_t kOverlap = kRate / 50; // 20 ms, most of a buffer: the trim starts mid-buffer
constexpr int64_t kOverlapFrames = 3 * kBufferFrames;
constexpr int64_t kNotReadyStart = kJitterEnd - kOverlap + kOverlapFrames + 24 * kBufferFrames;
constexpr int64_t kNotReadyEnd = kNotReadyStart + 10 * kBufferFrames;
constexpr int64_t kEnd = kNotReadyEnd + 48 * kBufferFrames;

// Contiguous; a 2 s gap; jitter of up to 5 ms either way; a buffer that starts 20 ms before the written audio ends;
// a stretch the input is not ready for; contiguous to the end.
std::vector<Delivery> schedule() {
    std::vector<Delivery> deliveries = steady(0, kFirstEnd / kBufferFrames);
    const int64_t jitter[] = {0, 5'000'000, -5'000'000, 2'000'000};
    for (int64_t i = 0; i < 48; ++i) {
        deliveries.push_back({kJitterStart + i * kBufferFrames, kBufferFrames, jitter[i % 4]});
    }
    deliveries.push_back({kJitterEnd - kOverlap, kOverlapFrames});
    for (const std::vector<Delivery>& stretch : {steady(kJitterEnd - kOverlap + kOverlapFrames, 24),
                                                 steady(kNotReadyStart, 10, false), steady(kNotReadyEnd, 48)}) {
        deliveries.insert(deliveries.end(), stretch.begin(), stretch.end());
    }
    return deliveries;
}

CFOwned<CMSampleBufferRef> captureBuffer(const Delivery& d, CMTime hostStart, CMFormatDescriptionRef description,
                                         bool nonInterleaved) {
    const size_t length = static_cast<size_t>(d.frameCount) * kChannels * sizeof(float);
    CMBlockBufferRef block = nullptr;
    char* data = nullptr;
    if (CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, length, kCFAllocatorDefault, nullptr, 0,
                                           length, kCMBlockBufferAssureMemoryNowFlag, &block) != noErr) {
        return nullptr;
    }
    const CFOwned<CMBlockBufferRef> ownedBlock(block);
    if (CMBlockBufferGetDataPointer(block, 0, nullptr, nullptr, &data) != noErr) {
        return nullptr;
    }
    auto* samples = reinterpret_cast<float*>(data);
    for (int64_t i = 0; i < d.frameCount; ++i) {
        for (UInt32 c = 0; c < kChannels; ++c) {
            samples[nonInterleaved ? c * d.frameCount + i : i * kChannels + c] = tone(d.firstFrame + i, c);
        }
    }
    const int64_t offsetNanos = d.firstFrame * kNanosPerSecond / kRate + d.jitterNanos;
    CMSampleBufferRef buffer = nullptr;
    if (CMAudioSampleBufferCreateReadyWithPacketDescriptions(
            kCFAllocatorDefault, block, description, static_cast<CMItemCount>(d.frameCount),
            CMTimeAdd(hostStart, CMTimeMake(offsetNanos, static_cast<int32_t>(kNanosPerSecond))), nullptr,
            &buffer) != noErr) {
        return nullptr;
    }
    return CFOwned<CMSampleBufferRef>(buffer);
}

bool waitUntilReady(WriterInput& input) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!input.isReadyForMoreMediaData()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The decoded file, one vector per channel.
std::vector<std::vector<float>> readBack(const std::string& path) {
    NSError* error = nil;
    NSURL* url = [NSURL fileURLWithPath:[NSString stringWithUTF8String:path.c_str()] isDirectory:NO];
    AVAudioFile* file = [[AVAudioFile alloc] initForReading:url error:&error];
    if (file == nil) {
        ADD_FAILURE() << "cannot read " << path << ": " << (error != nil ? errorFrom(error).description : "");
        return {};
    }
    EXPECT_EQ(file.processingFormat.sampleRate, kRate);
    EXPECT_EQ(file.processingFormat.channelCount, kChannels);
    AVAudioPCMBuffer* pcm = [[AVAudioPCMBuffer alloc] initWithPCMFormat:file.processingFormat
                                                          frameCapacity:static_cast<AVAudioFrameCount>(file.length)];
    if (pcm == nil || ![file readIntoBuffer:pcm error:&error] || pcm.floatChannelData == nullptr) {
        ADD_FAILURE() << "cannot decode " << path;
        return {};
    }
    std::vector<std::vector<float>> channels;
    for (UInt32 c = 0; c < pcm.format.channelCount; ++c) {
        const float* plane = pcm.floatChannelData[c];
        channels.emplace_back(plane, plane + pcm.frameLength);
    }
    return channels;
}

struct Layout {
    const char* name;
    bool nonInterleaved;
};

TEST(AssetWriterFrameworkTest, TheFileKeepsTheCaptureClocksTimeline) {
    // AAC smears a sudden start or stop over about a frame; after a gap the writer may also have carried part of
    // the silence over the first buffers, when the input was busy with the rest. Compare away from the joints.
    constexpr int64_t kMargin = 2048;
    constexpr int64_t kAfterGap = 8 * kBufferFrames;
    constexpr int64_t kWindow = 1024;

    for (const Layout layout :
         {Layout{"non-interleaved, as the capture delivers", true}, Layout{"interleaved", false}}) {
        SCOPED_TRACE(layout.name);
        const std::string path =
            (std::filesystem::temp_directory_path() /
             ("qfx_writer_" + std::to_string(::getpid()) + (layout.nonInterleaved ? "_p" : "_i") + ".m4a"))
                .string();
        std::filesystem::remove(path);

        const UInt32 bytesPerFrame = layout.nonInterleaved ? sizeof(float) : kChannels * sizeof(float);
        const AudioStreamBasicDescription asbd = {kRate,
                                                  kAudioFormatLinearPCM,
                                                  kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                                                      (layout.nonInterleaved ? kAudioFormatFlagIsNonInterleaved : 0U),
                                                  bytesPerFrame,
                                                  1,
                                                  bytesPerFrame,
                                                  kChannels,
                                                  32,
                                                  0};
        CMAudioFormatDescriptionRef description = nullptr;
        ASSERT_EQ(
            CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &asbd, 0, nullptr, 0, nullptr, nullptr, &description),
            noErr);
        const CFOwned<CMAudioFormatDescriptionRef> ownedDescription(description);

        std::unique_ptr<WriterService> service = makeAssetWriterService();
        Result<std::shared_ptr<Writer>> made = service->makeWriter(FileLocation{path}, kFileTypeAppleM4A);
        ASSERT_TRUE(made.ok()) << made.error().description;
        const std::shared_ptr<Writer> writer = made.value();
        const std::shared_ptr<WriterInput> input = service->makeWriterInput(kMediaTypeAudio, kSettings);
        input->setExpectsMediaDataInRealTime(true);
        ASSERT_TRUE(writer->canAddInput(input));
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting()) << writer->error().value_or(Error{"no error"}).description;

        const CMTime hostStart = CMClockGetTime(CMClockGetHostTimeClock());
        bool sessionStarted = false;
        for (const Delivery& d : schedule()) {
            @autoreleasepool {
                const CFOwned<CMSampleBufferRef> buffer =
                    captureBuffer(d, hostStart, description, layout.nonInterleaved);
                ASSERT_TRUE(buffer != nullptr);
                if (!sessionStarted) {
                    writer->startSession(mediaTimeFrom(CMSampleBufferGetPresentationTimeStamp(buffer.get())));
                    sessionStarted = true;
                }
                if (!d.offered) {
                    continue;
                }
                // The recorder drops what the input is not ready for; here every offered buffer must go in, so
                // that the file's content is known.
                ASSERT_TRUE(waitUntilReady(*input));
                (void)input->append(CoreMediaSampleBuffer(buffer.get()));
            }
        }
        input->markAsFinished();
        auto finished = std::make_shared<std::promise<void>>();
        std::future<void> done = finished->get_future();
        writer->finishWriting([finished] { finished->set_value(); });
        ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        ASSERT_EQ(writer->status(), WriterStatus::completed) << writer->error().value_or(Error{"no error"}).description;

        const std::vector<std::vector<float>> decoded = readBack(path);
        std::filesystem::remove(path);
        ASSERT_EQ(decoded.size(), kChannels);
        const auto frames = static_cast<int64_t>(decoded[0].size());
        // The file's length is the capture clock's, from the session's start to the last buffer's end.
        std::cout << "file: " << frames << " frames, capture clock: " << kEnd << " frames\n";
        EXPECT_LT(std::abs(frames - kEnd), 1024);
        ASSERT_GE(frames, kEnd - 1024);

        // Which capture frames an offered buffer covers; the rest must be silence at the same place in the file.
        std::vector<bool> covered(static_cast<size_t>(kEnd), false);
        for (const Delivery& d : schedule()) {
            for (int64_t f = d.firstFrame; d.offered && f < d.firstFrame + d.frameCount; ++f) {
                covered[static_cast<size_t>(f)] = true;
            }
        }
        std::vector<int64_t> joints;
        for (int64_t f = 1; f < kEnd; ++f) {
            if (covered[static_cast<size_t>(f)] != covered[static_cast<size_t>(f - 1)]) {
                joints.push_back(f);
            }
        }
        int failures = 0;
        for (int64_t begin = 0; begin + kWindow <= std::min(frames, kEnd) && failures < 5; begin += kWindow) {
            const int64_t end = begin + kWindow;
            bool nearJoint = false;
            for (const int64_t joint : joints) {
                const int64_t after = covered[static_cast<size_t>(joint)] ? kAfterGap : kMargin;
                nearJoint = nearJoint || (end > joint - kMargin && begin < joint + after);
            }
            if (nearJoint) {
                continue;
            }
            for (UInt32 c = 0; c < kChannels; ++c) {
                double difference = 0;
                double reference = 0;
                for (int64_t f = begin; f < end; ++f) {
                    const double expected = covered[static_cast<size_t>(f)] ? tone(f, c) : 0.0;
                    const double got = decoded[c][static_cast<size_t>(f)];
                    difference += (got - expected) * (got - expected);
                    reference += expected * expected;
                }
                const bool good = covered[static_cast<size_t>(begin)]
                                      ? std::sqrt(difference / reference) < 0.08
                                      : std::sqrt(difference / static_cast<double>(kWindow)) < 1e-4;
                EXPECT_TRUE(good) << (covered[static_cast<size_t>(begin)] ? "tone" : "silence")
                                  << " expected in channel " << c << " at capture frames " << begin << "-" << end;
                failures += good ? 0 : 1;
            }
        }
    }
}

// A start that fails after startWriting cancels the writing or releases the writer: either way, no half-made file
// is left where the parent expects a recording.
TEST(AssetWriterFrameworkTest, AnAbandonedWriterLeavesNoFile) {
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancelled" : "released unfinished");
        const std::string path =
            (std::filesystem::temp_directory_path() / ("qfx_abandoned_" + std::to_string(::getpid()) + ".m4a"))
                .string();
        std::filesystem::remove(path);
        std::unique_ptr<WriterService> service = makeAssetWriterService();
        Result<std::shared_ptr<Writer>> made = service->makeWriter(FileLocation{path}, kFileTypeAppleM4A);
        ASSERT_TRUE(made.ok()) << made.error().description;
        std::shared_ptr<Writer> writer = made.value();
        const std::shared_ptr<WriterInput> input = service->makeWriterInput(kMediaTypeAudio, kSettings);
        ASSERT_TRUE(writer->canAddInput(input));
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting());
        if (cancel) {
            writer->cancelWriting();
            EXPECT_EQ(writer->status(), WriterStatus::cancelled);
        }
        writer.reset();
        EXPECT_FALSE(std::filesystem::exists(path));
        std::filesystem::remove(path);
    }
}

} // namespace
} // namespace qfx::platform::apple
