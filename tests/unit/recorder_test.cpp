// The recorder over the fake platform: how it sets up capture and writer, what each failing step leaves, which
// buffers reach the writer, and stop as the barrier between the capture, the intake and the finished file.
#include "recorder/system_audio_recorder.h"
#include "tests/fakes/fake_platform.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace qfx {
namespace {

using fakes::BufferTraits;
using fakes::Completion;
using fakes::FakePlatform;
using platform::Error;
using Calls = std::vector<std::string>;

platform::MediaTime at(int64_t value) {
    return platform::MediaTime::make(value, 48000);
}

class RecorderTest : public ::testing::Test {
protected:
    void startCapturing() {
        ASSERT_EQ(recorder->start(), std::nullopt);
        fake.settle();
        fake.clearCalls();
    }
    void deliver(std::initializer_list<int64_t> times) {
        for (const int64_t time : times) {
            ASSERT_TRUE(fake.deliver({at(time)}));
        }
        fake.settle();
    }
    /// Stops on another thread, as the front end does.
    std::future<std::optional<CaptureHelperError>> stopAsync() {
        return std::async(std::launch::async, [this] { return recorder->stop(); });
    }

    FakePlatform fake;
    testing::StreamFile report;
    std::shared_ptr<SystemAudioRecorder> recorder =
        SystemAudioRecorder::create(fake, platform::FileLocation{"/recordings/out.m4a"}, report.get());
};

TEST_F(RecorderTest, StartCapturesTheFirstDisplaysAudioIntoAnAacWriter) {
    fake.script.displayCount = 3;
    ASSERT_EQ(recorder->start(), std::nullopt);
    EXPECT_EQ(fake.calls(), (Calls{"getShareableContent(00)", "makeContentFilter(display1, 0)", "setCapturesAudio(1)",
                                   "setExcludesCurrentProcessAudio(0)", "setSampleRate(48000)", "setChannelCount(2)",
                                   "setQueueDepth(4)", "makeWriter(/recordings/out.m4a, com.apple.m4a-audio)",
                                   "makeWriterInput(soun, AVFormatIDKey=1633772320, AVSampleRateKey=48000, "
                                   "AVNumberOfChannelsKey=2, AVEncoderBitRateKey=192000)",
                                   "setExpectsMediaDataInRealTime(1)", "canAddInput", "addInput", "startWriting",
                                   "makeStream", "addStreamOutput(1, sample queue)", "startCapture"}));
}

TEST_F(RecorderTest, EachFailedStartStepIsReportedAndOnlyAStartedWriterIsCancelled) {
    const struct {
        const char* name;
        std::function<void(FakePlatform::Script&)> arrange;
        StartFailure failure;
        bool writerStarted;
    } cases[] = {
        {"content", [](auto& s) { s.contentError = Error{"denied"}; }, Error{"denied"}, false},
        {"no display", [](auto& s) { s.displayCount = 0; }, CaptureHelperError::noDisplay(), false},
        {"writer", [](auto& s) { s.makeWriterError = Error{"no"}; }, CaptureHelperError::writerCreation("no"), false},
        {"input refused", [](auto& s) { s.canAddInput = false; },
         CaptureHelperError::writerCreation("AVAssetWriter rejected the AAC input."), false},
        {"writing",
         [](auto& s) {
             s.startWritingSucceeds = false;
             s.writerError = Error{"full"};
         },
         CaptureHelperError::writerStart("full"), false},
        {"output", [](auto& s) { s.addStreamOutputError = Error{"refused"}; }, Error{"refused"}, false},
        {"capture", [](auto& s) { s.startCaptureError = Error{"off"}; }, CaptureHelperError::streamStart("off"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        c.arrange(platform.script);
        const auto subject = SystemAudioRecorder::create(platform, platform::FileLocation{"/out.m4a"});
        EXPECT_EQ(subject->start(), c.failure);
        platform.settle();
        EXPECT_EQ(platform.count("cancelWriting"), c.writerStarted ? 1U : 0U);
        EXPECT_EQ(platform.count("startCapture"), c.writerStarted ? 1U : 0U);
    }
}

TEST_F(RecorderTest, IntakeAppendsUsableAudioOnTheQueueAndStartsTheSessionOnce) {
    startCapturing();
    fake.script.readyAnswers = {true, false, true};
    const struct {
        BufferTraits traits;
        platform::StreamOutputType type;
    } buffers[] = {
        {{at(1)}, platform::kStreamOutputTypeScreen},
        {{at(2), false}, platform::kStreamOutputTypeAudio},
        {{at(3), true, false}, platform::kStreamOutputTypeAudio},
        {{at(4)}, platform::kStreamOutputTypeAudio},
        {{at(5)}, platform::kStreamOutputTypeAudio}, // the input is not ready: dropped
        {{at(6)}, platform::kStreamOutputTypeAudio},
    };
    for (const auto& b : buffers) {
        ASSERT_TRUE(fake.deliver(b.traits, b.type));
    }
    fake.settle();
    EXPECT_EQ(fake.calls(), (Calls{"startSession(4)", "isReadyForMoreMediaData", "append(4)", "isReadyForMoreMediaData",
                                   "isReadyForMoreMediaData", "append(6)"}));
    EXPECT_EQ(fake.offQueueCalls(), 0);
}

TEST_F(RecorderTest, StopWithoutAudioCancelsTheWriter) {
    startCapturing();
    EXPECT_EQ(recorder->stop(), std::nullopt);
    EXPECT_EQ(fake.calls(), (Calls{"stopCapture", "cancelWriting"}));
}

TEST_F(RecorderTest, StopWaitsForTheCaptureToStopHoweverLongItTakes) {
    startCapturing();
    deliver({1});
    fake.hold(Completion::stopCapture);
    auto stopped = stopAsync();
    ASSERT_TRUE(fake.waitUntilPending(Completion::stopCapture));
    // Given half a second, a stop that did not wait would have finished the file (the fake completes at once).
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    EXPECT_EQ(fake.count("markAsFinished"), 0U);
    fake.release(Completion::stopCapture);
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), std::nullopt);
}

TEST_F(RecorderTest, BuffersQueuedWhileTheCaptureStopsAreWrittenAndNoneAfterTheFinish) {
    // The first buffer comes only during the stop: the file is still finished, not cancelled. A capture that failed
    // to stop goes on delivering; nothing of that reaches the writer once it is being finished.
    fake.script.stopCaptureError = Error{"could not stop"};
    startCapturing();
    fake.hold(Completion::stopCapture);
    fake.hold(Completion::finishWriting);
    auto stopped = stopAsync();
    ASSERT_TRUE(fake.waitUntilPending(Completion::stopCapture));
    ASSERT_TRUE(fake.deliver({at(1)}));
    ASSERT_TRUE(fake.deliver({at(2)}));
    fake.release(Completion::stopCapture);
    ASSERT_TRUE(fake.waitUntilPending(Completion::finishWriting));
    deliver({3});
    fake.release(Completion::finishWriting);
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), std::nullopt);
    EXPECT_EQ(fake.calls(),
              (Calls{"stopCapture", "startSession(1)", "isReadyForMoreMediaData", "append(1)",
                     "isReadyForMoreMediaData", "append(2)", "markAsFinished", "finishWriting", "status"}));
    EXPECT_EQ(report.contents(), "");
}

TEST_F(RecorderTest, AStreamThatEndsByItselfIsReportedOnceAndStopStillFinishesTheFile) {
    startCapturing();
    deliver({1});
    fake.endByItself(Error{"Lost"});
    fake.settle();
    EXPECT_EQ(report.contents(), "ScreenCaptureKit stopped: Lost\n");
    EXPECT_EQ(recorder->stop(), std::nullopt);
    EXPECT_EQ(fake.count("finishWriting"), 1U);
    EXPECT_EQ(fake.count("cancelWriting"), 0U);
}

} // namespace
} // namespace qfx
