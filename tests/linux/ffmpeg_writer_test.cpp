// The FFmpeg writer's files, checked by what ffprobe and ffmpeg make of them: the format, the channels, the timing
// (no priming silence, gaps, overlaps, jumps), and what is left at the path after cancelling, failing or refusing.
#include "platform/linux/ffmpeg_writer.h"
#include "platform/linux/pcm_buffer.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace qfx::platform::linux_backend {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kRate = 48000;
constexpr int64_t kSecond = kRate; // frames
constexpr int32_t kChannels = 2;
constexpr int64_t kNanosPerSecond = 1'000'000'000;

const OutputSettings kSettings = {{kFormatIDKey, kAudioFormatMPEG4AAC},
                                  {kSampleRateKey, int64_t{48000}},
                                  {kNumberOfChannelsKey, int64_t{2}},
                                  {kEncoderBitRateKey, int64_t{192000}}};

// The test signal, a function of the capture clock's frame index: 440 Hz on the left, 1000 Hz on the right. Cosines,
// so that the very first frame is loud and a leading silence cannot hide.
float tone(int64_t frame, int channel) {
    const double hertz = channel == 0 ? 440.0 : 1000.0;
    const double t = static_cast<double>(frame) / kRate;
    return static_cast<float>(0.5 * std::cos(2.0 * std::numbers::pi * hertz * t));
}

// `hiss`: white noise of that amplitude on top, which makes the encoder spend its whole bit rate (on a pure tone it
// needs far less).
std::shared_ptr<PcmBuffer> toneBuffer(MediaTime time, int64_t firstFrame, int64_t frameCount, float hiss = 0) {
    static std::minstd_rand noise;
    std::vector<float> samples(static_cast<size_t>(frameCount * kChannels));
    for (int64_t i = 0; i < frameCount; ++i) {
        for (int c = 0; c < kChannels; ++c) {
            samples[static_cast<size_t>(i * kChannels + c)] =
                tone(firstFrame + i, c) + hiss * std::uniform_real_distribution<float>(-1, 1)(noise);
        }
    }
    return std::make_shared<PcmBuffer>(time, kRate, kChannels, std::move(samples));
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        output.append(chunk, got);
    }
    ::pclose(pipe);
    return output;
}

// What ffprobe says of the first stream and of the container, as key=value.
std::map<std::string, std::string> probe(const std::string& path) {
    const std::string text =
        run("ffprobe -v error -select_streams a:0 -show_entries "
            "stream=codec_name,profile,sample_rate,channels,bit_rate,duration_ts:format_tags=major_brand "
            "-of default=noprint_wrappers=1 '" +
            path + "' 2>/dev/null");
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string key = line.substr(0, line.find('='));
        values[key.starts_with("TAG:") ? key.substr(4) : key] = line.substr(key.size() + 1);
    }
    return values;
}

