// Presentation times for the Linux capture: sample-counted on CLOCK_MONOTONIC, taken again from the clock when
// frames went missing, so that the file's timeline stays the wall clock's.
#pragma once

#include <cstdint>
#include <ctime>

namespace qfx::platform::linux_backend {

/// Gives each captured fragment the CLOCK_MONOTONIC time of its first frame, in nanoseconds.
///
/// Times advance by frame count from an anchor taken from the clock at the first fragment. The sound server drops
/// record data it could not deliver without telling the client, so every fragment is also held against the clock:
/// when the clock is ahead of the count by more than `lossThresholdNs`, frames were lost and the anchor is taken
/// again, which leaves a gap in the times (the writer fills it with silence). A clock behind the count is a burst
/// of late data, not a loss: the count stands. A hole the server reports is skipped by its length, and a
/// restarted source (another monitor after the output changed) takes the clock's time whenever that is later.
///
/// Used on one thread at a time (the capture's main-loop thread, or its control thread with the loop locked).
class CaptureClock {
public:
    CaptureClock(int32_t sampleRate, int64_t lossThresholdNs)
        : sampleRate_(sampleRate), lossThresholdNs_(lossThresholdNs) {}

    /// The time of a fragment of `frameCount` frames whose first frame the server's latest timing snapshot puts at
    /// `capturedAtNs`; counts the frames as placed.
    int64_t place(int64_t frameCount, int64_t capturedAtNs) {
        if (!anchored_) {
            anchor(capturedAtNs);
        } else {
            const int64_t counted = endNs();
            if (capturedAtNs - counted > (restarted_ ? 0 : lossThresholdNs_)) {
                anchor(capturedAtNs);
                ++reanchorCount_;
            }
        }
        restarted_ = false;
        const int64_t time = endNs();
        frames_ += frameCount;
        return time;
    }

    /// `frameCount` frames that the server marked as missing: their time passes without audio.
    void skip(int64_t frameCount) {
        if (anchored_) {
            frames_ += frameCount;
            restarted_ = true;
        }
    }

    /// The source was replaced: the next fragment takes the clock's time if that is later than the count.
    void restart() { restarted_ = true; }

    /// Whether a fragment was placed yet.
    [[nodiscard]] bool anchored() const { return anchored_; }
    /// The time just after the last frame placed (or skipped).
    [[nodiscard]] int64_t endNs() const { return anchorNs_ + framesToNs(frames_); }
    /// How often the anchor was taken again after the first fragment (losses, holes, restarts).
    [[nodiscard]] int64_t reanchorCount() const { return reanchorCount_; }

    [[nodiscard]] int64_t framesToNs(int64_t frames) const {
        // Split so that a long recording cannot overflow frames * 1e9.
        return frames / sampleRate_ * kNanosPerSecond + frames % sampleRate_ * kNanosPerSecond / sampleRate_;
    }

    static constexpr int64_t kNanosPerSecond = 1'000'000'000;

    static int64_t monotonicNowNs() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
    }

private:
    void anchor(int64_t atNs) {
        anchored_ = true;
        anchorNs_ = atNs;
        frames_ = 0;
    }

    int32_t sampleRate_;
    int64_t lossThresholdNs_;
    bool anchored_ = false;
    bool restarted_ = false;
    int64_t anchorNs_ = 0;
    int64_t frames_ = 0; ///< frames placed or skipped since the anchor
    int64_t reanchorCount_ = 0;
};

} // namespace qfx::platform::linux_backend
