// The recording follows the system's output, end to end: a new default sink, the captured sink taken away while
// another remains, and the last sink taken away (the stream ends; a microphone is never recorded instead). Each
// test rearranges the sinks of a server of its own.
#include "tests/e2e/audio_analysis.h"
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <iostream>

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr double kFirstTone = 440;  // played into the first sink, qfx_null
constexpr double kSecondTone = 880; // played into the second sink
constexpr double kMicrophoneTone = 1234;

struct Outcome {
    ExitStatus status;
    std::string output;
    std::string errorOutput;
    std::string errorOutputBeforeStopLine;
    Decoded audio;
};

// Records from `server` with one tone playing into each of `sinks`; `change` runs 3 s after the players started
// (past the first fragment's delay), the stop line 4 s after that (past the new stream's own).
Outcome recordAround(const SoundServer& server, const std::vector<std::pair<std::string, double>>& sinks,
                     const std::function<void()>& change) {
    TemporaryDirectory directory;
    fs::path file = directory / "out.m4a";
    ToolRun tool({file.string()}, server.environment());
    Outcome outcome;
    if (!tool.waitReady()) {
        ADD_FAILURE() << "no READY: " << tool.errorOutput();
        outcome.status = tool.finish(Seconds(5));
        return outcome;
    }
    std::vector<std::unique_ptr<Player>> players;
    for (const auto& [sink, frequency] : sinks) {
        players.push_back(std::make_unique<Player>(server.environment(), tone(frequency, 0.3, 0.3), 30.0, sink));
    }
    sleepFor(3.0);
    change();
    sleepFor(4.0);
    outcome.errorOutputBeforeStopLine = tool.errorOutput();
    tool.sendLine();
    outcome.status = tool.finish();
    outcome.output = tool.output();
    outcome.errorOutput = tool.errorOutput();
    players.clear();
    outcome.audio = decode(file);
    return outcome;
}

// The loudest the tone is in the last second of the file (less the very end, where the encoder's last frame
// fades), over fifths of it, so that a stalled server's hole does not hide it.
double levelAtEnd(const Decoded& audio, double frequency) {
    double loudest = 0;
    for (int fifth = 0; fifth < 5; ++fifth) {
        double from = audio.seconds() - 1.1 + fifth * 0.2;
        loudest = std::max(loudest, toneAmplitude(audio, 0, from, from + 0.2, frequency));
    }
    return loudest;
}

TEST(Following, SecondSinkMadeDefaultIsRecordedFromThenOn) {
    SoundServer server(serverKindUnderTest());
    server.loadNullSink("qfx_second");
    auto outcome = recordAround(server, {{"qfx_null", kFirstTone}, {"qfx_second", kSecondTone}}, [&] {
        server.pactlChecked({"set-default-sink", "qfx_second"});
    });
    EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
    EXPECT_EQ(outcome.errorOutput, "") << "the stream goes on";
    ASSERT_TRUE(outcome.audio.ok()) << outcome.audio.error;

    auto first = toneSpans(outcome.audio, 0, kFirstTone, 0.15);
    auto second = toneSpans(outcome.audio, 0, kSecondTone, 0.15);
    ASSERT_FALSE(first.empty()) << "the first sink's tone is missing";
    ASSERT_FALSE(second.empty()) << "the second sink's tone is missing";
    // Before the change only the first sink is heard. (After it, the server may move the first sink's player to
    // the new default sink too, so the first tone may go on.)
    EXPECT_GE(second.front().from - first.front().from, 0.5) << "the second sink was heard before it was chosen";
    EXPECT_GT(levelAtEnd(outcome.audio, kSecondTone), 0.25);
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << server.kind()
              << ": silence between the two sinks' audio: " << second.front().from - first.front().to << " s\n";
}

TEST(Following, CapturedSinkRemovedWhileAnotherRemainsContinues) {
    SoundServer server(serverKindUnderTest());
    server.loadNullSink("qfx_second");
    std::string module = server.moduleOfSink("qfx_null");
    ASSERT_FALSE(module.empty()) << "qfx_null was not made by a module that can be unloaded";
    auto outcome = recordAround(server, {{"qfx_null", kFirstTone}, {"qfx_second", kSecondTone}}, [&] {
        server.pactlChecked({"unload-module", module});
    });
    EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
    EXPECT_EQ(outcome.errorOutput, "") << "the stream goes on";
    ASSERT_TRUE(outcome.audio.ok()) << outcome.audio.error;
    auto first = toneSpans(outcome.audio, 0, kFirstTone, 0.15);
    auto second = toneSpans(outcome.audio, 0, kSecondTone, 0.15);
    ASSERT_FALSE(first.empty()) << "the first sink's tone is missing";
    ASSERT_FALSE(second.empty()) << "the second sink's tone is missing";
    EXPECT_GE(second.front().from - first.front().from, 0.5) << "the second sink was heard before the first went";
    // The first sink's player may have been moved to the second sink with it; the second's tone must be there.
    EXPECT_GT(levelAtEnd(outcome.audio, kSecondTone), 0.25);
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << server.kind()
              << ": silence between the removed sink's audio and the next one's: "
              << second.front().from - first.front().to << " s\n";
}

