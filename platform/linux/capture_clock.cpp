#include "platform/linux/capture_clock.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qfx::platform::linux_backend {

namespace {

// No real card is this far off; a wilder estimate would come from faulty snapshots.
constexpr double kMaxRateOffset = 0.02;
// Larger than the snapshots' jitter and a fragment's worth of latency change (20 ms), and well inside the loss threshold.
constexpr double kDeadBandNs = 15e6;

} // namespace

CaptureClock::CaptureClock(int32_t sampleRate, int64_t lossThresholdNs, double bandwidthHz)
    : sampleRate_(sampleRate), lossThresholdNs_(lossThresholdNs), bandwidthHz_(bandwidthHz),
      nominalNsPerFrame_(static_cast<double>(kNanosPerSecond) / sampleRate), nsPerFrame_(nominalNsPerFrame_) {}

int64_t CaptureClock::place(int64_t frameCount, int64_t capturedAtNs) {
    if (!anchored_) {
        anchor(capturedAtNs);
    } else {
        const double error = static_cast<double>(capturedAtNs - anchorNs_) - sinceAnchorNs_;
        if (error > (restarted_ ? 0.0 : static_cast<double>(lossThresholdNs_))) {
            anchor(capturedAtNs);
            ++reanchorCount_;
        } else if (!restarted_) {
            follow(error);
        }
    }
    restarted_ = false;
    const int64_t time = endNs();
    advance(frameCount);
    return time;
}

void CaptureClock::skip(int64_t frameCount) {
    if (anchored_) {
        advance(frameCount);
        restarted_ = true;
    }
}

int64_t CaptureClock::endNs() const {
    return anchorNs_ + std::llround(sinceAnchorNs_);
}

void CaptureClock::anchor(int64_t atNs) {
    anchored_ = true;
    anchorNs_ = atNs;
    sinceAnchorNs_ = 0;
    sinceFollowed_ = 0;
}

// One step of a second-order delay-locked loop: the time moves by part of the error, the rate by a smaller part, so
// that a card off its nominal rate is followed without a lasting error while jitter is averaged away. Gains scale
// with the stretch since the last step, so fragments of any size (and bursts of them) keep the same bandwidth.
void CaptureClock::follow(double errorNs) {
    if (sinceFollowed_ <= 0) {
        return;
    }
    // Within the dead band the count stands and the rate is kept: a sink's latency moves by up to a fragment when
    // players come and go, and following that would bend the pitch for seconds. Beyond it the loop follows, and a
    // single snapshot far off (a stalled server) moves it no more than a moderate one.
    const double limit = static_cast<double>(lossThresholdNs_) / 2;
    const double beyond = std::abs(errorNs) <= kDeadBandNs ? 0.0 : errorNs - std::copysign(kDeadBandNs, errorNs);
    const double error = std::clamp(beyond, -limit, limit);
    const double stretchSeconds =
        static_cast<double>(sinceFollowed_) * nsPerFrame_ / static_cast<double>(kNanosPerSecond);
    const double omega = std::min(2 * std::numbers::pi * bandwidthHz_ * stretchSeconds, 0.5);
    sinceAnchorNs_ += std::numbers::sqrt2 * omega * error;
    nsPerFrame_ += omega * omega * error / static_cast<double>(sinceFollowed_);
    nsPerFrame_ =
        std::clamp(nsPerFrame_, nominalNsPerFrame_ * (1 - kMaxRateOffset), nominalNsPerFrame_ * (1 + kMaxRateOffset));
    sinceFollowed_ = 0;
}

void CaptureClock::advance(int64_t frameCount) {
    sinceAnchorNs_ += static_cast<double>(frameCount) * nsPerFrame_;
    sinceFollowed_ += frameCount;
}

} // namespace qfx::platform::linux_backend
