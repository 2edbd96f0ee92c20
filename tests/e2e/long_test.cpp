// Ten minutes against the clock: the file's length and the distance between two points of the signal, played
// ten minutes apart, match the time recorded. Both servers record at once (QFX_E2E_SERVER picks one alone), so
// the test takes ten minutes, not twenty.
#include "tests/e2e/audio_analysis.h"
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iomanip>
#include <iostream>

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr double kRecordingSeconds = 600;
constexpr double kFirstBurst = 2.0;
constexpr double kLastBurst = kRecordingSeconds - 6.0;

struct Recording {
    std::string kind;
    std::unique_ptr<SoundServer> server;
    TemporaryDirectory directory;
    std::unique_ptr<ToolRun> tool;
    std::unique_ptr<Player> player;
};

TEST(LongRecording, TenMinutesKeepTheClock) {
    std::vector<std::string> kinds = {"pulseaudio", "pipewire"};
    if (const char* only = std::getenv("QFX_E2E_SERVER"); only != nullptr && *only != '\0') {
        kinds = {only};
    }
    // A quiet continuous tone with a 3 kHz burst near each end.
    Signal signal = tone(440, 0.1, 0.1);
    for (double at : {kFirstBurst, kLastBurst}) {
        signal = sum(signal, during(frames(at), frames(at + 0.05), tone(3000, 0.5, 0.5)));
    }

    std::vector<std::unique_ptr<Recording>> recordings;
    for (const auto& kind : kinds) {
        auto recording = std::make_unique<Recording>();
        recording->kind = kind;
        recording->server = std::make_unique<SoundServer>(kind);
        recording->tool = std::make_unique<ToolRun>(
            std::vector<std::string>{(recording->directory / "long.m4a").string()}, recording->server->environment());
        recordings.push_back(std::move(recording));
    }
    for (auto& recording : recordings) {
        ASSERT_TRUE(recording->tool->waitReady()) << recording->kind << ": " << recording->tool->errorOutput();
        recording->player = std::make_unique<Player>(recording->server->environment(), signal, kLastBurst + 1.0);
    }
    sleepFor(kRecordingSeconds);
    for (auto& recording : recordings) {
        recording->tool->sendLine();
    }

    for (auto& recording : recordings) {
        SCOPED_TRACE(recording->kind);
        auto status = recording->tool->finish();
        ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << ": " << recording->tool->errorOutput();
        EXPECT_EQ(recording->tool->errorOutput(), "");
        auto audio = decode(recording->directory / "long.m4a");
        ASSERT_TRUE(audio.ok()) << audio.error;

        double recorded = recording->tool->recordedSeconds();
        auto first = burstOnset(audio, 0, 3000, 0.25);
        ASSERT_TRUE(first) << "the first burst is missing";
        auto last = burstOnset(audio, 0, 3000, 0.25, *first + 1.0);
        ASSERT_TRUE(last) << "the last burst is missing";
        double playedApart = kLastBurst - kFirstBurst;
        std::cout << std::fixed << std::setprecision(3) << "[figure] " << recording->kind << ": " << recorded
                  << " s from READY to the stop line, " << audio.seconds() << " s in the file; bursts " << playedApart
                  << " s apart as played, " << (*last - *first) << " s apart in the file (error "
                  << (*last - *first - playedApart) * 1000 << " ms)\n";
        EXPECT_NEAR(*last - *first, playedApart, kTimeTolerance);
        EXPECT_TRUE(lengthFitsTimeRecorded(audio, *recording->tool, recording->tool->stopLineAt));
    }
}

} // namespace
} // namespace e2e
