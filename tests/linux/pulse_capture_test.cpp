// The Linux capture service against the private sound server the test runs with (CTest starts it through
// tests/e2e/harness.py): what it lists, what it delivers on which queue and clock, and how it stops. Following the
// output and a lost server are seen end to end (tests/e2e).
#include "platform/linux/capture_clock.h"
#include "platform/linux/pcm_buffer.h"
#include "platform/linux/pulse_capture.h"
#include "platform/thread_serial_queue.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace qfx::platform::linux_backend {
namespace {

using namespace std::chrono_literals;

constexpr int32_t kRate = 48000;

/// The amplitude of 440 Hz in one channel of interleaved stereo samples.
double level(const std::vector<float>& interleaved, int channel) {
    double re = 0;
    double im = 0;
    for (size_t i = static_cast<size_t>(channel); i < interleaved.size(); i += 2) {
        const double phase = 2 * std::numbers::pi * 440 * static_cast<double>(i / 2) / kRate;
        re += interleaved[i] * std::cos(phase);
        im += interleaved[i] * std::sin(phase);
    }
    return interleaved.empty() ? 0 : 4 * std::hypot(re, im) / static_cast<double>(interleaved.size());
}

int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()); // NOLINT(cert-env33-c, concurrency-mt-unsafe)
}

/// The recorder's two roles: keeps what the service delivers, and whether it came well formed on the queue.
class Collector final : public StreamOutput, public StreamDelegate {
public:
    struct Buffer {
        int64_t timeNs;
        int64_t frames;
        std::vector<float> samples;
    };

    void didOutputSampleBuffer(Stream& /*stream*/, const SampleBuffer& buffer, StreamOutputType type) override {
        const auto* pcm = dynamic_cast<const PcmBuffer*>(&buffer);
        const MediaTime time = buffer.presentationTimeStamp();
        const std::lock_guard lock(mutex_);
        malformed += !queue->isCurrent() || type != kStreamOutputTypeAudio || pcm == nullptr || !pcm->isValid() ||
                     pcm->sampleRate() != kRate || pcm->channelCount() != 2 || time.timescale != 1'000'000'000;
        if (pcm != nullptr) {
            buffers.push_back({time.value, pcm->frameCount(), {pcm->samples().begin(), pcm->samples().end()}});
        }
        changed_.notify_all();
    }
    void didStopWithError(Stream& /*stream*/, const Error& error) override {
        const std::lock_guard lock(mutex_);
        stops.push_back(error.description);
    }
    /// Waits (twenty seconds at most: an idle sink's first fragment may take two) until `done` holds.
    bool waitUntil(const std::function<bool()>& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, done);
    }
    std::vector<Buffer> taken() {
        const std::lock_guard lock(mutex_);
        return buffers;
    }

    std::shared_ptr<ThreadSerialQueue> queue = std::make_shared<ThreadSerialQueue>("test.samples");
    std::vector<Buffer> buffers;
    std::vector<std::string> stops;
    int malformed = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

std::shared_ptr<ShareableContent> content(PulseCaptureService& service) {
    auto answer = std::make_shared<std::promise<std::shared_ptr<ShareableContent>>>();
    std::future<std::shared_ptr<ShareableContent>> future = answer->get_future();
    service.getShareableContent(false, false, [answer](std::shared_ptr<ShareableContent> found, MaybeError error) {
        EXPECT_FALSE(error);
        answer->set_value(std::move(found));
    });
    return future.wait_for(20s) == std::future_status::ready ? future.get() : nullptr;
}

std::vector<std::string> sinkNames(PulseCaptureService& service) {
    std::vector<std::string> names;
    if (const std::shared_ptr<ShareableContent> found = content(service)) {
        for (const auto& display : found->displays) {
            names.push_back(dynamic_cast<const PulseDisplay&>(*display).sinkName());
        }
    }
    return names;
}

MaybeError await(const std::function<void(CaptureCompletion)>& operation) {
    auto done = std::make_shared<std::promise<MaybeError>>();
    std::future<MaybeError> future = done->get_future();
    operation([done](MaybeError error) { done->set_value(std::move(error)); });
    return future.wait_for(20s) == std::future_status::ready ? future.get() : Error{"timed out"};
}

