// The Linux capture service against the private sound server the test runs with (CTest starts it through
// tests/e2e/harness.py): what it lists, what it delivers on which queue and clock, and how it stops. Following the
// output, a lost server and a hung one are seen end to end (tests/e2e).
#include "platform/linux/capture_clock.h"
#include "platform/linux/pcm_buffer.h"
#include "platform/linux/pulse_capture.h"
#include "platform/thread_serial_queue.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <numbers>
#include <optional>
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
        std::this_thread::sleep_until(stalledUntil.load()); // a writer stuck on a stalled disk: the queue stops
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

    /// Waits until `count` more buffers than now have come.
    bool waitForMore(size_t count) {
        const size_t target = taken().size() + count;
        return waitUntil([&] { return buffers.size() >= target; });
    }
    std::vector<std::string> stopped() {
        const std::lock_guard lock(mutex_);
        return stops;
    }

    std::shared_ptr<ThreadSerialQueue> queue = std::make_shared<ThreadSerialQueue>("test.samples");
    std::atomic<std::chrono::steady_clock::time_point> stalledUntil{};
    std::vector<Buffer> buffers;
    std::vector<std::string> stops;
    int malformed = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

/// The service's displays; none when the query fails.
std::shared_ptr<ShareableContent> content(PulseCaptureService& service) {
    auto answer = std::make_shared<std::promise<std::shared_ptr<ShareableContent>>>();
    auto future = answer->get_future();
    service.getShareableContent(false, false, [answer](std::shared_ptr<ShareableContent> found, const MaybeError&) {
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

/// A capture as the recorder makes one: the service, the recorder's roles, a stream on the first display.
struct Capture {
    explicit Capture(PulseCaptureService::Tuning tuning = {}) : service(tuning) {}
    /// Starts it; an empty text, or what went wrong.
    std::string start() {
        const std::shared_ptr<ShareableContent> found = content(service);
        if (!found || found->displays.empty()) {
            return "no display";
        }
        stream = service.makeStream(service.makeContentFilter(found->displays[0], {}, {}),
                                    service.makeStreamConfiguration(), collector);
        MaybeError error = stream->addStreamOutput(collector, kStreamOutputTypeAudio, collector->queue);
        if (!error) {
            error = await([&](CaptureCompletion done) { stream->startCapture(std::move(done)); });
        }
        return error ? error->description : "";
    }
    MaybeError stop() {
        return await([&](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
    }
    PulseCaptureService service;
    std::shared_ptr<Collector> collector = std::make_shared<Collector>();
    std::shared_ptr<Stream> stream;
};

/// A server of the test's own, to kill, from scripts/sound-server.sh: while it lives, this process's clients
/// talk to it. Make and drop it on the test's thread while no capture is connecting (it changes the environment).
class OwnServer {
public:
    OwnServer() {
        char pattern[] = "/tmp/qfx-backend-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        FILE* out = ::popen(("bash " QFX_SOURCE_DIR "/scripts/sound-server.sh start " +
                             std::string(std::getenv("QFX_TEST_SERVER_KIND")) + " " + dir_ + " 2>/dev/null")
                                .c_str(),
                            "r");
        char line[4096];
        while (out != nullptr && std::fgets(line, sizeof line, out) != nullptr) {
            const std::string text = std::string(line).substr(7); // past "export "
            const std::string name = text.substr(0, text.find('='));
            const char* before = std::getenv(name.c_str()); // NOLINT(concurrency-mt-unsafe): the test's thread only
            saved_.emplace_back(name, before != nullptr ? std::optional<std::string>(before) : std::nullopt);
            ::setenv(name.c_str(), text.substr(name.size() + 1, text.size() - name.size() - 2).c_str(), 1);
        }
        ok = out != nullptr && ::pclose(out) == 0;
        pgid_ = ok ? std::atoi(std::getenv("QFX_TEST_SERVER_PGID")) : 0;
    }
    ~OwnServer() {
        run("bash " QFX_SOURCE_DIR "/scripts/sound-server.sh stop " + dir_ + "; rm -rf " + dir_);
        for (const auto& [name, value] : saved_) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }
    OwnServer(const OwnServer&) = delete;
    OwnServer& operator=(const OwnServer&) = delete;
    /// Every process of it at once, as a crash does.
    void kill() const { ::killpg(pgid_, SIGKILL); }

    bool ok = false;

private:
    std::string dir_;
    pid_t pgid_ = 0;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

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

// The service begins a connection when it is made, for its first query to take over. One that failed tells nothing
// of the server by the time of the query: the query connects anew instead of reporting that failure.
TEST(PulseCaptureTest, AQueryConnectsAnewWhenTheConnectionBegunWithTheServiceFailed) {
    const char* server = std::getenv("PULSE_SERVER"); // NOLINT(concurrency-mt-unsafe): the test's thread only
    ASSERT_NE(server, nullptr);
    const std::string saved = server;
    // Refused on the loopback, a TCP connection fails after it has begun, as one to a server that went away does.
    ::setenv("PULSE_SERVER", "tcp:127.0.0.1:9", 1);
    PulseCaptureService service;
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
    EXPECT_EQ(sinkNames(service), std::vector<std::string>{"qfx_null"});
}

TEST(PulseCaptureTest, DeliversTheSinksSoundOnTheQueueWithSampleCountedTimesUntilStopped) {
    Capture capture;
    const std::shared_ptr<Collector> collector = capture.collector;
    const int64_t startedAt = CaptureClock::monotonicNowNs();
    ASSERT_EQ(capture.start(), "");
    // 440 Hz on the left channel only, for a few seconds.
    const std::string tone = "/tmp/qfx-tone-" + std::to_string(getpid()) + ".wav";
    ASSERT_EQ(run("sox -n -r 48000 -c 2 " + tone + " synth 8 sine 440 remix 1 0 && { paplay " + tone + " & }"), 0);
    ASSERT_TRUE(collector->waitUntil([&] {
        return !collector->buffers.empty() && level(collector->buffers.back().samples, 0) > 0.2;
    })) << "the tone never arrived";
    std::remove(tone.c_str());
    const int64_t requestedAt = CaptureClock::monotonicNowNs();
    EXPECT_FALSE(capture.stop());
    const int64_t stoppedAt = CaptureClock::monotonicNowNs();
    collector->queue->sync([] {});
    const std::vector<Collector::Buffer> buffers = collector->taken();
    std::this_thread::sleep_for(300ms);
    collector->queue->sync([] {});
    EXPECT_EQ(collector->taken().size(), buffers.size()) << "a buffer came after the stop";
    EXPECT_FALSE(capture.stop()) << "a second stop";
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
            // Times advance at the card's estimated rate, not exactly the nominal one: well under a millisecond.
            EXPECT_GE(b.timeNs, previousEnd - 1'000'000) << "buffer " << i << " overlaps the one before";
            gapNs += b.timeNs - previousEnd;
        }
        if (level(b.samples, 0) > 0.2) {
            EXPECT_LT(level(b.samples, 1), 0.02) << "the left tone leaked into the right channel";
        }
    }
    // Times advance by frame count (at the card's rate); only a loss the server reported through its timing may open
    // a gap.
    EXPECT_LT(gapNs, 100'000'000) << "times jumped by " << gapNs << " ns in all";
    // The audio ends at the stop request: none of what was played before it is missing (the tail wait), none of what
    // the sink played after it is there (a monitor delivers it ahead of playback, by up to a fragment).
    const int64_t endNs = buffers.back().timeNs + clock.framesToNs(buffers.back().frames);
    EXPECT_GE(endNs, requestedAt - 1'000'000) << "the tail before the stop request is missing";
    EXPECT_LE(endNs, stoppedAt + 1'000'000) << "audio played after the stop request was kept";
}

// The server dies while the capture stops, at a different moment of the stop each round: the stop completes and
// nothing is called on what the stop released (run under ThreadSanitizer by the test command).
TEST(PulseCaptureTest, AServerDyingAtTheMomentOfStopNeitherCrashesNorHoldsTheStop) {
    for (const int killAfterMs : {0, 3, 8, 15, 30}) {
        SCOPED_TRACE("killed " + std::to_string(killAfterMs) + " ms into the stop");
        const OwnServer server;
        ASSERT_TRUE(server.ok);
        Capture capture;
        ASSERT_EQ(capture.start(), "");
        ASSERT_TRUE(capture.collector->waitForMore(1));
        std::thread killer([&server, killAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            server.kill();
        });
        EXPECT_FALSE(capture.stop());
        killer.join();
        EXPECT_LE(capture.collector->stopped().size(), 1U);
    }
}

// A recorder that stops taking audio (its writer stuck on a stalled disk) holds at most the queue limit: the rest is
// dropped, and shows as a jump in the times of the same length, so the file keeps the clock. When the stop comes
// while nothing has followed the dropped audio, an empty buffer marks where it ended.
TEST(PulseCaptureTest, AudioTheOutputCannotTakeIsBoundedAndDroppedAsAJumpInTime) {
    PulseCaptureService::Tuning tuning;
    tuning.queuedAudioLimitNs = 500'000'000;
    constexpr auto kStall = 2000ms;
    const std::string tone = "/tmp/qfx-tone-" + std::to_string(getpid()) + ".wav";
    ASSERT_EQ(run("sox -n -r 48000 -c 2 " + tone + " synth 20 sine 440 remix 1 0 && { paplay " + tone + " & }"), 0);
    for (const bool stopWhileStalled : {false, true}) {
        SCOPED_TRACE(stopWhileStalled ? "stopped while stalled" : "stopped after the stall");
        Capture capture(tuning);
        ASSERT_EQ(capture.start(), "");
        ASSERT_TRUE(capture.collector->waitForMore(5));
        const int64_t stalledAt = CaptureClock::monotonicNowNs();
        capture.collector->stalledUntil = std::chrono::steady_clock::now() + kStall;
        int64_t stoppedAt = 0;
        if (stopWhileStalled) {
            std::this_thread::sleep_for(kStall - 500ms);
            stoppedAt = CaptureClock::monotonicNowNs();
            EXPECT_FALSE(capture.stop());
            capture.collector->queue->sync([] {});
        } else {
            std::this_thread::sleep_for(kStall);
            ASSERT_TRUE(capture.collector->waitForMore(25));
            EXPECT_FALSE(capture.stop());
        }
        const std::vector<Collector::Buffer> buffers = capture.collector->taken();
        const CaptureClock frames(kRate, 0);
        int64_t widestGapNs = 0;
        for (size_t i = 2; i < buffers.size(); ++i) {
            const int64_t previousEnd = buffers[i - 1].timeNs + frames.framesToNs(buffers[i - 1].frames);
            widestGapNs = std::max(widestGapNs, buffers[i].timeNs - previousEnd);
        }
        // One stretch, as long as what did not fit: unbounded, everything would have waited and the times would run
        // on without a jump; small fragments let in under the limit would chop the stretch into many.
        const int64_t droppedNs =
            (stopWhileStalled ? stoppedAt - stalledAt : std::chrono::nanoseconds(kStall).count()) -
            tuning.queuedAudioLimitNs;
        EXPECT_GT(widestGapNs, droppedNs - 250'000'000) << "the stalled stretch was queued, or dropped piecemeal";
        EXPECT_LT(widestGapNs, droppedNs + 250'000'000);
        if (stopWhileStalled) {
            ASSERT_FALSE(buffers.empty());
            EXPECT_EQ(buffers.back().frames, 0);
            EXPECT_NEAR(static_cast<double>(buffers.back().timeNs), static_cast<double>(stoppedAt), 250'000'000.0)
                << "the dropped audio's end is marked at the stop";
        }
    }
    std::remove(tone.c_str());
}

} // namespace
} // namespace qfx::platform::linux_backend
