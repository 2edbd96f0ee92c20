// A captured audio buffer as the capture service hands it to the recorder, and as the recorder hands it, unchanged,
// to the writer input.
#pragma once

#include "platform/media_time.h"

namespace qfx::platform {

/// One buffer of captured audio. The capture service creates it and lends it to the stream output for the length of
/// one `didOutputSampleBuffer` call; whoever keeps it longer (the writer input, while encoding) copies what it needs.
/// A writer input accepts the buffers of its own platform's capture service; it answers false to `append` for any
/// other kind.
class SampleBuffer {
public:
    virtual ~SampleBuffer() = default;

    /// Whether the buffer is well formed (CMSampleBufferIsValid).
    [[nodiscard]] virtual bool isValid() const = 0;
    /// Whether its audio data is present (CMSampleBufferDataIsReady).
    [[nodiscard]] virtual bool dataIsReady() const = 0;
    /// The media time of its first frame on the capture clock (CMSampleBufferGetPresentationTimeStamp).
    [[nodiscard]] virtual MediaTime presentationTimeStamp() const = 0;

protected:
    SampleBuffer() = default;
    SampleBuffer(const SampleBuffer&) = default;
    SampleBuffer& operator=(const SampleBuffer&) = default;
};

} // namespace qfx::platform
