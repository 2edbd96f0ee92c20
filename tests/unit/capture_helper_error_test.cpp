// The failure messages are a protocol: the parent matches them byte for byte.
#include "front/capture_helper_error.h"
#include "recorder/system_audio_recorder.h"

#include <gtest/gtest.h>

namespace qfx {
namespace {

TEST(CaptureHelperError, MessagesJoinPrefixAndPayloadExactly) {
    const struct {
        CaptureHelperError error;
        const char* message;
    } cases[] = {
        {CaptureHelperError::writerCreation("The file couldn’t be saved."),
         "Unable to create audio writer: The file couldn’t be saved."},
        {CaptureHelperError::writerCreation("AVAssetWriter rejected the AAC input."),
         "Unable to create audio writer: AVAssetWriter rejected the AAC input."},
        {CaptureHelperError::writerStart("Unknown AVAssetWriter error"),
         "Unable to start audio writer: Unknown AVAssetWriter error"},
        {CaptureHelperError::streamStart("The user declined TCCs for application, window, display capture"),
         "Unable to start system audio capture: The user declined TCCs for application, window, display capture"},
        {CaptureHelperError::writerFinish("disk full"), "Unable to finish audio writer: disk full"},
        // A payload is taken whole: no trimming, quoting or full stop added.
        {CaptureHelperError::writerStart("  spaced \"quoted\"  "),
         "Unable to start audio writer:   spaced \"quoted\"  "},
        // An empty payload leaves the prefix with its colon and space.
        {CaptureHelperError::writerCreation(""), "Unable to create audio writer: "},
        {CaptureHelperError::writerStart(""), "Unable to start audio writer: "},
        {CaptureHelperError::streamStart(""), "Unable to start system audio capture: "},
        {CaptureHelperError::writerFinish(""), "Unable to finish audio writer: "},
        {CaptureHelperError::invalidArguments(), "Usage: qfx_system_audio <output.m4a>"},
        {CaptureHelperError::noDisplay(), "No display is available for ScreenCaptureKit audio capture."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorDescription(), c.message);
        // What the front end prints for a start failure is the same text.
        EXPECT_EQ(failureDescription(StartFailure{c.error}), c.message);
    }
}

TEST(CaptureHelperError, ServiceFailuresAreDescribedByTheirOwnText) {
    EXPECT_EQ(failureDescription(StartFailure{platform::Error{"Screen recording is not permitted."}}),
              "Screen recording is not permitted.");
    EXPECT_EQ(failureDescription(StartFailure{platform::Error{""}}), "");
}

} // namespace
} // namespace qfx
