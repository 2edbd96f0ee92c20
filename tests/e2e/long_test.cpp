// Ten minutes against the clock: the file's length matches the time recorded, and points of the signal played
// ten seconds apart lie ten seconds apart all through the file (where the server plays them on the clock). Both servers
// record at once (QFX_E2E_SERVER picks one alone), so the test takes ten minutes, not twenty.
#include "tests/e2e/audio_analysis.h"
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <numbers>

namespace e2e {
namespace {

namespace fs = std::filesystem;

// A quiet continuous tone with a short 3 kHz burst every ten seconds. In a file that keeps the clock every burst
// lies a whole number of periods after the first, to the tolerance; a lost or added stretch moves every later
// one, and where that happens tells which.
constexpr double kFirstBurst = 2.0;
constexpr double kPeriod = 10.0;

double recordingSeconds() {
    // QFX_E2E_LONG_SECONDS shortens the recording for a look at a failure.
    std::string seconds = environmentValue("QFX_E2E_LONG_SECONDS");
    return seconds.empty() ? 600.0 : std::stod(seconds);
}

struct Recording {
    std::string kind;
    std::unique_ptr<SoundServer> server;
    std::unique_ptr<MonitorListener> listener;
    TemporaryDirectory directory;
    std::unique_ptr<ToolRun> tool;
    std::unique_ptr<Player> player;
};

TEST(LongRecording, TenMinutesKeepTheClock) {
    std::vector<std::string> kinds = {"pulseaudio", "pipewire"};
    if (std::string only = environmentValue("QFX_E2E_SERVER"); !only.empty()) {
        kinds = {only};
    }
    const double seconds = recordingSeconds();
    const int bursts = static_cast<int>((seconds - 6.0 - kFirstBurst) / kPeriod) + 1;
    Signal signal = [](int64_t frame) {
        double at = static_cast<double>(frame) / kRate - kFirstBurst;
        bool inBurst = at >= 0 && std::fmod(at, kPeriod) < 0.05;
        double phase = 2 * std::numbers::pi * static_cast<double>(frame) / kRate;
        auto value = static_cast<float>(0.1 * std::sin(440 * phase) + (inBurst ? 0.5 * std::sin(3000 * phase) : 0));
        return std::pair<float, float>(value, value);
    };

    std::vector<std::unique_ptr<Recording>> recordings;
    for (const auto& kind : kinds) {
        auto recording = std::make_unique<Recording>();
        recording->kind = kind;
        recording->server = std::make_unique<SoundServer>(kind);
        recording->listener = std::make_unique<MonitorListener>(recording->server->environment());
        recording->tool = std::make_unique<ToolRun>(
            std::vector<std::string>{(recording->directory / "long.m4a").string()}, recording->server->environment());
        recordings.push_back(std::move(recording));
    }
    for (auto& recording : recordings) {
        ASSERT_TRUE(recording->tool->waitReady()) << recording->kind << ": " << recording->tool->errorOutput();
        recording->player = std::make_unique<Player>(recording->server->environment(), signal, seconds + 5.0);
    }
    sleepFor(seconds);
    for (auto& recording : recordings) {
        recording->tool->sendLine();
    }

    for (auto& recording : recordings) {
        SCOPED_TRACE(recording->kind);
        auto status = recording->tool->finish();
        int underruns = recording->player->underruns();
        recording->player.reset();
        recording->listener.reset();
        ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << ": " << recording->tool->errorOutput();
        EXPECT_EQ(recording->tool->errorOutput(), "");
        auto audio = decode(recording->directory / "long.m4a");
        ASSERT_TRUE(audio.ok()) << audio.error;
        EXPECT_TRUE(lengthFitsTimeRecorded(audio, *recording->tool, recording->tool->stopLineAt, 0.0));

        std::vector<double> onsets;
        for (auto onset = burstOnset(audio, 0, 3000, 0.25); onset;
             onset = burstOnset(audio, 0, 3000, 0.25, *onset + kPeriod / 2)) {
            onsets.push_back(*onset);
        }
        ASSERT_FALSE(onsets.empty()) << "no burst in the file";
        double worst = 0;
        double worstAt = 0;
        double last = 0;
        for (double onset : onsets) {
            double periods = std::round((onset - onsets.front()) / kPeriod);
            double error = onset - onsets.front() - periods * kPeriod;
            if (std::abs(error) > std::abs(worst)) {
                worst = error;
                worstAt = onset;
            }
            last = error;
        }
        double holes = silentSeconds(audio, 0, onsets.front(), onsets.back());
        std::cout << std::fixed << std::setprecision(3) << "[figure] " << recording->kind << ": "
                  << recording->tool->recordedSeconds() << " s from READY to the stop line, " << audio.seconds()
                  << " s in the file; " << onsets.size() << " of " << bursts << " bursts found; the last "
                  << (onsets.back() - onsets.front()) << " s after the first, off by " << last * 1000
                  << " ms; the worst off by " << worst * 1000 << " ms at " << worstAt << " s; " << holes
                  << " s of holes in the tone\n";
        if (!playedSignalKeepsTheClock(recording->kind)) {
            // A server that stalls its streams under load leaves holes in what it plays, and a burst that falls in
            // one can be cut short or lost; most must still arrive.
            EXPECT_GE(static_cast<int>(onsets.size()), bursts * 9 / 10) << "bursts missing";
        } else {
            EXPECT_EQ(static_cast<int>(onsets.size()), bursts) << "bursts missing";
            EXPECT_EQ(underruns, 0) << "the player ran dry: the bursts' distances prove nothing";
            // A loaded machine delays the capture's data; it must not lose it.
            EXPECT_LE(holes, kTimeTolerance) << "audio lost in the file";
            EXPECT_LE(std::abs(worst), kTimeTolerance) << "at " << worstAt << " s of the file";
        }
    }
}

} // namespace
} // namespace e2e
