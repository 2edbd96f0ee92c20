#include "platform/timeline.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qfx::platform {
namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kSecond = kRate; // frames
constexpr int64_t kTolerance = 100;
constexpr int64_t kMaxGap = kRate; // one second
constexpr int32_t kNanos = 1'000'000'000;

MediaTime frames(int64_t count) {
    return MediaTime::make(count, kRate);
}
MediaTime nanos(int64_t count) {
    return MediaTime::make(count, kNanos);
}
const MediaTime kInvalid{};
const MediaTime kInfinite{0, 1, MediaTime::kValid | MediaTime::kPositiveInfinity, 0};

// What the writer reports as written after a placement: by default all of it.
struct Written {
    int64_t silence = kAll;
    int64_t buffer = kAll;
    static constexpr int64_t kAll = -1;
};

// A buffer, where it must go (within the tolerance it is packed, and `drift` says by how much its time is off, for a
// writer that resamples it away), and what the writer wrote of it.
struct Step {
    MediaTime start;
    int64_t frameCount;
    int64_t silence;
    int64_t skip;
    int64_t drift = 0;
    Written written = {};
};

struct Case {
    std::string name;
    MediaTime sessionStart;
    std::vector<Step> steps;
};

// Host clocks run in nanoseconds since boot; these sit close to the largest such value a signed 64-bit count holds.
constexpr int64_t kHostBase = 9'000'000'000'000'000'000;