TEST(PulseCaptureTest, ListsTheDefaultSinkFirst) {
    PulseCaptureService service;
    // The session manager may apply a new default a little later: wait until the server reports it.
    ASSERT_EQ(run("pactl load-module module-null-sink sink_name=qfx_second && for i in $(seq 100); do pactl "
                  "set-default-sink qfx_second; [ \"$(pactl get-default-sink)\" = qfx_second ] && exit 0; sleep "
                  "0.05; done; exit 1"),
              0);
    const std::vector<std::string> names = sinkNames(service);
    run("pactl set-default-sink qfx_null; pactl unload-module $(pactl list short modules | awk "
        "'/sink_name=qfx_second/ {print $1}')");
    EXPECT_EQ(names, (std::vector<std::string>{"qfx_second", "qfx_null"}));
}

TEST(PulseCaptureTest, DeliversTheSinksSoundOnTheQueueWithSampleCountedTimesUntilStopped) {
    PulseCaptureService service;
    const std::shared_ptr<ShareableContent> found = content(service);
    ASSERT_TRUE(found && !found->displays.empty());
    auto collector = std::make_shared<Collector>();
    const std::shared_ptr<Stream> stream = service.makeStream(service.makeContentFilter(found->displays[0], {}, {}),
                                                              service.makeStreamConfiguration(), collector);
    ASSERT_FALSE(stream->addStreamOutput(collector, kStreamOutputTypeAudio, collector->queue));
    const int64_t startedAt = CaptureClock::monotonicNowNs();
    ASSERT_FALSE(await([&](CaptureCompletion done) { stream->startCapture(std::move(done)); }));
    // 440 Hz on the left channel only, for a few seconds.
    const std::string tone = "/tmp/qfx-tone-" + std::to_string(getpid()) + ".wav";
    ASSERT_EQ(run("sox -n -r 48000 -c 2 " + tone + " synth 8 sine 440 remix 1 0 && { paplay " + tone + " & }"), 0);
    ASSERT_TRUE(collector->waitUntil([&] {
        return !collector->buffers.empty() && level(collector->buffers.back().samples, 0) > 0.2;
    })) << "the tone never arrived";
    std::remove(tone.c_str());
    EXPECT_FALSE(await([&](CaptureCompletion done) { stream->stopCapture(std::move(done)); }));
    const int64_t stoppedAt = CaptureClock::monotonicNowNs();
    collector->queue->sync([] {});
    const std::vector<Collector::Buffer> buffers = collector->taken();
    std::this_thread::sleep_for(300ms);
    collector->queue->sync([] {});
    EXPECT_EQ(collector->taken().size(), buffers.size()) << "a buffer came after the stop";
    EXPECT_FALSE(await([&](CaptureCompletion done) { stream->stopCapture(std::move(done)); })) << "a second stop";
    EXPECT_TRUE(collector->stops.empty());
    EXPECT_EQ(collector->malformed, 0) << "buffers off the queue, of another type or format";

    // The first buffer is empty: it marks when the capture began, which the file's timeline starts from.
    ASSERT_GE(buffers.size(), 2U);
    EXPECT_EQ(buffers[0].frames, 0);
    EXPECT_GE(buffers[0].timeNs, startedAt);
    const CaptureClock clock(kRate, 0);
    int64_t gapNs = 0;
    for (size_t i = 1; i < buffers.size(); ++i) {
        const Collector::Buffer& b = buffers[i];
        // A monitor's times are when the sink plays the frames, which can be a little after they were captured.
        EXPECT_LE(b.timeNs, stoppedAt + 1'000'000'000) << "buffer " << i;
        if (i > 1) {
            const int64_t previousEnd = buffers[i - 1].timeNs + clock.framesToNs(buffers[i - 1].frames);
            EXPECT_GE(b.timeNs, previousEnd - 1) << "buffer " << i << " overlaps the one before";
            gapNs += b.timeNs - previousEnd;
        }
        if (level(b.samples, 0) > 0.2) {
            EXPECT_LT(level(b.samples, 1), 0.02) << "the left tone leaked into the right channel";
        }
    }
    // Times advance by frame count; only a loss the server reported through its timing may open a gap.
    EXPECT_LT(gapNs, 100'000'000) << "times jumped by " << gapNs << " ns in all";
}

} // namespace
} // namespace qfx::platform::linux_backend
