// The Linux capture service against the private sound server the test runs with (CTest starts it through
// tests/e2e/harness.py): what it lists, what it records and on which queue and clock, and how it stops. Following
// the output and a lost server are seen end to end (tests/e2e).
#include "platform/linux/capture_clock.h"
#include "platform/linux/pcm_buffer.h"
#include "platform/linux/pulse_capture.h"
#include "platform/thread_serial_queue.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qfx::platform::linux_backend {
namespace {

using namespace std::chrono_literals;

// Generous: a null sink's first fragment can take two seconds, and the machine may be busy.
constexpr auto kWait = 20s;
constexpr int32_t kRate = 48000;
constexpr double kToneHertz = 440.0;

/// The amplitude of the `hertz` component of one channel of interleaved stereo samples (Goertzel).
double level(const std::vector<float>& interleaved, int channel, double hertz) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hertz / kRate);
    double previous = 0.0;
    double beforePrevious = 0.0;
    size_t count = 0;
    for (size_t i = static_cast<size_t>(channel); i < interleaved.size(); i += 2, ++count) {
        const double current = interleaved[i] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    if (count == 0) {
        return 0.0;
    }
    const double power =
        previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(count);
}

/// A 16-bit stereo WAV file: a tone of `hertz` on the left channel, silence on the right.
std::string writeLeftTone(double seconds) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("qfx-tone-" + std::to_string(getpid()) + ".wav")).string();
    const auto frames = static_cast<uint32_t>(seconds * kRate);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    const auto put32 = [&file](uint32_t v) { file.write(reinterpret_cast<const char*>(&v), 4); };
    const auto put16 = [&file](uint16_t v) { file.write(reinterpret_cast<const char*>(&v), 2); };
    file.write("RIFF", 4);
    put32(36 + frames * 4);
    file.write("WAVEfmt ", 8);
    put32(16);
    put16(1);
    put16(2);
    put32(kRate);
    put32(kRate * 4);
    put16(4);
    put16(16);
    file.write("data", 4);
    put32(frames * 4);
    for (uint32_t i = 0; i < frames; ++i) {
        put16(static_cast<uint16_t>(
            static_cast<int16_t>(16000 * std::sin(2.0 * std::numbers::pi * kToneHertz * i / kRate))));
        put16(0);
    }
    return path;
}

/// Plays the left tone into `sink` for as long as it lives.
class Player {
public:
    explicit Player(const std::string& sink) : path_(writeLeftTone(30.0)) {
        const std::string device = "--device=" + sink;
        const char* argv[] = {"paplay", device.c_str(), path_.c_str(), nullptr};
        if (posix_spawnp(&pid_, "paplay", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
            pid_ = -1;
        }
    }
    ~Player() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove(path_);
    }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

private:
    std::string path_;
    pid_t pid_ = -1;
};

/// Runs a shell command; its exit status.
int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()); // NOLINT(cert-env33-c, concurrency-mt-unsafe)
}

/// The recorder's two roles, recording what the service delivers and on which thread.
class Collector final : public StreamOutput, public StreamDelegate {
public:
    struct Buffer {
        int64_t timeNs = 0;
        int64_t frames = 0;
        std::vector<float> samples;
    };

    explicit Collector(std::shared_ptr<ThreadSerialQueue> queue) : queue_(std::move(queue)) {}

    void didOutputSampleBuffer(Stream& /*stream*/, const SampleBuffer& buffer, StreamOutputType type) override {
        const auto* pcm = dynamic_cast<const PcmBuffer*>(&buffer);
        const MediaTime time = buffer.presentationTimeStamp();
        const std::lock_guard lock(mutex_);
        if (!queue_->isCurrent() || type != kStreamOutputTypeAudio || pcm == nullptr || !pcm->isValid() ||
            pcm->sampleRate() != kRate || pcm->channelCount() != 2 || !time.isNumeric() ||
            time.timescale != 1'000'000'000) {
            ++malformed_;
        }
        if (pcm != nullptr) {
            buffers_.push_back({time.value, pcm->frameCount(), {pcm->samples().begin(), pcm->samples().end()}});
        }
        changed_.notify_all();
    }

    void didStopWithError(Stream& /*stream*/, const Error& error) override {
        const std::lock_guard lock(mutex_);
        stops_.push_back(error.description);
        changed_.notify_all();
    }

