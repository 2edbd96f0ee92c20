#include "tests/e2e/audio_analysis.h"

#include <algorithm>
#include <cstring>
#include <numbers>
#include <sstream>

namespace e2e {

std::map<std::string, std::string> probe(const std::filesystem::path& file) {
    const std::string entries = "stream=codec_name,profile,sample_rate,channels,bit_rate"
                                ":format=duration,bit_rate,format_name:format_tags=major_brand";
    auto result = run(
        {"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", entries, "-of", "flat", file.string()});
    std::map<std::string, std::string> description;
    if (!result.ok()) {
        return description;
    }
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        description[line.substr(0, equals)] = value;
    }
    return description;
}

double Decoded::seconds() const {
    return static_cast<double>(frames()) / kRate;
}

Decoded decode(const std::filesystem::path& file) {
    auto result =
        run({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "f32le", "-ac", "2", "-ar", "48000", "-"},
            {}, Seconds(120));
    Decoded decoded;
    if (!result.ok()) {
        decoded.error = "ffmpeg: " + result.status.describe() + ": " + result.errorOutput;
        return decoded;
    }
    decoded.samples.resize(result.output.size() / sizeof(float));
    std::memcpy(decoded.samples.data(), result.output.data(), decoded.samples.size() * sizeof(float));
    return decoded;
}

namespace {

// The frame range [first, last) of [from, to) seconds, clipped to the file.
std::pair<int64_t, int64_t> frameRange(const Decoded& audio, double from, double to) {
    auto clip = [&](double seconds) { return std::clamp<int64_t>(frames(seconds), 0, audio.frames()); };
    return {clip(from), std::max(clip(from), clip(to))};
}

float sample(const Decoded& audio, int channel, int64_t frame) {
    return audio.samples[static_cast<size_t>(frame * 2 + channel)];
}

} // namespace

double rms(const Decoded& audio, int channel, double from, double to) {
    auto [first, last] = frameRange(audio, from, to);
    if (last == first) {
        return 0;
    }
    double sum = 0;
    for (int64_t frame = first; frame < last; ++frame) {
        double value = sample(audio, channel, frame);
        sum += value * value;
    }
    return std::sqrt(sum / static_cast<double>(last - first));
}

double toneAmplitude(const Decoded& audio, int channel, double from, double to, double frequency) {
    auto [first, last] = frameRange(audio, from, to);
    int64_t count = last - first;
    if (count < 2) {
        return 0;
    }
    double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / kRate);
    double previous = 0;
    double beforePrevious = 0;
    double windowSum = 0;
    for (int64_t i = 0; i < count; ++i) {
        double window =
            0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(count - 1));
        windowSum += window;
        double current = window * sample(audio, channel, first + i) + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
    return 2 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

double zeroCrossingFrequency(const Decoded& audio, int channel, double from, double to) {
    auto [first, last] = frameRange(audio, from, to);
    std::optional<double> firstCrossing;
    double lastCrossing = 0;
    int crossings = 0;
    for (int64_t frame = first + 1; frame < last; ++frame) {
        float before = sample(audio, channel, frame - 1);
        float now = sample(audio, channel, frame);
        if (before < 0 && now >= 0) {
            // Interpolated to a fraction of a sample, so a short range still gives a close figure.
            double at = static_cast<double>(frame - 1) + before / (before - now);
            if (!firstCrossing) {
                firstCrossing = at;
            } else {
                ++crossings;
            }
            lastCrossing = at;
        }
    }
    if (!firstCrossing || crossings == 0) {
        return 0;
    }
    return crossings * kRate / (lastCrossing - *firstCrossing);
}

std::vector<Span> toneSpans(const Decoded& audio, int channel, double frequency, double threshold, double window) {
    std::vector<Span> spans;
    bool inside = false;
    for (int index = 0; (index + 1) * window <= audio.seconds(); ++index) {
        double at = index * window;
        bool present = toneAmplitude(audio, channel, at, at + window, frequency) >= threshold;
        if (present && !inside) {
            spans.push_back({at, at + window});
        } else if (present) {
            spans.back().to = at + window;
        }
        inside = present;
    }
    return spans;
}

double totalLength(const std::vector<Span>& spans) {
    double total = 0;
    for (const Span& span : spans) {
        total += span.length();
    }
    return total;
}

double lengthTolerance(const std::vector<Span>& spans) {
    return kTimeTolerance + 0.02 * static_cast<double>(spans.empty() ? 0 : spans.size() - 1);
}

Span longest(const std::vector<Span>& spans) {
    return *std::max_element(spans.begin(), spans.end(),
                             [](const Span& a, const Span& b) { return a.length() < b.length(); });
}

double silentSeconds(const Decoded& audio, int channel, double from, double to) {
    constexpr double window = 0.01;
    int silent = 0;
    for (int index = 0; from + (index + 1) * window <= std::min(to, audio.seconds()); ++index) {
        double at = from + index * window;
        if (rms(audio, channel, at, at + window) < 0.001) {
            ++silent;
        }
    }
    return silent * window;
}

std::optional<double> burstOnset(const Decoded& audio, int channel, double frequency, double threshold, double from) {
    constexpr double window = 0.01;
    auto reaches = [&](double at) { return toneAmplitude(audio, channel, at, at + window, frequency) >= threshold; };
    // Coarse windows first (a burst of 10 ms or more fills at least half of one), then millisecond steps.
    for (int step = 0; from + step * window / 2 + window <= audio.seconds(); ++step) {
        double at = from + step * window / 2;
        if (reaches(at)) {
            double start = std::max(from, at - window);
            for (int milliseconds = 0; start + milliseconds * 0.001 <= at; ++milliseconds) {
                if (reaches(start + milliseconds * 0.001)) {
                    return start + milliseconds * 0.001 + window / 2;
                }
            }
            return at + window / 2;
        }
    }
    return std::nullopt;
}

::testing::AssertionResult lengthFitsTimeRecorded(const Decoded& audio, const ToolRun& tool, Clock::time_point end,
                                                  double startAllowance) {
    constexpr double kActingOnTheLine = 0.2;
    double fromReady = Seconds(end - tool.readyAt).count();
    double fromStart = Seconds(end - tool.startedAt).count();
    double least = fromReady - startAllowance - kTimeTolerance;
    double most = fromStart + kTimeTolerance + kActingOnTheLine;
    auto result = audio.seconds() >= least && audio.seconds() <= most ? ::testing::AssertionSuccess()
                                                                      : ::testing::AssertionFailure();
    return result << "the file holds " << audio.seconds() << " s; " << fromReady << " s passed from READY and "
                  << fromStart << " s from the start to the end of the recording (allowed: " << least << " to " << most
                  << " s)";
}

} // namespace e2e
