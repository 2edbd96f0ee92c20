// A point on a media timeline, laid out like CoreMedia's CMTime so that the macOS backend can pass it through
// unchanged and the Linux backend can use the same arithmetic.
#pragma once

#include <cstdint>

namespace qfx::platform {

struct MediaTime {
    static constexpr uint32_t kValid = 1U << 0U;
    static constexpr uint32_t kHasBeenRounded = 1U << 1U;
    static constexpr uint32_t kPositiveInfinity = 1U << 2U;
    static constexpr uint32_t kNegativeInfinity = 1U << 3U;
    static constexpr uint32_t kIndefinite = 1U << 4U;
    static constexpr uint32_t kImpliedValueFlagsMask = kPositiveInfinity | kNegativeInfinity | kIndefinite;

    int64_t value = 0;     ///< value / timescale = seconds
    int32_t timescale = 0; ///< units per second
    uint32_t flags = 0;    ///< kValid and friends
    int64_t epoch = 0;

    /// A valid time of `value` units at `timescale` units per second.
    static constexpr MediaTime make(int64_t value, int32_t timescale) { return {value, timescale, kValid, 0}; }

    /// A finite time one can compute with: valid, no infinity, not indefinite, and a positive timescale.
    [[nodiscard]] constexpr bool isNumeric() const {
        return (flags & (kValid | kImpliedValueFlagsMask)) == kValid && timescale > 0;
    }

    friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

} // namespace qfx::platform