    bool waitUntil(const std::function<bool(const Collector&)>& done, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(*this); });
    }
    /// Waits until `count` more buffers than now have come.
    bool waitForMoreBuffers(size_t count) {
        const size_t target = bufferCount() + count;
        return waitUntil([target](const Collector& c) { return c.buffers_.size() >= target; });
    }
    /// Waits until a buffer after the first `from` carries the tone on the left channel.
    bool waitForTone(size_t from) {
        return waitUntil([from](const Collector& c) {
            for (size_t i = from; i < c.buffers_.size(); ++i) {
                if (level(c.buffers_[i].samples, 0, kToneHertz) > 0.2) {
                    return true;
                }
            }
            return false;
        });
    }

    size_t bufferCount() const {
        const std::lock_guard lock(mutex_);
        return buffers_.size();
    }
    std::vector<Buffer> buffers() const {
        const std::lock_guard lock(mutex_);
        return buffers_;
    }
    std::vector<std::string> stops() const {
        const std::lock_guard lock(mutex_);
        return stops_;
    }
    int malformed() const {
        const std::lock_guard lock(mutex_);
        return malformed_;
    }

private:
    std::shared_ptr<ThreadSerialQueue> queue_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Buffer> buffers_;
    std::vector<std::string> stops_;
    int malformed_ = 0;
};

struct ContentAnswer {
    bool came = false;
    std::shared_ptr<ShareableContent> content;
    MaybeError error;
};

ContentAnswer queryContent(PulseCaptureService& service) {
    auto answer = std::make_shared<std::promise<ContentAnswer>>();
    std::future<ContentAnswer> future = answer->get_future();
    service.getShareableContent(false, false, [answer](std::shared_ptr<ShareableContent> content, MaybeError error) {
        answer->set_value({true, std::move(content), std::move(error)});
    });
    return future.wait_for(kWait) == std::future_status::ready ? future.get() : ContentAnswer{};
}

std::vector<std::string> sinkNames(const ShareableContent& content) {
    std::vector<std::string> names;
    for (const auto& display : content.displays) {
        const auto* sink = dynamic_cast<const PulseDisplay*>(display.get());
        names.push_back(sink != nullptr ? sink->sinkName() : "?");
    }
    return names;
}

/// Calls `operation` with a completion and waits for it: the completion's error, or "timed out".
MaybeError await(const std::function<void(CaptureCompletion)>& operation) {
    auto done = std::make_shared<std::promise<MaybeError>>();
    std::future<MaybeError> future = done->get_future();
    operation([done](MaybeError error) { done->set_value(std::move(error)); });
    if (future.wait_for(kWait) != std::future_status::ready) {
        return Error{"timed out"};
    }
    return future.get();
}

/// One capture: the service, the recorder's queue and roles, and a stream started on a sink.
struct Capture {
    PulseCaptureService service;
    std::shared_ptr<ThreadSerialQueue> queue = std::make_shared<ThreadSerialQueue>("qfx.test.system-audio");
    std::shared_ptr<Collector> collector = std::make_shared<Collector>(queue);
    std::shared_ptr<Stream> stream;

