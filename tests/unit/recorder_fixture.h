// A recorder over the fake platform, its stop report captured in a file.
#pragma once

#include "recorder/system_audio_recorder.h"
#include "tests/fakes/fake_platform.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>

namespace qfx {

inline void PrintTo(const CaptureHelperError& error, std::ostream* os) {
    *os << "CaptureHelperError(" << error.errorDescription() << ")";
}

namespace platform {
inline void PrintTo(const Error& error, std::ostream* os) {
    *os << "Error(" << error.description << ")";
}
} // namespace platform

class RecorderTest : public ::testing::Test {
protected:
    static constexpr const char* kOutputPath = "/recordings/out.m4a";

    static platform::MediaTime at(int64_t value) { return platform::MediaTime::make(value, 48000); }

    /// A successful start, after which the log holds only what follows.
    void startCapturing() {
        ASSERT_EQ(recorder->start(), std::nullopt);
        fake.settle();
        fake.log().clear();
    }

    /// Delivers buffers of the given times through the stream and waits until the recorder has taken them in.
    void deliver(std::initializer_list<int64_t> times) {
        const std::shared_ptr<fakes::FakeStream> stream = fake.stream();
        ASSERT_TRUE(stream);
        for (const int64_t time : times) {
            ASSERT_TRUE(stream->deliver({at(time)}));
        }
        stream->drain();
    }

    fakes::FakePlatform fake;
    testing::StreamFile report;
    std::shared_ptr<SystemAudioRecorder> recorder =
        SystemAudioRecorder::create(fake, platform::FileLocation{kOutputPath}, report.get());
};

} // namespace qfx
