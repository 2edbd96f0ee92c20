// The media file writer as the recorder uses it: one writer, one audio input (AVAssetWriter, AVAssetWriterInput).
//
// Call order, as the recorder makes it: makeWriter; makeWriterInput and setExpectsMediaDataInRealTime; canAddInput;
// addInput; startWriting (error() when it answers false); startSession at the first accepted buffer; then, per
// buffer, isReadyForMoreMediaData and append; markAsFinished; finishWriting, then status() and error(). cancelWriting
// takes the place of everything after startWriting when no session was started.
//
// Threads: creation, startWriting, finishWriting, cancelWriting, status and error come from the task that runs
// start and stop; startSession, isReadyForMoreMediaData, append and markAsFinished come from the recorder's sample
// queue. The two sides never overlap in time (the sample queue's `sync` separates them), except that status and
// error are safe from any thread. finishWriting's completion may come on any thread, exactly once.
#pragma once

#include "platform/error.h"
#include "platform/media_time.h"
#include "platform/sample_buffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace qfx::platform {

/// Where the file goes: an absolute file-system path (a file URL's path).
struct FileLocation {
    std::string path;
    friend bool operator==(const FileLocation&, const FileLocation&) = default;
};

/// Container types (AVFileType). The value is the platform's identifier.
using FileType = std::string;
inline const FileType kFileTypeAppleM4A = "com.apple.m4a-audio";

/// Media types (AVMediaType).
using MediaType = std::string;
inline const MediaType kMediaTypeAudio = "soun";

/// Output-setting keys (AVAudioSettings).
inline constexpr const char* kFormatIDKey = "AVFormatIDKey";
inline constexpr const char* kSampleRateKey = "AVSampleRateKey";
inline constexpr const char* kNumberOfChannelsKey = "AVNumberOfChannelsKey";
inline constexpr const char* kEncoderBitRateKey = "AVEncoderBitRateKey";

/// Audio format identifiers (AudioFormatID, a four-character code).
inline constexpr uint32_t kAudioFormatMPEG4AAC = 0x61616320; // 'aac '

/// One output setting. The number keeps its type: a format identifier is an unsigned 32-bit value, rates, counts
/// and bit rates are signed 64-bit values. The macOS backend makes an NSNumber of exactly that type.
struct OutputSetting {
    std::string key;
    std::variant<uint32_t, int64_t> value;
    friend bool operator==(const OutputSetting&, const OutputSetting&) = default;
};
using OutputSettings = std::vector<OutputSetting>;

/// The writer's state (AVAssetWriterStatus).
enum class WriterStatus { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

/// The writer's one input. Called on the recorder's sample queue, except setExpectsMediaDataInRealTime (at start).
class WriterInput {
public:
    virtual ~WriterInput() = default;
    virtual void setExpectsMediaDataInRealTime(bool expectsMediaDataInRealTime) = 0;
    /// Whether `append` would take a buffer now. Never blocks.
    [[nodiscard]] virtual bool isReadyForMoreMediaData() = 0;
    /// Takes `buffer` (lent for this call). False when it was not taken; the writer's status tells whether the
    /// writing failed.
    virtual bool append(const SampleBuffer& buffer) = 0;
    /// No buffer follows; the input takes none after this.
    virtual void markAsFinished() = 0;
};

/// The file writer. An implementation removes a partial file when writing is cancelled, or when the writer is
/// destroyed after startWriting without having finished.
class Writer {
public:
    virtual ~Writer() = default;
    [[nodiscard]] virtual bool canAddInput(const std::shared_ptr<WriterInput>& input) = 0;
    virtual void addInput(std::shared_ptr<WriterInput> input) = 0;
    /// Creates the file and begins writing. False on failure; `error()` then tells why, when the writer knows.
    virtual bool startWriting() = 0;
    /// The timeline's origin: the source time of the first sample the file holds.
    virtual void startSession(MediaTime startTime) = 0;
    /// Ends the file: flushes what the input holds and completes it. `completion` comes once, when finishing has
    /// ended, successfully or not (`status()` then tells which).
    virtual void finishWriting(std::function<void()> completion) = 0;
    /// Abandons the writing; returns when it is abandoned. Does nothing once completed, failed or cancelled.
    virtual void cancelWriting() = 0;
    [[nodiscard]] virtual WriterStatus status() const = 0;
    /// The failure, when `status()` is failed and the writer knows why.
    [[nodiscard]] virtual MaybeError error() const = 0;
};

/// The writer service's entry points.
class WriterService {
public:
    virtual ~WriterService() = default;
    /// A writer for `location` and `fileType`, or the error that kept it from being made. Writes nothing yet.
    virtual Result<std::shared_ptr<Writer>> makeWriter(const FileLocation& location, const FileType& fileType) = 0;
    /// An input of `mediaType` encoding with `outputSettings`. Settings it cannot honour show at canAddInput.
    virtual std::shared_ptr<WriterInput> makeWriterInput(const MediaType& mediaType,
                                                         const OutputSettings& outputSettings) = 0;
};

} // namespace qfx::platform
