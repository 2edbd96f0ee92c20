// Presentation times for the Linux capture: CLOCK_MONOTONIC times of the captured frames, following the sound card's
// own rate, taken again from the clock when frames went missing, so that the file's timeline stays the wall clock's.
#pragma once

#include <cstdint>
#include <ctime>

namespace qfx::platform::linux_backend {

/// Gives each captured fragment the CLOCK_MONOTONIC time of its first frame, in nanoseconds.
///
/// A sound card's clock is never exactly its nominal rate: tens to a hundred parts per million off, more on a
/// simulated card. Counting frames at the nominal rate would let the file drift from the clock (an hour at 100 ppm is
/// 0.36 s), so times advance by frame count at an estimated rate, and a delay-locked loop keeps the estimate and the
/// times on the server's timing snapshots (`capturedAtNs`, the time the latest snapshot gives the fragment's first
/// frame). The snapshots jitter by a few milliseconds, and a sink's latency moves by a fragment when players come
/// and go, and neither is drift: the count stands while the snapshots stay within a dead band of 15 ms, and beyond it
/// a slow loop (bandwidth `bandwidthHz`) corrects the time and the rate. A card on time is thus counted exactly, and a
/// drifting one is followed within about the dead band; the times stay smooth, so the writer can follow them by
/// resampling imperceptibly instead of cutting or padding.
///
/// The server drops record data it could not deliver without telling the client, so when the snapshot's time is
/// ahead of the estimate by more than `lossThresholdNs`, frames were lost and the anchor is taken again, which
/// leaves a gap in the times (the writer fills it with silence); the rate estimate survives it. A hole the server
/// reports is skipped by its length, and a restarted source (another monitor after the output changed) takes the
/// snapshot's time whenever that is later, and otherwise continues the count.
///
/// Used on one thread at a time (the capture's main-loop thread, or its control thread with the loop locked).
class CaptureClock {
public:
    /// Follows a frequency offset within about ten seconds, and a step in the snapshots' times over about as long.
    static constexpr double kDefaultBandwidthHz = 0.05;

    CaptureClock(int32_t sampleRate, int64_t lossThresholdNs, double bandwidthHz = kDefaultBandwidthHz);

    /// The time of a fragment of `frameCount` frames whose first frame the server's latest timing snapshot puts at
    /// `capturedAtNs`; counts the frames as placed.
    int64_t place(int64_t frameCount, int64_t capturedAtNs);

    /// `frameCount` frames that the server marked as missing: their time passes without audio.
    void skip(int64_t frameCount);

    /// The source was replaced: the next fragment takes the clock's time if that is later than the count.
    void restart() { restarted_ = true; }

    /// Whether a fragment was placed yet.
    [[nodiscard]] bool anchored() const { return anchored_; }
    /// The time just after the last frame placed (or skipped).
    [[nodiscard]] int64_t endNs() const;
    /// How often the anchor was taken again after the first fragment (losses, holes, restarts).
    [[nodiscard]] int64_t reanchorCount() const { return reanchorCount_; }
    /// The card's estimated rate against its nominal one (1.005: half a percent fast).
    [[nodiscard]] double rateRatio() const { return nominalNsPerFrame_ / nsPerFrame_; }

    /// Nanoseconds of `frames` at the nominal rate.
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
    void anchor(int64_t atNs);
    void follow(double errorNs);
    void advance(int64_t frameCount);

    int32_t sampleRate_;
    int64_t lossThresholdNs_;
    double bandwidthHz_;
    double nominalNsPerFrame_;
    double nsPerFrame_; ///< the estimated duration of one of the card's frames
    bool anchored_ = false;
    bool restarted_ = false;
    int64_t anchorNs_ = 0;
    double sinceAnchorNs_ = 0;  ///< the estimated time of the next frame, from the anchor (small: stays exact)
    int64_t sinceFollowed_ = 0; ///< frames since the loop last corrected
    int64_t reanchorCount_ = 0;
};

} // namespace qfx::platform::linux_backend