// A fake microphone: a pipe source fed with a tone in real time by a thread of its own.
class FakeMicrophone {
public:
    FakeMicrophone(const SoundServer& server, const fs::path& fifo) {
        module_ = server.pactlChecked({"load-module", "module-pipe-source", "source_name=qfx_mic",
                                       "file=" + fifo.string(), "format=float32le", "rate=48000", "channels=2"});
        fd_ = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd_, 0) << "cannot open the fake microphone's pipe";
        feeder_ = std::thread([this] {
            auto next = Clock::now();
            Signal signal = tone(kMicrophoneTone, 0.5, 0.5);
            for (int64_t frame = 0; !stop_ && fd_ >= 0; frame += 480) {
                std::vector<float> samples;
                for (int64_t i = frame; i < frame + 480; ++i) {
                    auto [l, r] = signal(i);
                    samples.push_back(l);
                    samples.push_back(r);
                }
                // A full pipe means the source is not reading; the chunk is dropped, as a device would.
                [[maybe_unused]] auto written = write(fd_, samples.data(), samples.size() * sizeof(float));
                next += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(next);
            }
        });
    }
    /// Whether the microphone's tone can be recorded from it at all (else the test below would prove nothing).
    [[nodiscard]] double levelHeardBy(const SoundServer& server) const {
        Process recorder({.argv = {"pacat", "--record", "--raw", "--device=qfx_mic", "--latency-msec=20",
                                   "--format=float32le", "--rate=48000", "--channels=2"},
                          .environment = server.environment(),
                          .inputFromPipe = false});
        sleepFor(1.5);
        kill(recorder.pid(), SIGTERM);
        recorder.wait(Seconds(10));
        recorder.waitForOutputsClosed(Seconds(5));
        Decoded heard;
        std::string raw = recorder.output();
        heard.samples.resize(raw.size() / sizeof(float));
        std::memcpy(heard.samples.data(), raw.data(), heard.samples.size() * sizeof(float));
        return toneAmplitude(heard, 0, heard.seconds() - 0.5, heard.seconds(), kMicrophoneTone);
    }

    ~FakeMicrophone() {
        stop_ = true;
        feeder_.join();
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FakeMicrophone(const FakeMicrophone&) = delete;
    FakeMicrophone& operator=(const FakeMicrophone&) = delete;

private:
    std::string module_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

TEST(Following, LastSinkRemovedEndsTheStreamAndNeverRecordsTheMicrophone) {
    SoundServer server(serverKindUnderTest());
    TemporaryDirectory directory;
    FakeMicrophone microphone(server, directory / "microphone");
    // Plainly audible is enough (a loaded machine may starve the feeder now and then); the file must not hold a
    // trace of it a fiftieth as loud.
    ASSERT_GT(microphone.levelHeardBy(server), 0.1) << "the fake microphone cannot be heard";
    server.pactlChecked({"set-default-source", "qfx_mic"});
    std::string module = server.moduleOfSink("qfx_null");
    ASSERT_FALSE(module.empty()) << "qfx_null was not made by a module that can be unloaded";

    const std::string prefix = "ScreenCaptureKit stopped: ";
    auto outcome = recordAround(server, {{"qfx_null", kFirstTone}}, [&] {
        server.pactlChecked({"unload-module", module});
    });
    EXPECT_TRUE(outcome.status.exited && outcome.status.code == 0) << outcome.status.describe();
    EXPECT_EQ(outcome.output, "READY\n");
    EXPECT_EQ(outcome.errorOutput.rfind(prefix, 0), 0U) << outcome.errorOutput;
    EXPECT_EQ(std::count(outcome.errorOutput.begin(), outcome.errorOutput.end(), '\n'), 1) << outcome.errorOutput;
    EXPECT_EQ(outcome.errorOutputBeforeStopLine, outcome.errorOutput) << "reported when the sink went, not at stop";
    ASSERT_TRUE(outcome.audio.ok()) << outcome.audio.error;
    EXPECT_FALSE(toneSpans(outcome.audio, 0, kFirstTone, 0.15).empty()) << "what came before is kept";

    double loudest = 0;
    for (double at = 0; at + 0.05 <= outcome.audio.seconds(); at += 0.05) {
        loudest = std::max(loudest, toneAmplitude(outcome.audio, 0, at, at + 0.05, kMicrophoneTone));
    }
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << server.kind()
              << ": the microphone's tone peaks at " << decibels(loudest) << " dBFS in the file\n";
    EXPECT_LT(loudest, 0.01) << "the microphone reached the file";
}

} // namespace
} // namespace e2e
