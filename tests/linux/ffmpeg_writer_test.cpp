// The FFmpeg writer's files, checked by what ffprobe and ffmpeg make of them: the format, the channels, the timing
// (no priming silence, gaps, overlaps, jumps), and what is left at the path after cancelling, failing or refusing.
#include "platform/linux/ffmpeg_writer.h"
#include "platform/linux/pcm_buffer.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace qfx::platform::linux_backend {
namespace {

namespace fs = std::filesystem;

constexpr int32_t kRate = 48000;
constexpr int64_t kSecond = kRate; // frames
constexpr int32_t kChannels = 2;

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

std::shared_ptr<PcmBuffer> toneBuffer(MediaTime time, int64_t firstFrame, int64_t frameCount) {
    std::vector<float> samples(static_cast<size_t>(frameCount * kChannels));
    for (int64_t i = 0; i < frameCount; ++i) {
        for (int c = 0; c < kChannels; ++c) {
            samples[static_cast<size_t>(i * kChannels + c)] = tone(firstFrame + i, c);
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

// What ffprobe says of the file: `entries` as ffprobe's -show_entries takes them, values comma separated.
std::string probe(const std::string& path, const std::string& entries) {
    std::string text = run("ffprobe -v error -show_entries " + entries + " -of csv=p=0 '" + path + "' 2>/dev/null");
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

// The file decoded by ffmpeg (which applies the file's edit list) to interleaved float stereo.
std::vector<float> decode(const std::string& path) {
    const std::string bytes = run("ffmpeg -v error -nostdin -i '" + path + "' -f f32le -c:a pcm_f32le - 2>/dev/null");
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "qfx-writer-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A writer as the recorder sets one up, writing to `path`.
struct Recording {
    std::shared_ptr<Writer> writer;
    std::shared_ptr<WriterInput> input;
};

std::optional<Recording> startRecording(FfmpegWriterService& service, const std::string& path) {
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

// One buffer as the capture would hand it: `frameCount` frames of the tone from capture frame `firstFrame`, stamped
// with that frame's time.
struct Delivery {
    int64_t firstFrame;
    int64_t frameCount;
};

// What the decoded file must hold, in order: silence, or the tone from a capture frame on.
struct Segment {
    int64_t frameCount;
    std::optional<int64_t> toneFrom; // none: silence
};

struct TimingCase {
    std::string name;
    std::vector<Delivery> deliveries;
    std::vector<Segment> expected;
};

MediaTime at(int64_t frame) {
    return MediaTime::make(frame, kRate);
}

std::vector<Delivery> steady(int64_t from, int64_t to, int64_t size) {
    std::vector<Delivery> deliveries;
    for (int64_t frame = from; frame < to; frame += size) {
        deliveries.push_back({frame, std::min(size, to - frame)});
    }
    return deliveries;
}

std::vector<Delivery> operator+(std::vector<Delivery> a, const std::vector<Delivery>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<TimingCase> kTimingCases = {
    {"uneven buffer sizes are re-chunked without a seam",
     steady(0, 20000, 441) + steady(20000, 40000, 1500) + steady(40000, 48000, 97),
     {{48000, 0}}},
    {"a gap in the times becomes silence of its length, at its place",
     steady(0, 24000, 480) + steady(48000, 72000, 480),
     {{24000, 0}, {24000, std::nullopt}, {24000, 48000}}},
    {"an overlap ending inside a buffer is trimmed inside it",
     steady(0, 24000, 480) + steady(23700, 48000, 960),
     {{48000, 0}}},
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
    TempDir dir;
    FfmpegWriterService service;
    // AAC smears a sudden start or stop over about a frame; compare away from the joints.
    constexpr int64_t kMargin = 2048;
    for (const TimingCase& c : kTimingCases) {
        SCOPED_TRACE(c.name);
        // Whatever the path's extension, the file is stereo AAC-LC in an M4A container.
        const std::string path = dir.file("timing" + std::string(c.name.size() % 2 == 0 ? ".mp4" : ""));
        std::optional<Recording> recording = startRecording(service, path);
        ASSERT_TRUE(recording);
        recording->writer->startSession(at(0));
        for (const Delivery& d : c.deliveries) {
            ASSERT_TRUE(recording->input->append(*toneBuffer(at(d.firstFrame), d.firstFrame, d.frameCount)));
        }
        ASSERT_EQ(finish(*recording), WriterStatus::completed);

        const std::vector<float> decoded = decode(path);
        int64_t total = 0;
        for (const Segment& s : c.expected) {
            total += s.frameCount;
        }
        // The file's edit list hides the encoder's priming and the last frame's padding, so its length is exact.
        // FFmpeg 5.1's decoder applies the list's start but not its end: it adds the last frame's padding.
        EXPECT_EQ(probe(path, "stream=duration_ts"), std::to_string(total));
        EXPECT_EQ(probe(path, "stream=codec_name,profile,sample_rate,channels"), "aac,LC,48000,2");
        EXPECT_EQ(probe(path, "format_tags=major_brand"), "M4A ");
        if (c.expected.size() == 1) { // silence takes fewer bits
            EXPECT_NEAR(std::stol(probe(path, "stream=bit_rate")), 192000, 40000);
        }
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

TEST(FfmpegWriterTest, CancelOrReleaseBeforeTheFinishRemovesTheFile) {
    TempDir dir;
    FfmpegWriterService service;
    const std::string path = dir.file("partial.m4a");
    for (const bool cancel : {true, false}) {
        std::optional<Recording> recording = startRecording(service, path);
        ASSERT_TRUE(recording);
        recording->writer->startSession(at(0));
        for (int64_t frame = 0; frame < 9600; frame += 480) {
            EXPECT_TRUE(recording->input->append(*toneBuffer(at(frame), frame, 480)));
        }
        if (cancel) {
            recording->writer->cancelWriting();
            EXPECT_EQ(recording->writer->status(), WriterStatus::cancelled);
        } else {
            recording->writer.reset(); // the input outlives it, as in the recorder's fields
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
        EXPECT_FALSE(recording->input->append(*toneBuffer(at(9600), 9600, 480)));
    }
}

TEST(FfmpegWriterTest, NothingAtThePathIsReplacedOrWrittenThrough) {
    TempDir dir;
    FfmpegWriterService service;
    const std::string target = dir.file("target");
    std::ofstream(target) << "keep";
    const struct {
        std::string name;
        std::function<void(const std::string&)> make;
        std::string reason;
    } entries[] = {
        {"directory", [](const std::string& p) { fs::create_directory(p); }, "Is a directory"},
        {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "File exists"},
        {"file", [](const std::string& p) { std::ofstream(p) << "keep"; }, "File exists"},
        {"link", [&target](const std::string& p) { fs::create_symlink(target, p); }, "File exists"},
        {"dangling link", [](const std::string& p) { fs::create_symlink("/nonexistent/x", p); }, "File exists"},
    };
    for (const auto& entry : entries) {
        SCOPED_TRACE(entry.name);
        const std::string path = dir.file(entry.name);
        entry.make(path);
        const fs::file_type before = fs::symlink_status(path).type();
        Result<std::shared_ptr<Writer>> made = service.makeWriter(FileLocation{path}, kFileTypeAppleM4A);
        ASSERT_FALSE(made.ok());
        EXPECT_EQ(made.error().description, "Cannot write to " + path + ": " + entry.reason);
        EXPECT_EQ(fs::symlink_status(path).type(), before);

        // The same entry appearing between the check and the start: the start fails and leaves it.
        const std::string late = dir.file(entry.name + " late");
        Result<std::shared_ptr<Writer>> writer = service.makeWriter(FileLocation{late}, kFileTypeAppleM4A);
        ASSERT_TRUE(writer.ok());
        const auto input = service.makeWriterInput(kMediaTypeAudio, kSettings);
        writer.value()->addInput(input);
        entry.make(late);
        EXPECT_FALSE(writer.value()->startWriting());
        EXPECT_EQ(writer.value()->status(), WriterStatus::failed);
        EXPECT_EQ(writer.value()->error(), Error{"Cannot write to " + late + ": File exists"});
        writer.value().reset();
        EXPECT_EQ(fs::symlink_status(late).type(), before);
    }
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

TEST(FfmpegWriterTest, AFullDiskFailsTheWriterWithTheSystemsReason) {
    const TempDir dir;
    if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    const std::shared_ptr<void> unmount(nullptr, [&dir](void*) { ::umount2(dir.path().c_str(), MNT_DETACH); });
    FfmpegWriterService service;
    const std::string path = dir.file("full.m4a");
    std::optional<Recording> recording = startRecording(service, path);
    ASSERT_TRUE(recording);
    recording->writer->startSession(at(0));

    // status() and error() may be read from any thread while the sample queue appends.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            (void)recording->writer->status();
            (void)recording->writer->error();
            std::this_thread::yield();
        }
    });
    int64_t frame = 0;
    // 64 KiB hold under three seconds at 192 kbit/s; ten seconds cannot fit.
    while (frame < 10 * kSecond && recording->input->append(*toneBuffer(at(frame), frame, 4800))) {
        frame += 4800;
    }
    done = true;
    reader.join();

    EXPECT_LT(frame, 10 * kSecond);
    EXPECT_EQ(recording->writer->status(), WriterStatus::failed);
    ASSERT_TRUE(recording->writer->error());
    EXPECT_EQ(recording->writer->error()->description, "Unable to write " + path + ": No space left on device");
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))); // a broken file is not left behind
    EXPECT_FALSE(recording->input->isReadyForMoreMediaData());
    EXPECT_FALSE(recording->input->append(*toneBuffer(at(frame), frame, 480)));
    EXPECT_EQ(finish(*recording), WriterStatus::failed);
    EXPECT_EQ(recording->writer->error()->description, "Unable to write " + path + ": No space left on device");
    recording->writer->cancelWriting();
    EXPECT_EQ(recording->writer->status(), WriterStatus::failed);
}

} // namespace
} // namespace qfx::platform::linux_backend
