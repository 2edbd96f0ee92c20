// Start: the order and the values of every call, and what is left after each way it can fail.
#include "tests/unit/recorder_fixture.h"

#include <functional>
#include <string>
#include <vector>

namespace qfx {
namespace {

using fakes::FakePlatform;
using platform::Error;

std::string label(const FakePlatform& fake) {
    return fake.made().sampleQueue.lock()->label();
}

TEST_F(RecorderTest, StartMakesEveryCallInOrderWithTheFixedValues) {
    fake.script.displayCount = 3; // the first display is captured, the others ignored

    ASSERT_EQ(recorder->start(), std::nullopt);

    const std::vector<std::string> expected{
        "makeSerialQueue(" + label(fake) + ")",
        "getShareableContent(false, false)",
        "makeContentFilter(display1, 0 applications, 0 windows)",
        "makeStreamConfiguration",
        "setCapturesAudio(true)",
        "setExcludesCurrentProcessAudio(false)",
        "setSampleRate(48000)",
        "setChannelCount(2)",
        "setQueueDepth(4)",
        std::string("makeWriter(") + kOutputPath + ", com.apple.m4a-audio)",
        // The format identifier is an unsigned 32-bit number, the others signed 64-bit ones.
        "makeWriterInput(soun, AVFormatIDKey=uint32:1633772320, AVSampleRateKey=int64:48000, "
        "AVNumberOfChannelsKey=int64:2, AVEncoderBitRateKey=int64:192000)",
        "setExpectsMediaDataInRealTime(true)",
        "canAddInput(input1)",
        "addInput(input1)",
        "startWriting",
        "makeStream(filter1, configuration1)",
        "addStreamOutput(type=1, queue=" + label(fake) + ")",
        "startCapture",
    };
    EXPECT_EQ(fake.log().calls(), expected);

    fake.settle();
    const FakePlatform::Made made = fake.made();
    // The recorder is both the stream's delegate and its one output, delivered on its own sample queue.
    const std::shared_ptr<fakes::FakeStream> stream = made.stream.lock();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->delegate().get(), static_cast<platform::StreamDelegate*>(recorder.get()));
    EXPECT_EQ(stream->output().get(), static_cast<platform::StreamOutput*>(recorder.get()));
    EXPECT_EQ(stream->queue(), made.sampleQueue.lock());
    // Only the recorder's fields keep anything alive: stream, writer and input, nothing else that start made.
    EXPECT_EQ(made.stream.use_count(), 2); // the recorder's, and the one held just above
    EXPECT_EQ(made.writer.use_count(), 1);
    EXPECT_EQ(made.input.use_count(), 1);
    EXPECT_TRUE(made.content.expired());
    for (const auto& display : made.displays) {
        EXPECT_TRUE(display.expired());
    }
    EXPECT_TRUE(made.filter.expired());
    EXPECT_TRUE(made.configuration.expired());
}

TEST_F(RecorderTest, StartFailuresReportTheirCauseAndLeaveOnlyWhatTheyShould) {
    struct Case {
        const char* name;
        std::function<void(FakePlatform::Script&)> arrange;
        StartFailure failure;
        std::string lastCall; // the call at which start gave up
        bool armed;           // stream, writer and input stay in the recorder's fields
        std::vector<std::string> stopCalls;
    };
    const std::vector<Case> cases{
        {"content query fails",
         [](auto& s) { s.contentError = Error{"The user declined TCCs"}; },
         Error{"The user declined TCCs"},
         "getShareableContent(false, false)",
         false,
         {}},
        {"no display",
         [](auto& s) { s.displayCount = 0; },
         CaptureHelperError::noDisplay(),
         "getShareableContent(false, false)",
         false,
         {}},
        {"writer cannot be made",
         [](auto& s) { s.makeWriterError = Error{"The file couldn’t be saved."}; },
         CaptureHelperError::writerCreation("The file couldn’t be saved."),
         std::string("makeWriter(") + kOutputPath + ", com.apple.m4a-audio)",
         false,
         {}},
        {"writer refuses the input",
         [](auto& s) { s.canAddInput = false; },
         CaptureHelperError::writerCreation("AVAssetWriter rejected the AAC input."),
         "canAddInput(input1)",
         false,
         {}},
        {"writing does not start",
         [](auto& s) {
             s.startWritingSucceeds = false;
             s.startWritingError = Error{"Disk full"};
         },
         CaptureHelperError::writerStart("Disk full"),
         "error",
         false,
         {}},
        {"writing does not start, no error known",
         [](auto& s) { s.startWritingSucceeds = false; },
         CaptureHelperError::writerStart("Unknown AVAssetWriter error"),
         "error",
         false,
         {}},
        {"audio output refused",
         [](auto& s) { s.addStreamOutputError = Error{"Output refused"}; },
         Error{"Output refused"},
         "addStreamOutput(type=1, queue=" + label(fake) + ")",
         false,
         {}},
        // Only here is the writer cancelled; stop would stop the stream and cancel once more.
        {"capture does not start",
         [](auto& s) { s.startCaptureError = Error{"Capture was denied"}; },
         CaptureHelperError::streamStart("Capture was denied"),
         "cancelWriting",
         true,
         {"stopCapture", "cancelWriting"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        c.arrange(platform.script);
        const auto subject = SystemAudioRecorder::create(platform, platform::FileLocation{kOutputPath});

        EXPECT_EQ(subject->start(), c.failure);
        platform.settle();

        const std::vector<std::string> calls = platform.log().calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), c.lastCall);
        EXPECT_EQ(platform.log().count("cancelWriting"), c.armed ? 1U : 0U);

        const FakePlatform::Made made = platform.made();
        EXPECT_TRUE(made.content.expired());
        EXPECT_TRUE(made.filter.expired());
        EXPECT_TRUE(made.configuration.expired());
        EXPECT_EQ(made.writer.use_count(), c.armed ? 1 : 0);
        EXPECT_EQ(made.input.use_count(), c.armed ? 1 : 0);
        EXPECT_EQ(made.stream.use_count(), c.armed ? 1 : 0);

        // What stop finds shows what the fields hold: nothing at all unless the capture start was what failed.
        platform.log().clear();
        EXPECT_EQ(subject->stop(), std::nullopt);
        EXPECT_EQ(platform.log().calls(), c.stopCalls);
    }
}

} // namespace
} // namespace qfx