    /// Starts capturing the display named `sink` as the recorder does; an empty text, or what went wrong.
    std::string start(const std::string& sink) {
        const ContentAnswer answer = queryContent(service);
        if (!answer.came || answer.error || answer.content == nullptr) {
            return "no content: " + (answer.error ? answer.error->description : std::string("no answer"));
        }
        std::shared_ptr<Display> display;
        for (const auto& candidate : answer.content->displays) {
            if (dynamic_cast<const PulseDisplay&>(*candidate).sinkName() == sink) {
                display = candidate;
            }
        }
        if (display == nullptr) {
            return "no display " + sink;
        }
        auto configuration = service.makeStreamConfiguration();
        configuration->setCapturesAudio(true);
        configuration->setSampleRate(kRate);
        configuration->setChannelCount(2);
        stream = service.makeStream(service.makeContentFilter(display, {}, {}), configuration, collector);
        if (MaybeError error = stream->addStreamOutput(collector, kStreamOutputTypeAudio, queue)) {
            return error->description;
        }
        MaybeError error = await([this](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        return error ? error->description : std::string();
    }

    MaybeError stop() {
        return await([this](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
    }
};

TEST(PulseCaptureTest, ListsTheDefaultSinkFirst) {
    PulseCaptureService service;
    ContentAnswer answer = queryContent(service);
    ASSERT_TRUE(answer.came && !answer.error);
    EXPECT_EQ(sinkNames(*answer.content), std::vector<std::string>{"qfx_null"});

    // The session manager may apply a new default a little later: wait until the server reports it.
    ASSERT_EQ(run("pactl load-module module-null-sink sink_name=qfx_second && for i in $(seq 100); do pactl "
                  "set-default-sink qfx_second; [ \"$(pactl get-default-sink)\" = qfx_second ] && exit 0; sleep "
                  "0.05; done; exit 1"),
              0);
    answer = queryContent(service);
    run("pactl set-default-sink qfx_null; pactl unload-module $(pactl list short modules | awk "
        "'/sink_name=qfx_second/ {print $1}')");
    ASSERT_TRUE(answer.came && !answer.error);
    EXPECT_EQ(sinkNames(*answer.content), (std::vector<std::string>{"qfx_second", "qfx_null"}));
}

TEST(PulseCaptureTest, DeliversTheSinksSoundOnTheQueueWithSampleCountedTimes) {
    Capture capture;
    const int64_t startedAt = CaptureClock::monotonicNowNs();
    ASSERT_EQ(capture.start("qfx_null"), "");
    ASSERT_TRUE(capture.collector->waitForMoreBuffers(1));
    const size_t before = capture.collector->bufferCount();
    {
        const Player player("qfx_null");
        ASSERT_TRUE(capture.collector->waitForTone(before)) << "the tone never arrived";
        ASSERT_TRUE(capture.collector->waitForMoreBuffers(10));
    }
    EXPECT_FALSE(capture.stop());
    const int64_t stoppedAt = CaptureClock::monotonicNowNs();

    EXPECT_EQ(capture.collector->malformed(), 0) << "buffers off the queue, of another type or format";
    const std::vector<Collector::Buffer> buffers = capture.collector->buffers();
    CaptureClock frames(kRate, 0);
    int64_t gapNs = 0;
    bool toneSeen = false;
    // The first buffer is empty: it marks when the capture began, which the file's timeline starts from.
    ASSERT_FALSE(buffers.empty());
    EXPECT_EQ(buffers[0].frames, 0);
    EXPECT_GE(buffers[0].timeNs, startedAt);
    for (size_t i = 1; i < buffers.size(); ++i) {
        const Collector::Buffer& b = buffers[i];
        EXPECT_GT(b.frames, 0);
        EXPECT_GE(b.timeNs, startedAt - 3'000'000'000) << "buffer " << i;
        // A monitor's times are when the sink plays the frames, which can be a little after they were captured.
        EXPECT_LE(b.timeNs, stoppedAt + 1'000'000'000) << "buffer " << i;
        if (i > 1) {
            const int64_t previousEnd = buffers[i - 1].timeNs + frames.framesToNs(buffers[i - 1].frames);
            EXPECT_GE(b.timeNs, previousEnd - 1) << "buffer " << i << " overlaps the one before";
            gapNs += b.timeNs - previousEnd;
        }
        if (level(b.samples, 0, kToneHertz) > 0.2) {
            toneSeen = true;
            EXPECT_LT(level(b.samples, 1, kToneHertz), 0.02) << "the left tone leaked into the right channel";
        }
    }
    EXPECT_TRUE(toneSeen);
    // Times advance by frame count; only a loss the server reported through its timing may open a gap.
    EXPECT_LT(gapNs, 100'000'000) << "times jumped by " << gapNs << " ns in all";
}

TEST(PulseCaptureTest, StopCompletesAndNoBufferFollowsIt) {
    Capture capture;
    ASSERT_EQ(capture.start("qfx_null"), "");
    ASSERT_TRUE(capture.collector->waitForMoreBuffers(5));
    EXPECT_FALSE(capture.stop());
    capture.queue->sync([] {});
    const size_t delivered = capture.collector->bufferCount();
    std::this_thread::sleep_for(300ms);
    capture.queue->sync([] {});
    EXPECT_EQ(capture.collector->bufferCount(), delivered);
    EXPECT_FALSE(capture.stop()) << "a second stop completes too";
    EXPECT_TRUE(capture.collector->stops().empty());
}

} // namespace
} // namespace qfx::platform::linux_backend
