// The Linux writer service: AAC-LC in an MPEG-4 audio file (major brand "M4A "), made with FFmpeg's native `aac`
// encoder and its MPEG-4 muxer. The file's timeline is the capture's: buffers are placed by their presentation
// times (platform/timeline.h), so a stretch without buffers becomes silence and an overlap is trimmed. A difference
// within the timeline's tolerance is a clock that drifts (the capture follows a sound card whose rate is off): it
// is absorbed by resampling (libswresample's compensation, at most 0.6 %, spread over a second), so drift never
// becomes a hole or a cut.
//
// What this writer adds to the contract in platform/writer.h:
// - The location is checked when the writer is made (file type, parent directory, nothing already at the path);
//   the file is created by startWriting, exclusively and without following a symbolic link: an entry that appeared
//   at the path in between, of whatever kind, is never replaced or written through.
// - The encoder opens after the start, with FFmpeg's libraries (platform/linux/ffmpeg_library.h): on the writer's own
//   thread a moment after startWriting, or with the first audio if that comes sooner. Until then the file is empty;
//   libraries that cannot be loaded fail the writer, and the file is removed.
// - The input takes only the Linux capture's buffers (PcmBuffer) at the input's own sample rate and channel count.
// - While recording, the file is a fragmented MPEG-4 file that plays up to its last fragment: each fragment (just
//   under a second) reaches the file in one write as soon as it is complete, so a kill at any moment leaves a
//   playable file that lacks at most the last second. finishWriting then copies the audio, without re-encoding,
//   into an ordinary M4A that replaces the fragmented file atomically (platform/linux/m4a_finish.h).
// - finishWriting runs on the caller's thread and calls its completion there, before it returns.
// - The file never stays behind broken, and audio once written is kept: a failed write (a full disk, say) fails the
//   writer and cuts the file back to its last whole fragment; a finish that cannot make the ordinary file leaves the
//   complete fragmented one. A file without any audio is removed instead, as on cancelWriting and on the release of
//   a writer that started writing and did not finish. Only the file this writer created is removed or replaced: if
//   the path names another file by then, it is left alone.
//
// Threads (as the recorder calls): the service, creation, canAddInput, addInput, startWriting, finishWriting and
// cancelWriting on the task that runs start and stop; startSession and the input's methods on the sample queue;
// status and error from any thread; the encoder's opening on a thread of the writer's own. Each writer serialises its
// own work with a lock, so even a call that breaks this order (a late buffer during cancelWriting) is safe; it is
// merely refused.
#pragma once

#include "platform/timeline.h"
#include "platform/writer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace qfx::platform::linux_backend {

class PcmBuffer;
class FfmpegWriter;

/// How closely the file follows the buffers' presentation times (see Timeline).
struct TimelineLimits {
    /// A difference up to this between a buffer's time and the written length is drift, absorbed by resampling; a
    /// larger one is a gap (silence) or an overlap (trimmed). The Linux capture counts its times in samples at the
    /// card's estimated rate, so buffers meet but for slow drift (a card 0.5 % off keeps the resampler about 5 ms
    /// behind), and only a re-anchoring after a loss (40 ms or more) moves them. Only a hole the server reports can
    /// be shorter than this: it is resampled away over a few seconds instead of written as silence.
    double toleranceSeconds = 0.010;
    /// The longest silence one gap may write. The capture's clock (CLOCK_MONOTONIC) neither steps nor runs during a
    /// suspend, so real losses last a few seconds at most (a stalled process, a sound server restarting); a longer
    /// jump is a faulty time stamp. The bound also caps the work one append may do: the silence is encoded on the
    /// sample queue, and a minute of it takes a small fraction of a second (bench/writer_bench.cpp).
    double maxGapSeconds = 60.0;
};

class FfmpegWriterService final : public WriterService {
public:
    explicit FfmpegWriterService(TimelineLimits limits = {});

