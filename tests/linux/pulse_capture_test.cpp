// The Linux capture service against a private sound server (sound_server.h): what it lists, what it records and on
// which queue and clock, how it stops, how a dying server ends it, and how it follows the system's output without
// ever recording a source that is not a monitor.
#include "platform/linux/capture_clock.h"
#include "platform/linux/pcm_buffer.h"
#include "platform/linux/pulse_capture.h"
#include "platform/thread_serial_queue.h"
#include "tests/linux/sound_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
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

using test_support::ChildProcess;
using test_support::runCommand;
using test_support::SoundServer;
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
    explicit Player(const std::string& sink)
        : path_(writeLeftTone(30.0)), process_({"paplay", "--device=" + sink, path_}) {}
    ~Player() { std::filesystem::remove(path_); }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

private:
    std::string path_;
    ChildProcess process_;
};

/// The recorder's two roles, recording what the service delivers and on which thread.
class Collector final : public StreamOutput, public StreamDelegate {
public:
    struct Buffer {
        int64_t timeNs = 0;
        int64_t frames = 0;
        std::vector<float> samples;
    };

    explicit Collector(std::shared_ptr<ThreadSerialQueue> queue) : queue_(std::move(queue)) {}

    /// Holds the next buffer, and so the queue, until `duration` from now.
    void stallFor(std::chrono::milliseconds duration) { stalledUntil_ = std::chrono::steady_clock::now() + duration; }

