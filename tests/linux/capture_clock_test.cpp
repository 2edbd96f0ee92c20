// The capture's presentation-time arithmetic: sample counting, losses against the clock, bursts, holes, restarts.
#include "platform/linux/capture_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace qfx::platform::linux_backend {
namespace {

constexpr int32_t kRate = 48000;
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kThreshold = 40 * kMs;
constexpr int64_t kFragment = 960; // 20 ms

struct Step {
    enum Kind { place, skip, restart } kind;
    int64_t frames;
    int64_t capturedAtMs; ///< the server's time for the first frame (place only)
    int64_t expectedMs;   ///< the presentation time given (place only)
};

TEST(CaptureClockTest, PlacesFragments) {
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"the first fragment anchors at its capture time, the next ones count samples",
         {{Step::place, kFragment, 1000, 1000},
          {Step::place, kFragment, 1021, 1020},
          {Step::place, kFragment, 1039, 1040}}},
        {"a clock ahead by up to the threshold is jitter",
         {{Step::place, kFragment, 1000, 1000},
          {Step::place, kFragment, 1060, 1020},
          {Step::place, kFragment, 1080, 1040}}},
        {"a clock ahead by more than the threshold is a loss: times jump to the clock",
         {{Step::place, kFragment, 1000, 1000},
          {Step::place, kFragment, 1520, 1520},
          {Step::place, kFragment, 1540, 1540}}},
        {"a clock behind the count is a burst of late data: the count stands",
         {{Step::place, kFragment, 1000, 1000},
          {Step::place, kFragment, 900, 1020},
          {Step::place, kFragment, 0, 1040}}},
        {"a hole takes its time without audio",
         {{Step::place, kFragment, 1000, 1000}, {Step::skip, 4800, 0, 0}, {Step::place, kFragment, 1120, 1120}}},
        {"after a hole the clock decides as soon as it is later",
         {{Step::place, kFragment, 1000, 1000}, {Step::skip, kFragment, 0, 0}, {Step::place, kFragment, 1045, 1045}}},
        {"a hole before the first fragment changes nothing",
         {{Step::skip, 4800, 0, 0}, {Step::place, kFragment, 1000, 1000}}},
        {"a restarted source begins at the clock's time when that is later",
         {{Step::place, kFragment, 1000, 1000}, {Step::restart, 0, 0, 0}, {Step::place, kFragment, 1030, 1030}}},
        {"a restarted source never overlaps what was placed",
         {{Step::place, kFragment, 1000, 1000}, {Step::restart, 0, 0, 0}, {Step::place, kFragment, 990, 1020}}},
        {"after a restart the threshold applies again",
         {{Step::place, kFragment, 1000, 1000},
          {Step::restart, 0, 0, 0},
          {Step::place, kFragment, 1030, 1030},
          {Step::place, kFragment, 1080, 1050}}},
    };
    for (const auto& c : cases) {
        CaptureClock clock(kRate, kThreshold);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            switch (step.kind) {
            case Step::place:
                EXPECT_EQ(clock.place(step.frames, step.capturedAtMs * kMs), step.expectedMs * kMs)
                    << c.name << ", step " << i;
                break;
            case Step::skip:
                clock.skip(step.frames);
                break;
            case Step::restart:
                clock.restart();
                break;
            }
        }
    }
}

TEST(CaptureClockTest, CountsLongRecordingsExactly) {
    const CaptureClock clock(kRate, kThreshold);
    constexpr int64_t kHundredHours = int64_t{kRate} * 3600 * 100;
    EXPECT_EQ(clock.framesToNs(kHundredHours), int64_t{3600} * 100 * 1'000'000'000);
    EXPECT_EQ(clock.framesToNs(kHundredHours + 1), int64_t{3600} * 100 * 1'000'000'000 + 20'833);
}

} // namespace
} // namespace qfx::platform::linux_backend
