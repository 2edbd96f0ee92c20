// Where each captured buffer goes on the file's timeline, so that the file's time is the capture's: a stretch with
// no buffers becomes silence of the same length, and audio that overlaps what is already written is trimmed.
// Platform-neutral arithmetic; each writer fills and trims in its own way.
#pragma once

#include "platform/media_time.h"

#include <cstdint>

namespace qfx::platform {

/// Tracks the frames written since the session's start and places the next buffer against them. A writer plans
/// each buffer with `place`, writes what it can, and then reports with `wrote` what actually reached the file: only
/// reported frames count, so whatever was planned but not written (a silence cut short, a buffer dropped) shows up as
/// gap before the next buffer, and the file never falls behind the capture for the rest of the recording.
/// Used by one writer on one thread (the recorder's sample queue).
class Timeline {
public:
    /// What to do with a buffer of `frameCount` frames before appending it.
    struct Placement {
        int64_t silenceFrames = 0; ///< frames of silence to write before the buffer
        int64_t skipFrames = 0;    ///< frames to drop from the buffer's start (overlap, or before the session)
    };

    /// `sampleRate`: frames per second of the file. `toleranceFrames`: a difference between a buffer's time and the
    /// written length up to this many frames is clock jitter, not a gap or an overlap, and the buffer is packed
    /// against the previous one. `maxGapFrames`: a jump forward or back beyond this is a clock that stepped, not a
    /// loss: at most this much silence is planned (none for a backward jump) and the buffer's time becomes the new
    /// reference, so a wild time stamp can neither write hours of silence nor have every later buffer trimmed away.
    Timeline(int32_t sampleRate, int64_t toleranceFrames, int64_t maxGapFrames);

    /// The time of the session's first frame. Must come before `place`.
    void start(MediaTime sessionStart);

    /// Plans a buffer that starts at `bufferStart` and holds `frameCount` frames; counts nothing. A buffer whose time
    /// is not numeric is packed against what was written. A clock step takes effect here (the new reference), so the
    /// part of its bounded silence that is not written is carried as gap, never more than the bound.
    [[nodiscard]] Placement place(MediaTime bufferStart, int64_t frameCount);

    /// Counts what was written after the last `place`: `silenceFrames` of silence, then `bufferFrames` of the
    /// buffer after the skipped ones. The buffer's frames belong after all the planned silence, so a writer that
    /// wrote less silence than planned must leave the buffer out (report 0); the next `place` then asks for the rest.
    void wrote(int64_t silenceFrames, int64_t bufferFrames);

    /// Frames written so far (silence included), as reported.
    [[nodiscard]] int64_t writtenFrames() const { return written_; }

private:
    int32_t sampleRate_;
    int64_t toleranceFrames_;
    int64_t maxGapFrames_;
    MediaTime reference_{};        ///< the session's start, or the time of the buffer after the last wild jump
    int64_t referenceWritten_ = 0; ///< where `reference_` lies in the written frames
    int64_t written_ = 0;
};

} // namespace qfx::platform
