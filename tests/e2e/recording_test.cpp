// What a recording holds, end to end: the file's format, each channel's tone, its length against the time
// recorded; and how the file keeps the clock through a stopped process, the tail at stop, and a server that
// goes away.
#include "tests/e2e/audio_analysis.h"
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <iomanip>
#include <iostream>

namespace e2e {
namespace {

namespace fs = std::filesystem;

double number(const std::map<std::string, std::string>& description, const std::string& key) {
    auto found = description.find(key);
    return found == description.end() ? -1 : std::atof(found->second.c_str());
}

TEST(Recording, LeftAndRightTonesArriveInTheirChannelsOfAValidFile) {
    TemporaryDirectory directory;
    fs::path file = directory / "tones.m4a";
    ToolRun tool({file.string()}, mainServer().environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();

    // A short lead-in, then a left-only 440 Hz and a right-only 660 Hz tone. (An idle null sink holds playback back
    // until it renders, just as it holds back the capture's first fragment.)
    const double lead = 0.5;
    Signal signal = sum(during(frames(lead), frames(lead + 2), tone(440, 0.5, 0)),
                        during(frames(lead + 2), frames(lead + 4), tone(660, 0, 0.5)));
    Player player(mainServer().environment(), signal, lead + 4.3);
    ASSERT_TRUE(player.finish(Seconds(30))) << player.errorOutput();
    sleepFor(0.3);
    tool.sendLine();
    auto status = tool.finish();
    ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << "; stderr: " << tool.errorOutput();
    EXPECT_EQ(tool.output(), "READY\n");
    EXPECT_EQ(tool.errorOutput(), "");

    auto description = probe(file);
    EXPECT_EQ(description["streams.stream.0.codec_name"], "aac");
    EXPECT_EQ(description["streams.stream.0.profile"], "LC");
    EXPECT_EQ(description["streams.stream.0.sample_rate"], "48000");
    EXPECT_EQ(description["streams.stream.0.channels"], "2");
    EXPECT_EQ(description["format.tags.major_brand"], "M4A ");
    // A pure tone needs fewer bits than the encoder may spend; the rate stays near the target.
    double bitRate = number(description, "streams.stream.0.bit_rate");
    EXPECT_GT(bitRate, 192000 * 0.5);
    EXPECT_LT(bitRate, 192000 * 1.15);

    auto audio = decode(file);
    ASSERT_TRUE(audio.ok()) << audio.error;
    EXPECT_NEAR(number(description, "format.duration"), audio.seconds(), 0.03);
    // No listener keeps the sink awake here: however late an idle sink delivers its first fragment, the file
    // starts when the capture did, so it holds the whole time from READY.
    EXPECT_TRUE(lengthFitsTimeRecorded(audio, tool, tool.stopLineAt, 0.0));
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << mainServer().kind() << ": "
              << tool.recordedSeconds() << " s from READY to the stop line, " << audio.seconds() << " s in the file\n";

    struct Channel {
        int index;
        double frequency;
        const char* name;
    };
    std::vector<Span> found;
    for (const Channel& c : {Channel{0, 440, "left"}, Channel{1, 660, "right"}}) {
        SCOPED_TRACE(c.name);
        auto spans = toneSpans(audio, c.index, c.frequency, 0.25);
        ASSERT_FALSE(spans.empty()) << "the tone is missing";
        // A server that stalls (see playedSignalKeepsTheClock) splits a tone but loses none of it.
        EXPECT_NEAR(totalLength(spans), 2.0, lengthTolerance(spans));
        Span span = longest(spans);
        double middle = (span.from + span.to) / 2;
        double half = std::min(0.5, span.length() / 2 - 0.02);
        EXPECT_NEAR(zeroCrossingFrequency(audio, c.index, middle - half, middle + half), c.frequency, 1.0);
        EXPECT_NEAR(toneAmplitude(audio, c.index, middle - half, middle + half, c.frequency), 0.5, 0.05);
        // The other channel is silent meanwhile.
        EXPECT_LT(decibels(rms(audio, 1 - c.index, middle - half, middle + half)), -60);
        found.push_back(spans.size() == 1 ? spans[0] : Span{spans.front().from, spans.back().to});
    }
    if (playedSignalKeepsTheClock(mainServer().kind())) {
        EXPECT_NEAR(found[1].from - found[0].to, 0.0, 0.03) << "the right tone follows the left one at once";
    }
}

// A continuous quiet 440 Hz tone with short 3 kHz bursts at given points of the signal. The sink plays the signal
// by its clock; a file that keeps the clock holds the bursts exactly as far apart as they were played.
Signal markedSignal(const std::vector<double>& bursts) {
    Signal signal = tone(440, 0.1, 0.1);
    for (double at : bursts) {
        signal = sum(signal, during(frames(at), frames(at + 0.05), tone(3000, 0.5, 0.5)));
    }
    return signal;
}

TEST(Timekeeping, StoppedForASecondTheFileStillKeepsTheClock) {
    TemporaryDirectory directory;
    fs::path file = directory / "stopped.m4a";
    MonitorListener listener(mainServer().environment());
    ToolRun tool({file.string()}, mainServer().environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();
    Player player(mainServer().environment(), markedSignal({2.0, 6.0}), 7.0);
    sleepFor(3.5);
    ASSERT_EQ(kill(tool.pid(), SIGSTOP), 0);
    sleepFor(1.0);
    ASSERT_EQ(kill(tool.pid(), SIGCONT), 0);
    int underruns = player.underruns();
    ASSERT_TRUE(player.finish(Seconds(30))) << player.errorOutput();
    sleepFor(0.3);
    tool.sendLine();
    auto status = tool.finish();
    ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << "; stderr: " << tool.errorOutput();

    auto audio = decode(file);
    ASSERT_TRUE(audio.ok()) << audio.error;
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << mainServer().kind() << ": "
              << tool.recordedSeconds() << " s from READY to the stop line with a 1 s SIGSTOP, " << audio.seconds()
              << " s in the file\n";
    EXPECT_TRUE(lengthFitsTimeRecorded(audio, tool, tool.stopLineAt, 0.0));
    auto first = burstOnset(audio, 0, 3000, 0.25);
    ASSERT_TRUE(first) << "the first burst is missing";
    auto second = burstOnset(audio, 0, 3000, 0.25, *first + 0.1);
    ASSERT_TRUE(second) << "the second burst is missing";
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << mainServer().kind()
              << ": bursts 4.000 s apart as played, " << (*second - *first)
              << " s apart in the file across a 1 s SIGSTOP\n";
    if (playedSignalKeepsTheClock(mainServer().kind())) {
        EXPECT_EQ(underruns, 0) << "the player ran dry: the bursts' distance proves nothing";
        EXPECT_NEAR(*second - *first, 4.0, kTimeTolerance);
        // The server holds what it captured while the tool was stopped; it arrives late, in a burst, and is no
        // loss.
        EXPECT_LE(silentSeconds(audio, 0, *first, *second), kTimeTolerance) << "holes in the continuous tone";
    }
}

TEST(Timekeeping, ToneEndingJustBeforeTheStopLineIsWhollyInTheFile) {
    TemporaryDirectory directory;
    fs::path file = directory / "tail.m4a";
    MonitorListener listener(mainServer().environment());
    ToolRun tool({file.string()}, mainServer().environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();
    // The tone is the signal's end: pacat ends once the sink has played it.
    Player player(mainServer().environment(), during(frames(2.0), frames(3.0), tone(1000, 0.5, 0.5)), 3.0);
    ASSERT_TRUE(player.finish(Seconds(30))) << player.errorOutput();
    sleepFor(0.2);
    tool.sendLine();
    auto status = tool.finish();
    ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << "; stderr: " << tool.errorOutput();

    auto audio = decode(file);
    ASSERT_TRUE(audio.ok()) << audio.error;
    EXPECT_TRUE(lengthFitsTimeRecorded(audio, tool, tool.stopLineAt, 0.0));
    auto spans = toneSpans(audio, 0, 1000, 0.25);
    ASSERT_FALSE(spans.empty()) << "the tone is missing";
    std::cout << std::fixed << std::setprecision(3) << "[figure] " << mainServer().kind()
              << ": a 1.000 s tone ending 0.2 s before the stop line: " << totalLength(spans)
              << " s in the file, followed by " << audio.seconds() - spans.back().to << " s\n";
    EXPECT_NEAR(totalLength(spans), 1.0, lengthTolerance(spans));
    // What the server captured after the tone, up to the stop line, is there too.
    EXPECT_GE(audio.seconds() - spans.back().to, 0.2 - 2 * kTimeTolerance);
}

TEST(ServerGone, KilledServerIsReportedOnceAndTheFileKeepsWhatCameBefore) {
    SoundServer server(serverKindUnderTest());
    TemporaryDirectory directory;
    fs::path file = directory / "killed.m4a";
    ToolRun tool({file.string()}, server.environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();
    auto player = std::make_unique<Player>(server.environment(), tone(1000, 0.5, 0.5), 30.0);
    sleepFor(3.5);
    server.kill();
    auto killedAt = Clock::now();

    const std::string prefix = "ScreenCaptureKit stopped: ";
    while (tool.errorOutput().find('\n') == std::string::npos && Clock::now() - killedAt < Seconds(15)) {
        sleepFor(0.05);
    }
    player.reset();
    // The tool goes on waiting for its line after the report; nothing more is written meanwhile.
    sleepFor(1.0);
    std::string report = tool.errorOutput();
    EXPECT_EQ(report.rfind(prefix, 0), 0U) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    tool.sendLine();
    auto status = tool.finish();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_EQ(tool.output(), "READY\n");
    EXPECT_EQ(tool.errorOutput(), report) << "nothing after the report";

    auto audio = decode(file);
    ASSERT_TRUE(audio.ok()) << audio.error;
    EXPECT_TRUE(lengthFitsTimeRecorded(audio, tool, killedAt));
    auto spans = toneSpans(audio, 0, 1000, 0.25);
    ASSERT_FALSE(spans.empty()) << "the tone played before the kill is missing";
    EXPECT_GE(spans.back().to - spans.front().from,
              Seconds(killedAt - tool.readyAt).count() - kFirstFragmentAllowance - 0.5);
}

} // namespace
} // namespace e2e