    Result<std::shared_ptr<Writer>> makeWriter(const FileLocation& location, const FileType& fileType) override;
    std::shared_ptr<WriterInput> makeWriterInput(const MediaType& mediaType,
                                                 const OutputSettings& outputSettings) override;

private:
    TimelineLimits limits_;
};

/// The writer's one input. Holds the writer weakly: once the writer is gone, it takes nothing.
class FfmpegWriterInput final : public WriterInput {
public:
    /// What the encoder is asked for: AAC-LC at `sampleRate` with `channelCount` channels.
    struct Format {
        int32_t sampleRate = 0;
        int32_t channelCount = 0;
        int64_t bitRate = 0;
    };

    FfmpegWriterInput(const MediaType& mediaType, const OutputSettings& outputSettings);

    void setExpectsMediaDataInRealTime(bool expectsMediaDataInRealTime) override;
    [[nodiscard]] bool isReadyForMoreMediaData() override;
    bool append(const SampleBuffer& buffer) override;
    void markAsFinished() override;

    /// The format, or none when the settings ask for something the encoder cannot do: another media type or format,
    /// a sample rate AAC does not define, more than eight channels, a bit rate above AAC's limit, an unknown or
    /// repeated key. The sample rate and channel count must be given; the bit rate defaults to 96000 per channel.
    [[nodiscard]] const std::optional<Format>& format() const { return format_; }

private:
    friend class FfmpegWriter;
    std::optional<Format> format_;
    std::weak_ptr<FfmpegWriter> writer_; ///< set once by addInput, on the start task, before any buffer comes
};

class FfmpegWriter final : public Writer, public std::enable_shared_from_this<FfmpegWriter> {
public:
    FfmpegWriter(FileLocation location, TimelineLimits limits);
    ~FfmpegWriter() override;
    FfmpegWriter(const FfmpegWriter&) = delete;
    FfmpegWriter& operator=(const FfmpegWriter&) = delete;

    [[nodiscard]] bool canAddInput(const std::shared_ptr<WriterInput>& input) override;
    void addInput(std::shared_ptr<WriterInput> input) override;
    bool startWriting() override;
    void startSession(MediaTime startTime) override;
    void finishWriting(std::function<void()> completion) override;
    void cancelWriting() override;
    [[nodiscard]] WriterStatus status() const override;
    [[nodiscard]] MaybeError error() const override;

private:
    friend class FfmpegWriterInput;
    struct Encoding;

    bool isReady() const;
    bool append(const PcmBuffer& buffer);
    void markInputFinished();

    // With work_ held:
    bool openEncoder();                                          // waits for FFmpeg's libraries the first time
    bool resample(const float* interleaved, int64_t frameCount); // nullptr: silence
    bool convert(const float* interleaved, int count);           // nullptr: drains the resampler
    bool encode(const float* interleaved, int64_t frameCount);   // nullptr: silence
    bool sendFrame(bool last);
    bool drainPackets();
    int writeFragment();
    bool finish();
    void keepWhatIsWritten();
    void fail(std::string description);
    void abandon();
    void setStatus(WriterStatus status);

    const FileLocation location_;
    const TimelineLimits limits_;

    std::mutex work_; ///< guards everything below but status_ and error_
    std::shared_ptr<FfmpegWriterInput> input_;
    std::unique_ptr<Encoding> encoding_;     ///< from startWriting until the file is closed
    std::optional<Timeline> timeline_;       ///< from startSession
    std::atomic<bool> inputFinished_{false}; ///< written under work_; read by isReady without it
    bool closing_ = false;                   ///< the writer is being destroyed: the opener gives up
    std::condition_variable openerWake_;     ///< wakes the opener early, with work_
    std::thread opener_; ///< from startWriting: opens the encoder after kOpenerDelay; joined on destruction

    mutable std::mutex stateMutex_; ///< guards error_; status_ is written under it too
    std::atomic<WriterStatus> status_{WriterStatus::unknown};
    MaybeError error_;
};

} // namespace qfx::platform::linux_backend