    void didOutputSampleBuffer(Stream& /*stream*/, const SampleBuffer& buffer, StreamOutputType type) override {
        // A writer stuck on a stalled disk: the queue stops moving.
        std::this_thread::sleep_until(stalledUntil_.load());
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

    /// Waits until the stream reported its end.
    bool waitForStop() {
        return waitUntil([](const Collector& c) { return !c.stops_.empty(); });
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
    std::atomic<std::chrono::steady_clock::time_point> stalledUntil_{};
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

bool isOneLine(const std::string& text) {
    return !text.empty() && text.find('\n') == std::string::npos;
}

/// Loads a null sink named `name`; its module index, or -1.
int loadSink(const std::string& name) {
    const test_support::CommandResult loaded =
        runCommand("pactl load-module module-null-sink sink_name=" + name + " rate=48000 channels=2");
    return loaded.status == 0 ? std::atoi(loaded.output.c_str()) : -1;
}

/// The index of the module that made sink `name`, or -1.
int moduleOfSink(const std::string& name) {
    std::istringstream lines(runCommand("pactl list short modules").output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("sink_name=" + name) != std::string::npos) {
            return std::atoi(line.c_str());
        }
    }
    return -1;
}

bool unloadModule(int index) {
    return runCommand("pactl unload-module " + std::to_string(index)).status == 0;
}

/// Makes `sink` the default and waits until the server says so (PipeWire's session manager applies it later).
bool setDefaultSink(const std::string& sink) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (runCommand("pactl set-default-sink " + sink).status == 0 &&
            runCommand("pactl get-default-sink").output == sink + "\n") {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

/// One capture: the service, the recorder's queue and roles, and a stream started on a sink.
struct Capture {
    Capture() = default;
    explicit Capture(PulseCaptureService::Tuning tuning) : service(tuning) {}

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

class PulseCaptureTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(SoundServer::shared(), nullptr) << "backend_main starts the server"; }
    static std::string kind() { return SoundServer::shared()->kind(); }
};

TEST_F(PulseCaptureTest, ListsTheDefaultSinkFirst) {
    PulseCaptureService service;
    ContentAnswer answer = queryContent(service);
    ASSERT_TRUE(answer.came);
    ASSERT_FALSE(answer.error) << answer.error->description;
    EXPECT_EQ(sinkNames(*answer.content), std::vector<std::string>{"qfx_null"});

    const int second = loadSink("qfx_second");
    ASSERT_GE(second, 0);
    ASSERT_TRUE(setDefaultSink("qfx_second"));
    answer = queryContent(service);
    setDefaultSink("qfx_null");
    unloadModule(second);
    ASSERT_TRUE(answer.came);
    ASSERT_FALSE(answer.error) << answer.error->description;
    EXPECT_EQ(sinkNames(*answer.content), (std::vector<std::string>{"qfx_second", "qfx_null"}));
}

TEST_F(PulseCaptureTest, NoServerIsAOneLineError) {
    const char* current = std::getenv("PULSE_SERVER"); // NOLINT(concurrency-mt-unsafe): tests run one by one
    const std::string server = current != nullptr ? current : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/qfx/native", 1); // NOLINT(concurrency-mt-unsafe)
    PulseCaptureService service;
    const ContentAnswer answer = queryContent(service);
    setenv("PULSE_SERVER", server.c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    ASSERT_TRUE(answer.came);
    EXPECT_EQ(answer.content, nullptr);
    ASSERT_TRUE(answer.error);
    EXPECT_TRUE(isOneLine(answer.error->description)) << answer.error->description;
    EXPECT_EQ(answer.error->description.rfind("Cannot connect to the sound server: ", 0), 0U)
        << answer.error->description;
}

TEST_F(PulseCaptureTest, NoSinkGivesNoDisplay) {
    const SoundServer empty(kind(), SoundServer::Sinks::none);
    ASSERT_TRUE(empty.ok()) << empty.failure();
    PulseCaptureService service;
    const ContentAnswer answer = queryContent(service);
    ASSERT_TRUE(answer.came);
    ASSERT_FALSE(answer.error) << answer.error->description;
    EXPECT_TRUE(answer.content->displays.empty());
}

TEST_F(PulseCaptureTest, RefusesEveryOutputTypeButAudio) {
    PulseCaptureService service;
    const ContentAnswer answer = queryContent(service);
    ASSERT_TRUE(answer.came && !answer.error && !answer.content->displays.empty());
    const auto collector = std::make_shared<Collector>(std::make_shared<ThreadSerialQueue>("q"));
    const auto queue = std::make_shared<ThreadSerialQueue>("qfx.test.system-audio");
    for (const StreamOutputType type :
         {kStreamOutputTypeScreen, kStreamOutputTypeMicrophone, int64_t{-1}, int64_t{7}}) {
        const auto stream = service.makeStream(service.makeContentFilter(answer.content->displays[0], {}, {}),
                                               service.makeStreamConfiguration(), collector);
        const MaybeError error = stream->addStreamOutput(collector, type, queue);
        ASSERT_TRUE(error) << "type " << type;
        EXPECT_TRUE(isOneLine(error->description)) << error->description;
    }
    const auto stream = service.makeStream(service.makeContentFilter(answer.content->displays[0], {}, {}),
                                           service.makeStreamConfiguration(), collector);
    EXPECT_FALSE(stream->addStreamOutput(collector, kStreamOutputTypeAudio, queue));
}

TEST_F(PulseCaptureTest, DeliversTheSinksSoundOnTheQueueWithSampleCountedTimes) {
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
            // Times advance at the card's estimated rate, not exactly the nominal one: well under a millisecond.
            EXPECT_GE(b.timeNs, previousEnd - 1'000'000) << "buffer " << i << " overlaps the one before";
            gapNs += b.timeNs - previousEnd;
        }
        if (level(b.samples, 0, kToneHertz) > 0.2) {
            toneSeen = true;
            EXPECT_LT(level(b.samples, 1, kToneHertz), 0.02) << "the left tone leaked into the right channel";
        }
    }
    EXPECT_TRUE(toneSeen);
    // Times advance by frame count (at the card's rate); only a loss the server reported through its timing may open
    // a gap.
    EXPECT_LT(gapNs, 100'000'000) << "times jumped by " << gapNs << " ns in all";
}

TEST_F(PulseCaptureTest, StopCompletesAndNoBufferFollowsIt) {
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

TEST_F(PulseCaptureTest, StopWithoutStartCompletes) {
    PulseCaptureService service;
    const ContentAnswer answer = queryContent(service);
    ASSERT_TRUE(answer.came && !answer.error && !answer.content->displays.empty());
    const auto collector = std::make_shared<Collector>(std::make_shared<ThreadSerialQueue>("q"));
    const auto stream = service.makeStream(service.makeContentFilter(answer.content->displays[0], {}, {}),
                                           service.makeStreamConfiguration(), collector);
    EXPECT_FALSE(await([&](CaptureCompletion done) { stream->stopCapture(std::move(done)); }));
}

// A display that is not the default is recorded until the default changes; then the new default is followed.
TEST_F(PulseCaptureTest, KeepsItsDisplayAndFollowsTheDefaultSinkWhenItChanges) {
    const int second = loadSink("qfx_second");
    const int third = loadSink("qfx_third");
    ASSERT_GE(second, 0);
    ASSERT_GE(third, 0);
    {
        Capture capture;
        ASSERT_EQ(capture.start("qfx_second"), "");
        size_t before = capture.collector->bufferCount();
        {
            const Player player("qfx_second");
            EXPECT_TRUE(capture.collector->waitForTone(before)) << "the display's own sink was not recorded";
        }
        ASSERT_TRUE(setDefaultSink("qfx_third"));
        before = capture.collector->bufferCount();
        {
            const Player player("qfx_third");
            EXPECT_TRUE(capture.collector->waitForTone(before)) << "nothing came from the new default sink";
        }
        EXPECT_TRUE(capture.collector->stops().empty());
        EXPECT_FALSE(capture.stop());
    }
    setDefaultSink("qfx_null");
    unloadModule(third);
    unloadModule(second);
}

TEST_F(PulseCaptureTest, ALostServerEndsTheStreamOnce) {
    SoundServer server(kind());
    ASSERT_TRUE(server.ok()) << server.failure();
    Capture capture;
    ASSERT_EQ(capture.start("qfx_null"), "");
    ASSERT_TRUE(capture.collector->waitForMoreBuffers(1));
    server.kill();
    ASSERT_TRUE(capture.collector->waitForStop());
    std::this_thread::sleep_for(500ms);
    const std::vector<std::string> stops = capture.collector->stops();
    ASSERT_EQ(stops.size(), 1U);
    EXPECT_TRUE(isOneLine(stops[0])) << stops[0];
    EXPECT_EQ(stops[0].rfind("The sound server connection was lost: ", 0), 0U) << stops[0];
    EXPECT_FALSE(capture.stop()) << "stopping an ended stream completes";
}

// The captured sink goes while another remains: the capture moves on to it. Then the last sink goes: the stream ends,
// once. A microphone (the default source all along) never reaches the buffers: a plain record stream would have
// been moved onto it by the server.
TEST_F(PulseCaptureTest, FollowsTheOutputWhenItsSinkGoesAndEndsWithTheLastNeverRecordingAMicrophone) {
    SoundServer server(kind());
    ASSERT_TRUE(server.ok()) << server.failure();
    ASSERT_TRUE(server.loadFakeMicrophone()) << "no fake microphone on " << kind();
    const int second = loadSink("qfx_second");
    ASSERT_GE(second, 0);
    Capture capture;
    ASSERT_EQ(capture.start("qfx_null"), "");
    ASSERT_TRUE(capture.collector->waitForMoreBuffers(1));

    ASSERT_TRUE(unloadModule(moduleOfSink("qfx_null")));
    const size_t before = capture.collector->bufferCount();
    {
        const Player player("qfx_second");
        EXPECT_TRUE(capture.collector->waitForTone(before)) << "nothing came from the remaining sink";
    }
    EXPECT_TRUE(capture.collector->stops().empty());

    ASSERT_TRUE(unloadModule(second));
    ASSERT_TRUE(capture.collector->waitForStop());
    std::this_thread::sleep_for(1s); // time for a moved stream to deliver the microphone
    const std::vector<std::string> stops = capture.collector->stops();
    ASSERT_EQ(stops.size(), 1U);
    EXPECT_TRUE(isOneLine(stops[0])) << stops[0];
    EXPECT_FALSE(capture.stop());

    // The tone played on the left only, and the microphone plays on both channels: any sound on the right is it.
    for (const Collector::Buffer& buffer : capture.collector->buffers()) {
        for (size_t i = 1; i < buffer.samples.size(); i += 2) {
            ASSERT_LT(std::abs(buffer.samples[i]), 1e-4) << "the microphone was recorded";
        }
    }
}

// A server that hangs (stopped, or stuck on a stalled disk) answers nothing: the stop still ends in time with what
// arrived, and a start gives up saying why instead of waiting for libpulse's own timeouts.
TEST_F(PulseCaptureTest, AHungServerHoldsNeitherAStopNorAStartBeyondItsLimit) {
    SoundServer server(kind());
    ASSERT_TRUE(server.ok()) << server.failure();
    PulseCaptureService::Tuning tuning;
    tuning.answerLimitNs = 2'000'000'000;
    Capture capture(tuning);
    ASSERT_EQ(capture.start("qfx_null"), "");
    ASSERT_TRUE(capture.collector->waitForMoreBuffers(5));

    server.pause(true);
    auto began = std::chrono::steady_clock::now();
    const MaybeError stopped = capture.stop();
    const auto stopTook = std::chrono::steady_clock::now() - began;
    Capture second(tuning);
    began = std::chrono::steady_clock::now();
    const std::string started = second.start("qfx_null");
    const auto startTook = std::chrono::steady_clock::now() - began;
    server.pause(false);

    std::printf("hung %s: stop took %lld ms, start gave up after %lld ms\n", kind().c_str(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stopTook).count()),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(startTook).count()));
    EXPECT_FALSE(stopped);
    EXPECT_LT(stopTook, 2s) << "the tool promises its parent an exit within 2 s of the stop line";
    EXPECT_TRUE(capture.collector->stops().empty());
    EXPECT_TRUE(isOneLine(started)) << started;
    EXPECT_NE(started.find("did not answer in time"), std::string::npos) << started;
}

