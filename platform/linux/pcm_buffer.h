// The Linux capture's sample buffer: interleaved 32-bit float frames it owns, and their presentation time.
#pragma once

#include "platform/sample_buffer.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace qfx::platform::linux_backend {

/// Made by the capture service on libpulse's thread, moved into the task that hands it to the stream output on
/// the sample queue, read there by the writer input; immutable once made.
class PcmBuffer final : public SampleBuffer {
public:
    PcmBuffer(MediaTime presentationTime, int32_t sampleRate, int32_t channelCount, std::vector<float> interleaved)
        : presentationTime_(presentationTime), sampleRate_(sampleRate), channelCount_(channelCount),
          samples_(std::move(interleaved)) {}

    [[nodiscard]] bool isValid() const override {
        return sampleRate_ > 0 && channelCount_ > 0 && samples_.size() % static_cast<size_t>(channelCount_) == 0;
    }
    [[nodiscard]] bool dataIsReady() const override { return true; }
    [[nodiscard]] MediaTime presentationTimeStamp() const override { return presentationTime_; }

    [[nodiscard]] int32_t sampleRate() const { return sampleRate_; }
    [[nodiscard]] int32_t channelCount() const { return channelCount_; }
    [[nodiscard]] int64_t frameCount() const {
        return channelCount_ > 0 ? static_cast<int64_t>(samples_.size()) / channelCount_ : 0;
    }
    /// frameCount() * channelCount() samples, frame after frame.
    [[nodiscard]] std::span<const float> samples() const { return samples_; }

private:
    MediaTime presentationTime_;
    int32_t sampleRate_;
    int32_t channelCount_;
    std::vector<float> samples_;
};

} // namespace qfx::platform::linux_backend
