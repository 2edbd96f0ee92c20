// What a recorded file holds, as a user's tools see it: ffprobe's description and ffmpeg's decoding, and the
// measures the tests take on the decoded samples (levels, tones, where a tone starts and ends).
#pragma once

#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

/// ffprobe's flat description of a file's first audio stream and its container: keys such as
/// "streams.stream.0.codec_name", "format.bit_rate", "format.tags.major_brand". Empty when ffprobe fails.
std::map<std::string, std::string> probe(const std::filesystem::path& file);

/// A file decoded by ffmpeg to 48000 Hz interleaved stereo float.
struct Decoded {
    std::vector<float> samples;
    std::string error; ///< ffmpeg's complaint, when decoding failed

    [[nodiscard]] bool ok() const { return error.empty(); }
    [[nodiscard]] int64_t frames() const { return static_cast<int64_t>(samples.size() / 2); }
    [[nodiscard]] double seconds() const;
};

Decoded decode(const std::filesystem::path& file);

/// Measures over [from, to) seconds of one channel (0 left, 1 right); the range is clipped to the file.
double rms(const Decoded& audio, int channel, double from, double to);
/// The amplitude of the sinusoid at `frequency` in the range (a Goertzel filter with a Hann window), so that
/// a full-scale tone gives about 1 whatever else plays beside it.
double toneAmplitude(const Decoded& audio, int channel, double from, double to, double frequency);
/// The frequency of the range's dominant tone, from its rising zero crossings.
double zeroCrossingFrequency(const Decoded& audio, int channel, double from, double to);

/// The stretches, in seconds, in which the tone at `frequency` stands above `threshold` amplitude in a channel,
/// measured in windows of `window` seconds.
struct Span {
    double from;
    double to;
    [[nodiscard]] double length() const { return to - from; }
};
std::vector<Span> toneSpans(const Decoded& audio, int channel, double frequency, double threshold,
                            double window = 0.01);
/// How long a tone sounds in all, over its spans; and how far that may stray from what was played: the
/// tolerance, and a window's width more for each hole that splits it (each edge is found to a window).
double totalLength(const std::vector<Span>& spans);
double lengthTolerance(const std::vector<Span>& spans);
/// The longest span (spans must not be empty).
Span longest(const std::vector<Span>& spans);

/// How much of [from, to) is silent (10 ms windows below -60 dBFS): in a recording of a continuous tone, the holes
/// that lost audio left.
double silentSeconds(const Decoded& audio, int channel, double from, double to);

/// Where a burst of `frequency` begins, at or after `from`: the middle of the first 10 ms window whose tone
/// amplitude reaches `threshold` (searched every millisecond). With `threshold` at half the burst's level, that
/// is within a millisecond or two of the burst's first sample, and the bias is the same for every burst.
std::optional<double> burstOnset(const Decoded& audio, int channel, double frequency, double threshold,
                                 double from = 0.0);

/// The null sink's first fragment can take up to about two seconds to arrive on this machine: a file may start
/// that much after READY. The timekeeping tolerance of the Linux capture comes on top.
inline constexpr double kFirstFragmentAllowance = 2.0;
inline constexpr double kTimeTolerance = 0.05;

/// Whether a file's decoded length fits the time recorded: at least the time from READY to the stop line, less
/// `startAllowance` (the first fragment's delay; none while a `MonitorListener` runs) and the tolerance; at most
/// the time from the tool's start to the stop line, plus the tolerance and what a loaded machine may add before
/// the tool acts on the line. `end` is the stop line, or the moment the capture ended by itself.
::testing::AssertionResult lengthFitsTimeRecorded(const Decoded& audio, const ToolRun& tool, Clock::time_point end,
                                                  double startAllowance = kFirstFragmentAllowance);

/// Whether a played signal reaches a sink's monitor on the clock, whole, whatever the machine's load, so that the
/// distance between two of its points in a file, and any hole in it, measure the file's timekeeping.
/// PulseAudio's null sink renders the players' data inside the server and catches up after a late wake-up: yes.
/// PipeWire's PulseAudio server is a client of the graph: when a loaded machine makes it miss cycles, both the
/// player's stream and the record stream stall, so the monitor has nothing for that time and the player falls
/// behind the clock by as much. A file that keeps the clock then shows a hole, and every later point of the
/// signal comes that much late (seen: 1.73 s of holes and bursts 1.728 s late after a busy ten minutes, while the
/// file's length kept to the clock within 20 ms; a plain record stream hides the same stalls by splicing). There
/// these are reported, and the file's length against the clock is what is checked.
inline bool playedSignalKeepsTheClock(const std::string& serverKind) {
    return serverKind == "pulseaudio";
}

inline double decibels(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude) : -400.0;
}

} // namespace e2e
