// Sample intake and the stop report: which buffers reach the writer, when the session starts, and the exact line
// written when the stream ends by itself.
#include "tests/unit/recorder_fixture.h"

#include <string>
#include <vector>

namespace qfx {
namespace {

using fakes::BufferTraits;
using platform::kStreamOutputTypeAudio;
using platform::kStreamOutputTypeMicrophone;
using platform::kStreamOutputTypeScreen;
using platform::MediaTime;
using platform::StreamOutputType;

TEST_F(RecorderTest, IntakeAdmitsUsableBuffersAndStartsTheSessionOnce) {
    struct Delivery {
        BufferTraits buffer;
        StreamOutputType type = kStreamOutputTypeAudio;
    };
    struct Case {
        const char* name;
        std::vector<Delivery> deliveries;
        std::vector<bool> readyAnswers;
        bool appendSucceeds;
        std::vector<std::string> calls;
    };
    const MediaTime rounded{7, 1000, MediaTime::kValid | MediaTime::kHasBeenRounded, 2};
    const std::vector<Case> cases{
        {"first usable buffer starts the session and is appended",
         {{{at(12345)}}},
         {},
         true,
         {"startSession(12345/48000)", "isReadyForMoreMediaData", "append(t=12345/48000)"}},
        {"the session time is passed on unchanged",
         {{{rounded}}},
         {},
         true,
         {"startSession(7/1000 flags=3 epoch=2)", "isReadyForMoreMediaData", "append(t=7/1000 flags=3 epoch=2)"}},
        {"the session starts at a buffer the input then turns away; the next is offered afresh",
         {{{at(100)}}, {{at(200)}}},
         {false, true},
         true,
         {"startSession(100/48000)", "isReadyForMoreMediaData", "isReadyForMoreMediaData", "append(t=200/48000)"}},
        {"unusable buffers are ignored, even before the first usable one",
         {{{at(1), false, true}},
          {{at(2), true, false}},
          {{at(3)}, kStreamOutputTypeScreen},
          {{at(4)}, kStreamOutputTypeMicrophone},
          {{at(5)}}},
         {},
         true,
         {"startSession(5/48000)", "isReadyForMoreMediaData", "append(t=5/48000)"}},
        {"unusable buffers are ignored after the session started",
         {{{at(1)}}, {{at(2), false, true}}, {{at(3), true, false}}, {{at(4)}, kStreamOutputTypeScreen}},
         {},
         true,
         {"startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)"}},
        {"the session is never started twice",
         {{{at(1)}}, {{at(2)}}, {{at(3)}}},
         {},
         true,
         {"startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)", "isReadyForMoreMediaData",
          "append(t=2/48000)", "isReadyForMoreMediaData", "append(t=3/48000)"}},
        {"failed appends change nothing",
         {{{at(1)}}, {{at(2)}}},
         {},
         false,
         {"startSession(1/48000)", "isReadyForMoreMediaData", "append(t=1/48000)", "isReadyForMoreMediaData",
          "append(t=2/48000)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakes::FakePlatform platform;
        platform.script.appendSucceeds = c.appendSucceeds;
        platform.answerReady(c.readyAnswers);
        const auto subject = SystemAudioRecorder::create(platform, platform::FileLocation{kOutputPath});
        ASSERT_EQ(subject->start(), std::nullopt);
        platform.log().clear();

        const auto stream = platform.stream();
        for (const Delivery& delivery : c.deliveries) {
            ASSERT_TRUE(stream->deliver(delivery.buffer, delivery.type));
        }
        stream->drain();

        EXPECT_EQ(platform.log().calls(), c.calls);
        EXPECT_EQ(platform.offQueueCalls(), 0);
    }
}

TEST_F(RecorderTest, IntakeLooksAtNothingOfABufferOfAnotherType) {
    startCapturing();
    ASSERT_TRUE(fake.stream()->deliver({at(1)}, kStreamOutputTypeScreen));
    fake.stream()->drain();
    EXPECT_TRUE(fake.log().all().empty());
}

TEST_F(RecorderTest, StreamEndedReportIsOneExactLineAndChangesNothing) {
    const struct {
        const char* description;
        const char* line;
    } cases[] = {
        {"The stream was stopped by the system.", "ScreenCaptureKit stopped: The stream was stopped by the system.\n"},
        {"", "ScreenCaptureKit stopped: \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        fakes::FakePlatform platform;
        const testing::StreamFile lines;
        const auto subject = SystemAudioRecorder::create(platform, platform::FileLocation{kOutputPath}, lines.get());
        ASSERT_EQ(subject->start(), std::nullopt);
        platform.settle();
        platform.log().clear();

        platform.stream()->endByItself(platform::Error{c.description});
        platform.settle();

        EXPECT_EQ(lines.contents(), c.line);
        EXPECT_TRUE(platform.log().calls().empty());
    }
}

} // namespace
} // namespace qfx