// The file decoded by ffmpeg (which applies the file's edit list) to interleaved float stereo.
std::vector<float> decode(const std::string& path) {
    const std::string bytes = run("ffmpeg -v error -nostdin -i '" + path + "' -f f32le -c:a pcm_f32le - 2>/dev/null");
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// What ffmpeg reports while decoding the whole file (nothing for a sound file).
std::string decodingErrors(const std::string& path) {
    return run("ffmpeg -v error -nostdin -i '" + path + "' -f null - 2>&1");
}

auto entries(const fs::path& dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

bool exists(const std::string& path) {
    return fs::exists(fs::symlink_status(path));
}

using testing::ScratchDirectory;

MediaTime at(int64_t frame) {
    return MediaTime::make(frame, kRate);
}

// Nanoseconds since boot, the size a host clock reaches after months of uptime.
constexpr int64_t kHostBase = 9'000'000'000'000'000'000;
MediaTime hostAt(int64_t frame) {
    return MediaTime::make(kHostBase + frame * kNanosPerSecond / kRate, 1'000'000'000);
}

// One buffer as the capture would hand it: `frameCount` frames of the tone from capture frame `firstFrame`, stamped
// `time` (which a faulty clock may set apart from `firstFrame`).
struct Delivery {
    MediaTime time;
    int64_t firstFrame;
    int64_t frameCount;
    float hiss = 0;
};

std::vector<Delivery> steady(int64_t from, int64_t to, int64_t size, float hiss = 0) {
    std::vector<Delivery> deliveries;
    for (int64_t frame = from; frame < to; frame += size) {
        deliveries.push_back({at(frame), frame, std::min(size, to - frame), hiss});
    }
    return deliveries;
}

std::vector<Delivery> operator+(std::vector<Delivery> a, const std::vector<Delivery>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Recording {
    std::shared_ptr<Writer> writer;
    std::shared_ptr<WriterInput> input;
};

// A writer as the recorder sets one up, writing to `path`, its session started and the deliveries appended.

std::optional<Recording> startRecording(FfmpegWriterService& service, const std::string& path,
                                        const std::vector<Delivery>& deliveries = {}, MediaTime session = at(0)) {
    Result<std::shared_ptr<Writer>> made = service.makeWriter(FileLocation{path}, kFileTypeAppleM4A);
    if (!made.ok()) {
        ADD_FAILURE() << made.error().description;
        return std::nullopt;
    }
    Recording recording{made.value(), service.makeWriterInput(kMediaTypeAudio, kSettings)};
    recording.input->setExpectsMediaDataInRealTime(true);
    EXPECT_TRUE(recording.writer->canAddInput(recording.input));
    recording.writer->addInput(recording.input);
    if (!recording.writer->startWriting()) {
        ADD_FAILURE() << "startWriting: " << recording.writer->error().value_or(Error{"no error"}).description;
        return std::nullopt;
    }
    recording.writer->startSession(session);
    for (const Delivery& d : deliveries) {
        EXPECT_TRUE(recording.input->isReadyForMoreMediaData());
        EXPECT_TRUE(recording.input->append(*toneBuffer(d.time, d.firstFrame, d.frameCount, d.hiss)));
    }
    return recording;
}

// Finishes as the recorder does, and checks the completion came exactly once.
WriterStatus finish(Recording& recording) {
    recording.input->markAsFinished();
    int completions = 0;
    recording.writer->finishWriting([&completions] { ++completions; });
    EXPECT_EQ(completions, 1);
    return recording.writer->status();
}

uint64_t bigEndian(const std::string& bytes, size_t at, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value = value << 8U | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// The MPEG-4 boxes of a file: each box's path ("moov/trak/edts/elst") and its content after the header, in file order.
std::vector<std::pair<std::string, std::string>> boxes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::pair<std::string, std::string>> found;
    const std::function<void(size_t, size_t, const std::string&)> walk = [&](size_t at, size_t end,
                                                                             const std::string& parent) {
        while (at + 8 <= end) {
            const uint64_t size = bigEndian(bytes, at, 4);
            const std::string name = parent + bytes.substr(at + 4, 4);
            if (size < 8 || at + size > end) {
                found.emplace_back(name, "truncated");
                return;
            }
            found.emplace_back(name, bytes.substr(at + 8, size - 8));
            if (name.ends_with("moov") || name.ends_with("trak") || name.ends_with("mdia") || name.ends_with("edts")) {
                walk(at + 8, at + size, name + "/");
            }
            at += size;
        }
    };
    walk(0, bytes.size(), "");
    return found;
}

// Stereo AAC-LC at the asked rate in an M4A, whatever the name's extension. While recording, the file at the path is
// fragmented and plays up to its last fragment; at the end it is an ordinary M4A: one index after the audio, no
// fragments, an edit list that hides the priming and ends with the audio.
TEST(FfmpegWriterTest, FragmentedWhileRecordingAnOrdinaryM4aAtTheEnd) {
    for (const std::string name : {"out.m4a", "out.mp4", "out"}) {
        SCOPED_TRACE(name);
        ScratchDirectory dir;
        FfmpegWriterService service;
        const std::string path = dir.file(name);
        constexpr int64_t kLength = 3 * kSecond + 777; // not a whole number of encoder frames
        std::optional<Recording> recording = startRecording(service, path, steady(0, kLength, 480, 0.1F));
        ASSERT_TRUE(recording);
        const auto mode = static_cast<mode_t>(fs::status(path).permissions());

        // Copied away, as a kill would leave it: whole fragments of about a second, so at least two seconds of three.
        const std::string midway = dir.file("midway");
        fs::copy_file(path, midway);
        int fragments = 0;
        for (const auto& [box, content] : boxes(midway)) {
            fragments += box == "moof" ? 1 : 0;
        }
        EXPECT_GE(fragments, 2);
        EXPECT_EQ(decodingErrors(midway), "");
        EXPECT_GE(static_cast<int64_t>(decode(midway).size()) / kChannels - 1024, 2 * kSecond);
        fs::remove(midway);

        ASSERT_EQ(finish(*recording), WriterStatus::completed);
        std::vector<std::string> topLevel;
        std::string elst;
        for (const auto& [box, content] : boxes(path)) {
            topLevel.push_back(box.find('/') == std::string::npos ? box : "");
            elst = box == "moov/trak/edts/elst" ? content : elst;
        }
        std::erase(topLevel, "");
        EXPECT_EQ(topLevel, (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
        // One entry: the audio's length (in the movie's time scale, milliseconds here) from media time 1024.
        ASSERT_EQ(elst.size(), 20U);
        EXPECT_EQ(bigEndian(elst, 4, 4), 1U);
        EXPECT_EQ(bigEndian(elst, 12, 4), 1024U);
        std::map<std::string, std::string> info = probe(path);
        EXPECT_EQ(info["duration_ts"], std::to_string(kLength));
        EXPECT_EQ(info["major_brand"], "M4A ");
        EXPECT_EQ(info["codec_name"] + " " + info["profile"] + " " + info["sample_rate"] + " " + info["channels"],
                  "aac LC 48000 2");
        EXPECT_NEAR(std::stod(info["bit_rate"]), 192000, 40000);
        EXPECT_EQ(decodingErrors(path), "");
        EXPECT_EQ(static_cast<mode_t>(fs::status(path).permissions()), mode);
        EXPECT_EQ(entries(dir.path()), 1); // nothing left over
    }
}

// What the decoded file must hold, in order: silence, or the tone from a capture frame on.
struct Segment {
    int64_t frameCount;
    std::optional<int64_t> toneFrom; // none: silence
};

struct TimingCase {
    std::string name;
    MediaTime sessionStart;
    std::vector<Delivery> deliveries;
    std::vector<Segment> expected;
};

// The writers in these cases bound a gap at half a second, so that a wild jump stays cheap to check.
constexpr int64_t kTestMaxGap = kRate / 2;

const std::vector<TimingCase> kTimingCases = {
    {"uneven buffer sizes are re-chunked without a seam",
     at(0),
     steady(0, 20000, 441) + steady(20000, 40000, 1500) + steady(40000, 48000, 97),
     {{48000, 0}}},
    {"a gap in the times becomes silence of its length, at its place",
     at(0),
     steady(0, 24000, 480) + steady(48000, 72000, 480),
     {{24000, 0}, {24000, std::nullopt}, {24000, 48000}}},
    // Buffers from 18900 to 23700 are wholly overlapped; the one at 23700 is trimmed by 300 frames inside it.
    {"an overlap is trimmed, inside a buffer where it ends there",
     at(0),
     steady(0, 24000, 480) + steady(18900, 48000, 960),
     {{48000, 0}}},
    {"a wild jump writes at most the bound, then follows the new times",
     at(0),
     steady(0, 24000, 480) + steady(24000 + 100 * kSecond, 48000 + 100 * kSecond, 480),
     {{24000, 0}, {kTestMaxGap, std::nullopt}, {24000, 24000 + 100 * kSecond}}},
    {"frames before the session's start are left out", at(4800), steady(0, 48000, 960), {{43200, 4800}}},
};

// Relative RMS difference between the decoded frames [begin, end) and the expected tone, per channel.
double toneError(const std::vector<float>& decoded, int64_t begin, int64_t end, int64_t toneFrom, int channel) {
    double difference = 0;
    double reference = 0;
    for (int64_t i = begin; i < end; ++i) {
        const double expected = tone(toneFrom + i - begin, channel);
        const double got = decoded[static_cast<size_t>(i * kChannels + channel)];
        difference += (got - expected) * (got - expected);
        reference += expected * expected;
    }
    return std::sqrt(difference / reference);
}

double rms(const std::vector<float>& decoded, int64_t begin, int64_t end) {
    double sum = 0;
    for (int64_t i = begin * kChannels; i < end * kChannels; ++i) {
        sum += decoded[static_cast<size_t>(i)] * decoded[static_cast<size_t>(i)];
    }
    return std::sqrt(sum / static_cast<double>((end - begin) * kChannels));
}

TEST(FfmpegWriterTest, TheFileFollowsThePresentationTimes) {
    ScratchDirectory dir;
    FfmpegWriterService service(TimelineLimits{0.005, static_cast<double>(kTestMaxGap) / kRate});
    // AAC smears a sudden start or stop over about a frame; compare away from the joints.
    constexpr int64_t kMargin = 2048;
    for (const TimingCase& c : kTimingCases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("timing.m4a");
        std::optional<Recording> recording = startRecording(service, path, c.deliveries, c.sessionStart);
        ASSERT_TRUE(recording);
        ASSERT_EQ(finish(*recording), WriterStatus::completed);

        const std::vector<float> decoded = decode(path);
        int64_t total = 0;
        for (const Segment& s : c.expected) {
            total += s.frameCount;
        }
        // The file's edit list hides the encoder's priming and the last frame's padding, so its length is exact.
        // FFmpeg 5.1's decoder applies the list's start but not its end: it adds the last frame's padding.
        EXPECT_EQ(probe(path)["duration_ts"], std::to_string(total));
        const int64_t decodedFrames = static_cast<int64_t>(decoded.size()) / kChannels;
        ASSERT_GE(decodedFrames, total);
        ASSERT_LT(decodedFrames, total + 1024);
        int64_t position = 0;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            SCOPED_TRACE("segment " + std::to_string(i));
            const Segment& s = c.expected[i];
            // The first segment is checked from the file's first frame: a leading priming silence would show there.
            const int64_t begin = position + (i == 0 ? 0 : kMargin);
            const int64_t end = position + s.frameCount - (i + 1 == c.expected.size() ? 0 : kMargin);
            if (s.toneFrom) {
                EXPECT_LT(toneError(decoded, begin, end, *s.toneFrom + (begin - position), 0), 0.08);
                EXPECT_LT(toneError(decoded, begin, end, *s.toneFrom + (begin - position), 1), 0.08);
            } else {
                EXPECT_LT(rms(decoded, begin, end), 1e-4);
            }
            position += s.frameCount;
        }
        std::filesystem::remove(path);
    }
}

// A card whose clock runs at `ratio` times its nominal rate, timed as the capture times it (by the system clock):
// the writer absorbs the drift by resampling, so the file is as long as the times say, without a hole or a cut.
TEST(FfmpegWriterTest, AbsorbsACardsDriftWithoutHolesOrCuts) {
    const std::vector<std::tuple<std::string, double, int64_t>> cases = {
        {"half a percent fast", 1.005, 20},
        {"half a percent slow", 0.995, 20},
        {"100 ppm fast", 1.0001, 60},
        {"100 ppm slow", 0.9999, 60},
    };
    ScratchDirectory dir;
    FfmpegWriterService service;
    for (const auto& [name, ratio, seconds] : cases) {
        SCOPED_TRACE(name);
        const std::string path = dir.file("drift.m4a");
        const int64_t total = seconds * kSecond;
        std::vector<Delivery> deliveries;
        for (int64_t frame = 0; frame < total; frame += 960) {
            deliveries.push_back({hostAt(std::llround(static_cast<double>(frame) / ratio)), frame, 960});
        }
        std::optional<Recording> recording = startRecording(service, path, deliveries, hostAt(0));
        ASSERT_TRUE(recording);
        ASSERT_EQ(finish(*recording), WriterStatus::completed);

        // As long as the times say, but for the resampler's lag: the drift times a second (5 ms at 0.5 %).
        const double expected = static_cast<double>(total) / ratio;
        EXPECT_NEAR(std::stod(probe(path)["duration_ts"]), expected, (std::abs(ratio - 1) + 0.001) * kRate);

        // 440 Hz on the left, played at the clock's rate: ratio * 440 Hz in the file. Its phase, window by window,
        // moves only as slowly as the resampler follows; a hole or a cut of even one millisecond jumps by radians.
        const std::vector<float> decoded = decode(path);
        const double hertz = 440.0 * ratio;
        constexpr int64_t kWindow = 480;
        double previous = 0;
        double worstJump = 0;
        double quietest = 1;
        const int64_t frames = static_cast<int64_t>(decoded.size()) / kChannels - 2048;
        for (int64_t start = 1024; start + kWindow <= frames; start += kWindow) {
            double re = 0;
            double im = 0;
            for (int64_t i = start; i < start + kWindow; ++i) {
                const double angle = 2.0 * std::numbers::pi * hertz * static_cast<double>(i) / kRate;
                re += decoded[static_cast<size_t>(i * kChannels)] * std::cos(angle);
                im -= decoded[static_cast<size_t>(i * kChannels)] * std::sin(angle);
            }
            const double phase = std::atan2(im, re);
            if (start > kSecond) { // the resampler takes up the drift within the first half second
                const double jump = std::abs(std::remainder(phase - previous, 2.0 * std::numbers::pi));
                worstJump = std::max(worstJump, jump);
            }
            previous = phase;
            quietest = std::min(quietest, rms(decoded, start, start + kWindow));
        }
        EXPECT_LT(worstJump, 0.2); // the coder's own noise moves it by up to 0.1; a 0.1 ms hole by 0.28
        EXPECT_GT(quietest, 0.3);  // the tone's RMS is 0.35 on each channel
        std::filesystem::remove(path);
    }
}

// A recording cancelled, or released unfinished, leaves nothing at its path; a finished one stays whatever follows.
TEST(FfmpegWriterTest, OnlyAFinishedFileOutlivesItsWriter) {
    ScratchDirectory dir;
    FfmpegWriterService service;
    const std::string path = dir.file("partial.m4a");
    for (const std::string ending : {"cancelled", "released", "finished"}) {
        SCOPED_TRACE(ending);
        std::optional<Recording> recording = startRecording(service, path, steady(0, 9600, 480));
        ASSERT_TRUE(recording);
        if (ending == "finished") {
            ASSERT_EQ(finish(*recording), WriterStatus::completed);
        }
        if (ending != "released") {
            recording->writer->cancelWriting();
            EXPECT_EQ(recording->writer->status(),
                      ending == "finished" ? WriterStatus::completed : WriterStatus::cancelled);
            EXPECT_EQ(exists(path), ending == "finished");
        }
        recording->writer.reset(); // the input outlives it, as in the recorder's fields
        EXPECT_EQ(exists(path), ending == "finished");
        EXPECT_FALSE(recording->input->isReadyForMoreMediaData());
        EXPECT_FALSE(recording->input->append(*toneBuffer(at(9600), 9600, 480)));
        fs::remove(path);
    }
}

// An entry already at the path, or one appearing between the check and the start, is neither replaced nor written
// through (a link's target keeps its content).
TEST(FfmpegWriterTest, NothingAtThePathIsReplacedOrWrittenThrough) {
    ScratchDirectory dir;
    FfmpegWriterService service;
    const std::string target = dir.file("target");
    std::ofstream(target) << "keep";
    struct Entry {
        std::string name;
        std::function<void(const std::string&)> make;
        std::string reason;
    };
    const std::vector<Entry> entries = {
        {"directory", [](const std::string& p) { fs::create_directory(p); }, "Is a directory"},
        {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "File exists"},
        {"file", [](const std::string& p) { std::ofstream(p) << "keep"; }, "File exists"},
        {"link", [&target](const std::string& p) { fs::create_symlink(target, p); }, "File exists"},
        {"dangling link", [](const std::string& p) { fs::create_symlink("/nonexistent/x", p); }, "File exists"},
    };
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.name);
        const std::string path = dir.file(entry.name);
        entry.make(path);
        const fs::file_type before = fs::symlink_status(path).type();
        Result<std::shared_ptr<Writer>> made = service.makeWriter(FileLocation{path}, kFileTypeAppleM4A);
        ASSERT_FALSE(made.ok());
        EXPECT_EQ(made.error().description, "Cannot write to " + path + ": " + entry.reason);
        EXPECT_EQ(fs::symlink_status(path).type(), before);

        const std::string late = dir.file(entry.name + " late");
        Result<std::shared_ptr<Writer>> writer = service.makeWriter(FileLocation{late}, kFileTypeAppleM4A);
        ASSERT_TRUE(writer.ok());
        writer.value()->addInput(service.makeWriterInput(kMediaTypeAudio, kSettings));
        entry.make(late);
        EXPECT_FALSE(writer.value()->startWriting());
        EXPECT_EQ(writer.value()->status(), WriterStatus::failed);
        ASSERT_TRUE(writer.value()->error());
        EXPECT_EQ(writer.value()->error()->description, "Cannot write to " + late + ": File exists");
        writer.value().reset();
        EXPECT_EQ(fs::symlink_status(late).type(), before);
    }
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

// A small file system of our own that fills up; needs root (mount), skipped without it.
struct FullDisk {
    explicit FullDisk(const std::string& size)
        : mounted(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0) {}
    ~FullDisk() {
        if (mounted) {
            ::umount2(dir.path().c_str(), MNT_DETACH);
        }
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;
    ScratchDirectory dir;
    bool mounted;
};

// A disk that fills up keeps the recording made so far: the file ends after its last whole fragment (about a second
// each), decodes without an error, and the writer fails with the system's reason.
TEST(FfmpegWriterTest, AFullDiskKeepsWhatWasRecorded) {
    struct Case {
        std::string name;
        std::string size;
        bool fillBeforeFinish;
        std::string reason; // the error's text after the path
    };
    const std::vector<Case> cases = {
        {"while recording", "64k", false, "No space left on device"},
        {"at the last fragment", "1m", true, "No space left on device"},
        {"at the copy into an ordinary file", "72k", false,
         "No space left on device (the recording stays there, playable, as a fragmented MPEG-4 file)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FullDisk disk(c.size);
        if (!disk.mounted) {
            GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
        }
        FfmpegWriterService service;
        const std::string path = disk.dir.file("full.m4a");
        std::optional<Recording> recording = startRecording(service, path);
        ASSERT_TRUE(recording);

        // status() and error() may be read from any thread while the sample queue appends.
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done) {
                (void)recording->writer->status();
                (void)recording->writer->error();
                std::this_thread::yield();
            }
        });
        // 64 KiB hold under three seconds at 192 kbit/s; ten cannot fit. The other two disks take 2.5 s.
        const int64_t wanted = c.size == "64k" ? 10 * kSecond : 5 * kSecond / 2;
        int64_t frame = 0;
        while (frame < wanted && recording->input->append(*toneBuffer(at(frame), frame, 4800))) {
            frame += 4800;
        }
        done = true;
        reader.join();
        if (c.fillBeforeFinish) {
            std::ofstream filler(disk.dir.file("filler"), std::ios::binary);
            while (filler << std::string(1024, 'x')) {
            }
        }
        const WriterStatus status = finish(*recording);
        EXPECT_EQ(status, WriterStatus::failed);
        ASSERT_TRUE(recording->writer->error());
        const bool copyFails = c.name == "at the copy into an ordinary file";
        const std::string prefix = copyFails ? "Unable to complete " : "Unable to write ";
        EXPECT_EQ(recording->writer->error()->description, prefix + path + ": " + c.reason);
        EXPECT_FALSE(recording->input->isReadyForMoreMediaData());
        recording->writer->cancelWriting();
        EXPECT_EQ(recording->writer->status(), WriterStatus::failed);
        recording.reset();

        ASSERT_TRUE(exists(path));
        EXPECT_EQ(decodingErrors(path), "");
        // Whole fragments only: everything but the last second at most. A fragmented file cannot hide the encoder's
        // priming (1024 frames) or the last frame's padding. The copy failed after the last fragment was written:
        // everything is there.
        const int64_t kept = static_cast<int64_t>(decode(path).size()) / kChannels - 1024;
        EXPECT_LT(kept, frame + 1024);
        EXPECT_GE(kept, copyFails ? frame : frame - kSecond - 1024);
        EXPECT_GT(kept, kSecond / 2);
        EXPECT_EQ(entries(disk.dir.path()), c.fillBeforeFinish ? 2 : 1); // no temporary file left behind
    }
}

} // namespace
} // namespace qfx::platform::linux_backend
