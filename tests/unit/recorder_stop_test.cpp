// Stop: the queue as the barrier between intake and finalisation, finish versus cancel, late buffers, and a
// finishing failure.
#include "tests/unit/recorder_fixture.h"

#include <future>
#include <string>
#include <vector>

namespace qfx {
namespace {

using fakes::Completion;
using platform::Error;

using Calls = std::vector<std::string>;

TEST_F(RecorderTest, StopWaitsForTheCaptureToStopHoweverLongItTakes) {
    startCapturing();
    deliver({1});
    fake.hold(Completion::stopCapture);
    auto stopped = std::async(std::launch::async, [this] { return recorder->stop(); });
    ASSERT_TRUE(fake.waitUntilPending(Completion::stopCapture));
    // Given half a second, a stop that did not wait would have finished the file (the fake completes at once).
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    EXPECT_EQ(fake.log().count("markAsFinished"), 0U);
    fake.release(Completion::stopCapture);
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), std::nullopt);
}

TEST_F(RecorderTest, StopWithoutAudioCancelsTheWriter) {
    startCapturing();
    EXPECT_EQ(recorder->stop(), std::nullopt);
    EXPECT_EQ(fake.log().calls(), (Calls{"stopCapture", "cancelWriting"}));
}

TEST_F(RecorderTest, StopAfterAudioMarksTheInputFinishedOnTheQueueThenWaitsForTheFinish) {
    startCapturing();
    deliver({1});
    fake.hold(Completion::finishWriting);

    auto stopped = std::async(std::launch::async, [this] { return recorder->stop(); });
    ASSERT_TRUE(fake.waitUntilPending(Completion::finishWriting));
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    fake.release(Completion::finishWriting);
    EXPECT_EQ(stopped.get(), std::nullopt);

    EXPECT_EQ(fake.log().calls(), (Calls{"startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)",
                                         "stopCapture", "markAsFinished", "finishWriting", "status"}));
    EXPECT_EQ(fake.offQueueCalls(), 0);
}

TEST_F(RecorderTest, BuffersQueuedWhileTheCaptureStopsReachTheWriterBeforeTheInputIsFinished) {
    // Also: a session that starts only during the stop still gets the file finished, not cancelled.
    startCapturing();
    fake.hold(Completion::stopCapture);

    auto stopped = std::async(std::launch::async, [this] { return recorder->stop(); });
    ASSERT_TRUE(fake.waitUntilPending(Completion::stopCapture));
    ASSERT_TRUE(fake.stream()->deliver({at(1)}));
    ASSERT_TRUE(fake.stream()->deliver({at(2)}));
    fake.release(Completion::stopCapture);
    EXPECT_EQ(stopped.get(), std::nullopt);

    EXPECT_EQ(fake.log().calls(),
              (Calls{"stopCapture", "startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)",
                     "isReadyForMoreMediaData", "append(t=2/48000)", "markAsFinished", "finishWriting", "status"}));
}

TEST_F(RecorderTest, AFailedCaptureStopIsIgnored) {
    fake.script.stopCaptureError = Error{"The stream could not be stopped."};
    startCapturing();
    deliver({1});
    EXPECT_EQ(recorder->stop(), std::nullopt);
    EXPECT_EQ(fake.log().calls(), (Calls{"startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)",
                                         "stopCapture", "markAsFinished", "finishWriting", "status"}));
    EXPECT_EQ(report.contents(), "");
}

TEST_F(RecorderTest, BuffersAfterTheFinishingStepNeverReachTheWriter) {
    // A capture that failed to stop goes on delivering while the writer is being finished.
    fake.script.stopCaptureError = Error{"The stream could not be stopped."};
    startCapturing();
    deliver({1});
    fake.hold(Completion::finishWriting);

    auto stopped = std::async(std::launch::async, [this] { return recorder->stop(); });
    ASSERT_TRUE(fake.waitUntilPending(Completion::finishWriting));
    deliver({2});
    fake.release(Completion::finishWriting);
    EXPECT_EQ(stopped.get(), std::nullopt);

    EXPECT_EQ(fake.log().calls(), (Calls{"startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)",
                                         "stopCapture", "markAsFinished", "finishWriting", "status"}));
}

TEST_F(RecorderTest, BuffersAfterACancelledWritingStartNoSession) {
    fake.script.stopCaptureError = Error{"The stream could not be stopped."};
    startCapturing();
    EXPECT_EQ(recorder->stop(), std::nullopt);
    deliver({5});
    EXPECT_EQ(fake.log().calls(), (Calls{"stopCapture", "cancelWriting"}));
}

TEST_F(RecorderTest, StopAfterTheStreamEndedByItselfStillFinishesTheFile) {
    startCapturing();
    deliver({1});
    fake.stream()->endByItself(Error{"Lost"});
    fake.settle();
    EXPECT_EQ(recorder->stop(), std::nullopt);
    EXPECT_EQ(report.contents(), "ScreenCaptureKit stopped: Lost\n");
    EXPECT_EQ(fake.log().count("finishWriting"), 1U);
    EXPECT_EQ(fake.log().count("cancelWriting"), 0U);
}

TEST_F(RecorderTest, AFailedFinishIsReportedWithTheWritersReason) {
    const struct {
        const char* name;
        platform::MaybeError error;
        const char* message;
    } cases[] = {
        {"with a reason", Error{"The disk is full."}, "Unable to finish audio writer: The disk is full."},
        {"without a reason", std::nullopt, "Unable to finish audio writer: Unknown AVAssetWriter error"},
        {"with an empty reason", Error{""}, "Unable to finish audio writer: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::FakePlatform platform;
        platform.script.finishFails = true;
        platform.script.finishError = c.error;
        const auto subject = SystemAudioRecorder::create(platform, platform::FileLocation{kOutputPath});
        ASSERT_EQ(subject->start(), std::nullopt);
        platform.stream()->deliver({at(1)});
        platform.stream()->drain();

        const std::optional<CaptureHelperError> failure = subject->stop();
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->kind(), CaptureHelperError::Kind::writerFinish);
        EXPECT_EQ(failure->errorDescription(), c.message);
        // The outcome is read only once finishing has ended, and nothing is cancelled after it.
        const Calls calls = platform.log().calls();
        ASSERT_GE(calls.size(), 3U);
        EXPECT_EQ((Calls{calls.end() - 3, calls.end()}), (Calls{"finishWriting", "status", "error"}));
        EXPECT_EQ(platform.log().count("cancelWriting"), 0U);
    }
}

} // namespace
} // namespace qfx
