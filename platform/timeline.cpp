#include "platform/timeline.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace qfx::platform {

namespace {

// Frames from `from` to `to` at `rate`, rounded to the nearest frame. Capture clocks run in large host-time units
// (nanoseconds since boot), so the difference is taken before scaling to keep it exact and free of overflow.
int64_t framesBetween(MediaTime from, MediaTime to, int32_t rate) {
    if (from.timescale == to.timescale) {
        const auto units = static_cast<long double>(to.value - from.value);
        return std::llround(units * rate / from.timescale);
    }
    const long double seconds =
        static_cast<long double>(to.value) / to.timescale - static_cast<long double>(from.value) / from.timescale;
    return std::llround(seconds * rate);
}

} // namespace

Timeline::Timeline(int32_t sampleRate, int64_t toleranceFrames, int64_t maxGapFrames)
    : sampleRate_(sampleRate), toleranceFrames_(toleranceFrames), maxGapFrames_(maxGapFrames) {
    assert(sampleRate > 0 && toleranceFrames >= 0 && maxGapFrames >= toleranceFrames);
}

void Timeline::start(MediaTime sessionStart) {
    origin_ = sessionStart;
    shift_ = 0;
    written_ = 0;
}

Timeline::Placement Timeline::place(MediaTime bufferStart, int64_t frameCount) {
    Placement placement;
    if (!bufferStart.isNumeric() || !origin_.isNumeric()) {
        written_ += frameCount;
        return placement;
    }
    int64_t offset = framesBetween(origin_, bufferStart, sampleRate_) - shift_ - written_;
    if (offset > maxGapFrames_ || offset < -maxGapFrames_) {
        // A jump no real gap or overlap explains (a clock that stepped): fill at most the bound and take the
        // buffer's time as the new reference, so later buffers pack against it instead of each jumping again.
        const int64_t kept = offset > 0 ? maxGapFrames_ : 0;
        shift_ += offset - kept;
        offset = kept;
    }
    if (offset > toleranceFrames_) {
        placement.silenceFrames = offset;
    } else if (offset < -toleranceFrames_) {
        placement.skipFrames = std::min(-offset, frameCount);
    }
    written_ += placement.silenceFrames + (frameCount - placement.skipFrames);
    return placement;
}

} // namespace qfx::platform