// The server dies while the capture stops, at a different moment of the stop each round: the stop completes and
// nothing is called on what the stop released (run under ThreadSanitizer by the test command).
TEST_F(PulseCaptureTest, AServerDyingAtTheMomentOfStopNeitherCrashesNorHoldsTheStop) {
    for (const int killAfterMs : {0, 3, 8, 15, 30}) {
        SCOPED_TRACE("killed " + std::to_string(killAfterMs) + " ms into the stop");
        SoundServer server(kind());
        ASSERT_TRUE(server.ok()) << server.failure();
        Capture capture;
        ASSERT_EQ(capture.start("qfx_null"), "");
        ASSERT_TRUE(capture.collector->waitForMoreBuffers(1));
        std::thread killer([&server, killAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            server.kill();
        });
        EXPECT_FALSE(capture.stop());
        killer.join();
        EXPECT_LE(capture.collector->stops().size(), 1U);
    }
}

// A recorder that stops taking audio (its writer stuck on a stalled disk) holds at most the queue limit: the rest is
// dropped, and shows as a jump in the times of the same length, so the file keeps the clock. When the stop comes
// while nothing has followed the dropped audio, an empty buffer marks where it ended.
TEST_F(PulseCaptureTest, AudioTheOutputCannotTakeIsBoundedAndDroppedAsAJumpInTime) {
    PulseCaptureService::Tuning tuning;
    tuning.queuedAudioLimitNs = 500'000'000;
    constexpr auto kStall = 2000ms;
    const Player player("qfx_null");
    for (const bool stopWhileStalled : {false, true}) {
        SCOPED_TRACE(stopWhileStalled ? "stopped while stalled" : "stopped after the stall");
        Capture capture(tuning);
        ASSERT_EQ(capture.start("qfx_null"), "");
        ASSERT_TRUE(capture.collector->waitForMoreBuffers(5));
        const int64_t stalledAt = CaptureClock::monotonicNowNs();
        capture.collector->stallFor(kStall);
        int64_t stoppedAt = 0;
        if (stopWhileStalled) {
            std::this_thread::sleep_for(kStall - 500ms);
            stoppedAt = CaptureClock::monotonicNowNs();
            EXPECT_FALSE(capture.stop());
            capture.queue->sync([] {});
        } else {
            std::this_thread::sleep_for(kStall);
            ASSERT_TRUE(capture.collector->waitForMoreBuffers(25));
            EXPECT_FALSE(capture.stop());
        }

        const std::vector<Collector::Buffer> buffers = capture.collector->buffers();
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
}

} // namespace
} // namespace qfx::platform::linux_backend