// Each step's expected placement and what the writer then wrote of it, in the order the buffers arrive.
const std::vector<Case> kCases = {
    {"buffers that follow each other exactly are packed",
     frames(0),
     {{frames(0), 480, 0, 0}, {frames(480), 480, 0, 0}, {frames(960), 1, 0, 0}}},
    {"a late buffer within the tolerance is packed",
     frames(0),
     {{frames(0), 480, 0, 0}, {frames(480 + kTolerance), 480, 0, 0, kTolerance}}},
    {"an early buffer within the tolerance is packed, and one beyond it trimmed",
     frames(0),
     {{frames(0), 480, 0, 0}, {frames(480 - kTolerance), 480, 0, 0, -kTolerance}, {frames(859), 480, 0, 101}}},
    {"drift within the tolerance is caught up once it exceeds it",
     frames(0),
     {{frames(0), 480, 0, 0}, {frames(480 + 90), 480, 0, 0, 90}, {frames(960 + 180), 480, 180, 0}}},
    {"a gap beyond the tolerance becomes silence of its length",
     frames(0),
     {{frames(0), 480, 0, 0}, {frames(480 + kTolerance + 1), 480, kTolerance + 1, 0}, {frames(1061), 10, 0, 0}}},
    {"a gap of exactly the bound is filled in full",
     frames(0),
     {{frames(0), 480, 0, 0}, {frames(480 + kMaxGap), 480, kMaxGap, 0}, {frames(960 + kMaxGap), 480, 0, 0}}},
    {"a partial overlap is trimmed from the buffer's start",
     frames(0),
     {{frames(0), 960, 0, 0}, {frames(960 - 300), 480, 0, 300}, {frames(1140), 480, 0, 0}}},
    {"a buffer wholly overlapped is dropped and the next one still fits",
     frames(0),
     {{frames(0), 960, 0, 0}, {frames(0), 480, 0, 480}, {frames(960), 480, 0, 0}}},
    {"frames before the session's start are left out",
     frames(1000),
     {{frames(500), 1000, 0, 500}, {frames(1500), 480, 0, 0}}},
    {"a wild jump forward writes the bound, and later buffers follow the new time",
     frames(0),
     {{frames(0), 480, 0, 0},
      {frames(480 + 10 * kSecond), 480, kMaxGap, 0},
      {frames(960 + 10 * kSecond), 480, 0, 0},
      {frames(1440 + 10 * kSecond + 200), 480, 200, 0}}},
    {"a wild jump back is packed, and later buffers follow the new time",
     frames(10 * kSecond),
     {{frames(10 * kSecond), 480, 0, 0},
      {frames(0), 480, 0, 0},
      {frames(480), 480, 0, 0},
      {frames(480), 480, 0, 480},
      {frames(960 + 300), 480, 300, 0}}},
    {"a buffer without a numeric time is packed",
     frames(0),
     {{frames(0), 480, 0, 0}, {kInvalid, 480, 0, 0}, {kInfinite, 480, 0, 0}, {frames(1440), 480, 0, 0}}},
    {"nanosecond times round to the nearest frame",
     nanos(0),
     {{nanos(0), 480, 0, 0},
      {nanos(10'000'000 + 2'091'666), 480, 0, 0, 100}, // 100.4 frames late: within the tolerance
      {nanos(20'000'000 + 2'095'834), 480, 101, 0},    // 100.6 frames late: one beyond it
      {nanos(32'104'167), 480, 0, 0}}},
    {"host-time-sized values keep frame accuracy",
     nanos(kHostBase),
     {{nanos(kHostBase), 480, 0, 0},
      {nanos(kHostBase + 10'000'000), 480, 0, 0},
      {nanos(kHostBase + 20'000'000 + 10'000'000), 480, 480, 0},
      {MediaTime::make(kHostBase / 1000 + 40'000, 1'000'000), 480, 0, 0}}},
    // A start stamp a little off the first audio would otherwise be packed, or bent away by a resampling writer.
    {"a first buffer a little late is placed exactly", frames(0), {{frames(50), 480, 50, 0}}},
    {"a first buffer a little early is placed exactly", frames(0), {{frames(-50), 480, 0, 50}}},
    {"a buffer the writer dropped becomes silence before the next",
     frames(0),
     {{frames(0), 480, 0, 0},
      {frames(480), 480, 0, 0, 0, {0, 0}},
      {frames(960), 480, 480, 0},
      {frames(1440), 10, 0, 0}}},
    {"nothing written at the start leaves the session's first frames to silence",
     frames(0),
     {{frames(0), 480, 0, 0, 0, {0, 0}}, {frames(480), 480, 480, 0}}},
    {"silence cut short is carried with the dropped buffer into the next gap",
     frames(0),
     {{frames(0), 480, 0, 0},
      {frames(480 + 24000), 480, 24000, 0, 0, {10000, 0}},
      {frames(960 + 24000), 480, 14000 + 480, 0, 0, {0, 0}},
      {frames(1440 + 24000), 480, 14000 + 960, 0},
      {frames(1920 + 24000), 480, 0, 0}}},
    {"a trimmed buffer the writer dropped leaves only the part past the overlap as gap",
     frames(0),
     {{frames(0), 960, 0, 0}, {frames(960 - 300), 480, 0, 300, 0, {0, 0}}, {frames(1140), 480, 180, 0}}},
    {"after a wild jump, the bounded silence cut short is carried without a second jump",
     frames(0),
     {{frames(0), 480, 0, 0},
      {frames(480 + 10 * kSecond), 480, kMaxGap, 0, 0, {1000, 0}},
      {frames(960 + 10 * kSecond), 480, kMaxGap - 1000 + 480, 0},
      {frames(1440 + 10 * kSecond), 480, 0, 0}}},
    {"an unplaceable buffer that was dropped counts nothing",
     frames(0),
     {{frames(0), 480, 0, 0}, {kInvalid, 480, 0, 0, 0, {0, 0}}, {frames(480), 480, 0, 0}}},
};

TEST(TimelineTest, PlacesEachBufferAgainstWhatWasWritten) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Timeline timeline(kRate, kTolerance, kMaxGap);
        timeline.start(c.sessionStart);
        int64_t written = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("buffer " + std::to_string(i));
            const Step& step = c.steps[i];
            const Timeline::Placement placement = timeline.place(step.start, step.frameCount);
            EXPECT_EQ(placement.silenceFrames, step.silence);
            EXPECT_EQ(placement.skipFrames, step.skip);
            EXPECT_EQ(placement.driftFrames, step.drift);
            EXPECT_EQ(timeline.writtenFrames(), written) << "planning counts nothing";
            const int64_t silence = step.written.silence == Written::kAll ? step.silence : step.written.silence;
            const int64_t kept =
                step.written.buffer == Written::kAll ? step.frameCount - step.skip : step.written.buffer;
            timeline.wrote(silence, kept);
            written += silence + kept;
            EXPECT_EQ(timeline.writtenFrames(), written);
        }
    }
}

} // namespace
} // namespace qfx::platform
