#include "platform/timeline.h"

#include <algorithm>
#include <cassert>

namespace qfx::platform {

namespace {

__extension__ typedef __int128 Wide; // NOLINT(modernize-use-using): the extension marker needs a typedef

// Farther than any real distance between two buffers, and small enough that sums of a few such values stay in range.
constexpr int64_t kFarthest = int64_t{1} << 60;

// Frames from `from` to `to` at `rate`, rounded to the nearest frame (halves away from zero), clamped to
// ±kFarthest. Capture clocks count host time in large units (nanoseconds since boot), and a faulty time stamp may
// hold any value: cross-multiplied in 128 bits (at most 2^126 here), the result is exact for every input.
int64_t framesBetween(MediaTime from, MediaTime to, int32_t rate) {
    const Wide numerator =
        (static_cast<Wide>(to.value) * from.timescale - static_cast<Wide>(from.value) * to.timescale) * rate;
    const Wide denominator = static_cast<Wide>(from.timescale) * to.timescale;
    const Wide half = denominator / 2;
    const Wide frames = (numerator >= 0 ? numerator + half : numerator - half) / denominator;
    return static_cast<int64_t>(std::clamp<Wide>(frames, -kFarthest, kFarthest));
}

} // namespace

Timeline::Timeline(int32_t sampleRate, int64_t toleranceFrames, int64_t maxGapFrames)
    : sampleRate_(sampleRate), toleranceFrames_(toleranceFrames), maxGapFrames_(maxGapFrames) {
    assert(sampleRate > 0 && toleranceFrames >= 0 && maxGapFrames >= toleranceFrames && maxGapFrames < kFarthest);
}

void Timeline::start(MediaTime sessionStart) {
    reference_ = sessionStart;
    referenceWritten_ = 0;
    written_ = 0;
}

Timeline::Placement Timeline::place(MediaTime bufferStart, int64_t frameCount) {
    Placement placement;
    if (!bufferStart.isNumeric() || !reference_.isNumeric()) {
        return placement;
    }
    int64_t offset = framesBetween(reference_, bufferStart, sampleRate_) - (written_ - referenceWritten_);
    if (offset > maxGapFrames_ || offset < -maxGapFrames_) {
        // A jump no real gap or overlap explains (a clock that stepped): fill at most the bound and take the
        // buffer's time as the new reference, so later buffers pack against it instead of each jumping again.
        offset = offset > 0 ? maxGapFrames_ : 0;
        reference_ = bufferStart;
        referenceWritten_ = written_ + offset;
    }
    if (offset > toleranceFrames_) {
        placement.silenceFrames = offset;
    } else if (offset < -toleranceFrames_) {
        placement.skipFrames = std::min(-offset, frameCount);
    }
    return placement;
}

void Timeline::wrote(int64_t silenceFrames, int64_t bufferFrames) {
    assert(silenceFrames >= 0 && bufferFrames >= 0);
    written_ += silenceFrames + bufferFrames;
}

} // namespace qfx::platform
