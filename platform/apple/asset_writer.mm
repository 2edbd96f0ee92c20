// The writer service over AVFoundation: one AVAssetWriter with one AVAssetWriterInput, and the silence that keeps
// the file's timeline the capture's.
//
// Objective-C exceptions stop here. AVFoundation raises NSInvalidArgumentException for output settings its encoder
// refuses (from the input's initializer, or only at addInput:) and NSInternalInconsistencyException for calls made
// in the wrong writer state; an exception unwinding into the recorder would end the process. Every message that
// can raise is sent inside @try: a refused input answers false at canAddInput, anything else is a call that did
// nothing (and answers false where it answers at all).
#include "platform/apple/apple_internal.h"
#include "platform/timeline.h"

#include <AVFoundation/AVFoundation.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace qfx::platform::apple {

namespace {

/// Runs `body`; false when it raised an Objective-C exception, which goes no further.
template <class Body>
bool contained(Body&& body) {
    @try {
        body();
        return true;
    } @catch (NSException* exception) {
        (void)exception;
        return false;
    }
}

/// Releases a Core Foundation object made by a Create or Copy function when it goes out of scope.
template <class Ref>
class Owned {
public:
    explicit Owned(Ref ref = nullptr) : ref_(ref) {}
    ~Owned() {
        if (ref_ != nullptr) {
            CFRelease(ref_);
        }
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        std::swap(ref_, other.ref_);
        return *this;
    }

    [[nodiscard]] Ref get() const { return ref_; }
    Ref* out() { return &ref_; }

private:
    Ref ref_;
};

NSString* stringFrom(const std::string& text) {
    return [NSString stringWithUTF8String:text.c_str()];
}

AVFileType fileTypeFrom(const FileType& fileType) {
    return fileType == kFileTypeAppleM4A ? AVFileTypeAppleM4A : stringFrom(fileType);
}

AVMediaType mediaTypeFrom(const MediaType& mediaType) {
    return mediaType == kMediaTypeAudio ? AVMediaTypeAudio : stringFrom(mediaType);
}

NSString* settingKeyFrom(const std::string& key) {
    if (key == kFormatIDKey) {
        return AVFormatIDKey;
    }
    if (key == kSampleRateKey) {
        return AVSampleRateKey;
    }
    if (key == kNumberOfChannelsKey) {
        return AVNumberOfChannelsKey;
    }
    if (key == kEncoderBitRateKey) {
        return AVEncoderBitRateKey;
    }
    return stringFrom(key);
}

/// The number keeps the setting's type: a format identifier is an unsigned 32-bit value, the rest signed 64-bit.
NSNumber* numberFrom(const std::variant<uint32_t, int64_t>& value) {
    if (const auto* unsignedValue = std::get_if<uint32_t>(&value)) {
        return [NSNumber numberWithUnsignedInt:*unsignedValue];
    }
    return [NSNumber numberWithLongLong:static_cast<long long>(std::get<int64_t>(value))];
}

// Timeline bounds. ScreenCaptureKit stamps buffers on the host clock, which drifts slowly against the audio
// device's; within the tolerance a buffer is packed against the previous one, beyond it the difference is filled
// or trimmed. A pause in what plays is a gap of any length (the service delivers nothing meanwhile), so the bound
// is generous: only a jump beyond an hour is taken for a clock that stepped.
constexpr int64_t kToleranceDivisor = 100; // 10 ms, less than one capture buffer
constexpr int64_t kMaxGapSeconds = 3600;

// Silence goes to the input in chunks of one second, all referring to one zeroed block, so a long pause costs one
// second of memory. One intake writes at most kChunksPerIntake chunks, and only while the input is ready: the
// sample queue never waits, and the rest of a long gap is carried to the next buffers (the timeline counts only
// what went in), each of which is dropped until the silence before it is complete.
constexpr int64_t kChunksPerIntake = 10;

/// The buffer's format when it is one this writer can place on the timeline, fill with zeros for silence and trim
/// by copying: linear PCM, one frame per packet, float or signed samples, a whole sample rate. Null otherwise.
const AudioStreamBasicDescription* zeroFillableFormat(CMSampleBufferRef buffer) {
    const CMFormatDescriptionRef description = CMSampleBufferGetFormatDescription(buffer);
    if (description == nullptr) {
        return nullptr;
    }
    const AudioStreamBasicDescription* format = CMAudioFormatDescriptionGetStreamBasicDescription(description);
    if (format == nullptr || format->mFormatID != kAudioFormatLinearPCM || format->mFramesPerPacket != 1 ||
        format->mBytesPerFrame == 0 || format->mChannelsPerFrame == 0 ||
        (format->mFormatFlags & (kAudioFormatFlagIsFloat | kAudioFormatFlagIsSignedInteger)) == 0) {
        return nullptr;
    }
    const double rate = format->mSampleRate;
    if (!(rate >= 1.0 && rate <= std::numeric_limits<int32_t>::max()) || std::nearbyint(rate) != rate) {
        return nullptr;
    }
    return format;
}

bool isNonInterleaved(const AudioStreamBasicDescription& format) {
    return (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
}

/// Bytes one frame takes in the buffer's data: non-interleaved audio holds one buffer per channel, and then the
/// format's bytes per frame count one channel.
size_t dataBytesPerFrame(const AudioStreamBasicDescription& format) {
    return static_cast<size_t>(format.mBytesPerFrame) * (isNonInterleaved(format) ? format.mChannelsPerFrame : 1U);
}

/// A copy of `buffer` without its first `skip` frames, stamped `skip` frames later; null when it cannot be made.
/// CoreMedia cannot subdivide non-interleaved audio (which is what the capture delivers), so the kept frames are
/// copied into a new block: one plane per channel after another, or one interleaved run.
Owned<CMSampleBufferRef> copyWithoutFirstFrames(CMSampleBufferRef buffer, const AudioStreamBasicDescription& format,
                                                int64_t frames, int64_t skip) {
    const int64_t kept = frames - skip;
    if (skip <= 0 || kept <= 0 || frames > std::numeric_limits<int32_t>::max()) {
        return Owned<CMSampleBufferRef>();
    }
    const bool planar = isNonInterleaved(format);
    const UInt32 planes = planar ? format.mChannelsPerFrame : 1U;
    const size_t planeLength = static_cast<size_t>(kept) * format.mBytesPerFrame;
    if (planeLength > std::numeric_limits<UInt32>::max()) {
        return Owned<CMSampleBufferRef>();
    }
    Owned<CMBlockBufferRef> block;
    char* data = nullptr;
    if (CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, planeLength * planes, kCFAllocatorDefault,
                                           nullptr, 0, planeLength * planes, kCMBlockBufferAssureMemoryNowFlag,
                                           block.out()) != noErr ||
        CMBlockBufferGetDataPointer(block.get(), 0, nullptr, nullptr, &data) != noErr || data == nullptr) {
        return Owned<CMSampleBufferRef>();
    }
    // AudioBufferList ends in a one-element array that is really one element per plane.
    std::vector<std::byte> listStorage(offsetof(AudioBufferList, mBuffers) + planes * sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(listStorage.data());
    list->mNumberBuffers = planes;
    for (UInt32 plane = 0; plane < planes; ++plane) {
        AudioBuffer& target = list->mBuffers[plane];
        target.mNumberChannels = planar ? 1U : format.mChannelsPerFrame;
        target.mDataByteSize = static_cast<UInt32>(planeLength);
        target.mData = data + plane * planeLength;
    }
    Owned<CMSampleBufferRef> rest;
    const auto rate = static_cast<int32_t>(format.mSampleRate);
    if (CMSampleBufferCopyPCMDataIntoAudioBufferList(buffer, static_cast<int32_t>(skip), static_cast<int32_t>(kept),
                                                     list) != noErr ||
        CMAudioSampleBufferCreateReadyWithPacketDescriptions(
            kCFAllocatorDefault, block.get(), CMSampleBufferGetFormatDescription(buffer),
            static_cast<CMItemCount>(kept),
            CMTimeAdd(CMSampleBufferGetPresentationTimeStamp(buffer), CMTimeMake(skip, rate)), nullptr,
            rest.out()) != noErr) {
        return Owned<CMSampleBufferRef>();
    }
    return rest;
}

class AssetWriterInput final : public WriterInput {
public:
    /// `input` is nil when AVFoundation refused the settings; such an input is refused at canAddInput.
    explicit AssetWriterInput(AVAssetWriterInput* input) : input_(input) {}

    [[nodiscard]] AVAssetWriterInput* input() const { return input_; }

    void setExpectsMediaDataInRealTime(bool expectsMediaDataInRealTime) override {
        contained([&] { [input_ setExpectsMediaDataInRealTime:expectsMediaDataInRealTime ? YES : NO]; });
    }

    bool isReadyForMoreMediaData() override {
        BOOL ready = NO;
        contained([&] { ready = [input_ isReadyForMoreMediaData]; });
        return ready;
    }

    bool append(const SampleBuffer& buffer) override;

    void markAsFinished() override {
        contained([&] { [input_ markAsFinished]; });
    }

    /// The writer's session began at `start` (on the sample queue, before the first append).
    void sessionStarted(MediaTime start) {
        sessionStart_ = start;
        timeline_.reset();
    }

private:
    bool appendNative(CMSampleBufferRef buffer) {
        BOOL appended = NO;
        contained([&] { appended = [input_ appendSampleBuffer:buffer]; });
        return appended;
    }

    int64_t appendSilence(CMSampleBufferRef next, const AudioStreamBasicDescription& format, int64_t frames);
    CMBlockBufferRef zeros(size_t length);

    AVAssetWriterInput* input_;
    std::optional<MediaTime> sessionStart_;
    std::optional<Timeline> timeline_;
    int32_t timelineRate_ = 0;
    Owned<CMBlockBufferRef> zeros_;
    size_t zerosLength_ = 0;
};

// The file follows presentation times. AVAssetWriter packs audio edge to edge whatever the times say, so what the
// timeline counts is the file's only clock, and it counts only what the input took. A buffer that starts later than
// the written audio ends is preceded by silence of its own format covering the gap; when not all of that silence
// could go in now, the buffer is dropped (it would land too early) and its time joins the gap. A buffer that starts
// earlier (an overlap) is written from a copy without its overlapping frames, or dropped when it overlaps entirely.
// The recorder has asked for readiness before calling; after silence the input is asked again, and a buffer it is
// not ready for is dropped, never offered. Buffers this writer cannot place (not zero-fillable PCM, or at a rate
// other than the first buffer's) are appended as they come.
bool AssetWriterInput::append(const SampleBuffer& buffer) {
    const auto* lent = dynamic_cast<const CoreMediaSampleBuffer*>(&buffer);
    if (lent == nullptr || input_ == nil) {
        return false;
    }
    const CMSampleBufferRef native = lent->buffer();
    const AudioStreamBasicDescription* format = zeroFillableFormat(native);
    const CMItemCount frames = CMSampleBufferGetNumSamples(native);
    if (!sessionStart_ || format == nullptr || frames <= 0) {
        return appendNative(native);
    }
    const auto rate = static_cast<int32_t>(format->mSampleRate);
    if (!timeline_) {
        timeline_.emplace(rate, rate / kToleranceDivisor, kMaxGapSeconds * rate);
        timeline_->start(*sessionStart_);
        timelineRate_ = rate;
    } else if (rate != timelineRate_) {
        return appendNative(native);
    }

    const Timeline::Placement placement = timeline_->place(lent->presentationTimeStamp(), frames);
    const int64_t silence = placement.silenceFrames > 0 ? appendSilence(native, *format, placement.silenceFrames) : 0;
    const int64_t kept = frames - placement.skipFrames;
    if (silence < placement.silenceFrames || kept <= 0 || (silence > 0 && !isReadyForMoreMediaData())) {
        timeline_->wrote(silence, 0);
        return kept <= 0 && silence == placement.silenceFrames;
    }
    bool appended = false;
    @autoreleasepool {
        if (placement.skipFrames == 0) {
            appended = appendNative(native);
        } else {
            const Owned<CMSampleBufferRef> rest = copyWithoutFirstFrames(native, *format, frames, placement.skipFrames);
            appended = rest.get() != nullptr && appendNative(rest.get());
        }
    }
    timeline_->wrote(silence, appended ? kept : 0);
    return appended;
}

/// Appends up to `frames` frames of silence that end where `next` starts, while the input is ready and at most
/// kChunksPerIntake chunks; returns how many frames went in.
int64_t AssetWriterInput::appendSilence(CMSampleBufferRef next, const AudioStreamBasicDescription& format,
                                        int64_t frames) {
    const CMFormatDescriptionRef description = CMSampleBufferGetFormatDescription(next);
    const auto rate = static_cast<int32_t>(format.mSampleRate);
    const size_t bytesPerFrame = dataBytesPerFrame(format);
    const int64_t chunkFrames = rate;
    const CMTime start = CMTimeSubtract(CMSampleBufferGetPresentationTimeStamp(next), CMTimeMake(frames, rate));
    CMBlockBufferRef zeroBlock = zeros(static_cast<size_t>(chunkFrames) * bytesPerFrame);
    if (zeroBlock == nullptr) {
        return 0;
    }

    int64_t done = 0;
    for (int64_t chunk = 0; chunk < kChunksPerIntake && done < frames && isReadyForMoreMediaData(); ++chunk) {
        @autoreleasepool {
            const int64_t count = std::min(frames - done, chunkFrames);
            Owned<CMBlockBufferRef> data;
            Owned<CMSampleBufferRef> silence;
            if (CMBlockBufferCreateWithBufferReference(kCFAllocatorDefault, zeroBlock, 0,
                                                       static_cast<size_t>(count) * bytesPerFrame, 0,
                                                       data.out()) != noErr ||
                CMAudioSampleBufferCreateReadyWithPacketDescriptions(
                    kCFAllocatorDefault, data.get(), description, static_cast<CMItemCount>(count),
                    CMTimeAdd(start, CMTimeMake(done, rate)), nullptr, silence.out()) != noErr ||
                !appendNative(silence.get())) {
                break;
            }
            done += count;
        }
    }
    return done;
}

/// A block of `length` zero bytes, made once and shared by every silent buffer (none writes into it).
CMBlockBufferRef AssetWriterInput::zeros(size_t length) {
    if (zeros_.get() != nullptr && zerosLength_ == length) {
        return zeros_.get();
    }
    Owned<CMBlockBufferRef> block;
    if (CMBlockBufferCreateWithMemoryBlock(kCFAllocatorDefault, nullptr, length, kCFAllocatorDefault, nullptr, 0,
                                           length, kCMBlockBufferAssureMemoryNowFlag, block.out()) != noErr ||
        CMBlockBufferFillDataBytes(0, block.get(), 0, length) != noErr) {
        return nullptr;
    }
    zeros_ = std::move(block);
    zerosLength_ = length;
    return zeros_.get();
}

/// AVAssetWriter raises for some refused settings only at addInput:, after canAddInput: said YES, and the
/// interface refuses an input only at canAddInput. So canAddInput sends canAddInput: and, on YES, addInput: (the
/// same messages in the same order the recorder makes them), and addInput then has nothing left to do for it.
class AssetWriter final : public Writer {
public:
    explicit AssetWriter(AVAssetWriter* writer) : writer_(writer) {}

    /// Released while still writing (a start that failed after startWriting): cancelled, which removes the partial
    /// file.
    ~AssetWriter() override {
        if (status() == WriterStatus::writing) {
            cancelWriting();
        }
    }
    AssetWriter(const AssetWriter&) = delete;
    AssetWriter& operator=(const AssetWriter&) = delete;

    bool canAddInput(const std::shared_ptr<WriterInput>& input) override {
        auto ours = std::dynamic_pointer_cast<AssetWriterInput>(input);
        if (ours == nullptr || ours->input() == nil) {
            return false;
        }
        if (std::find(inputs_.begin(), inputs_.end(), ours) != inputs_.end()) {
            return true;
        }
        BOOL accepted = NO;
        const bool completed = contained([&] {
            accepted = [writer_ canAddInput:ours->input()];
            if (accepted) {
                [writer_ addInput:ours->input()];
            }
        });
        if (!completed || !accepted) {
            return false;
        }
        inputs_.push_back(std::move(ours));
        return true;
    }

    void addInput(std::shared_ptr<WriterInput> input) override { (void)canAddInput(input); }

    bool startWriting() override {
        BOOL started = NO;
        contained([&] { started = [writer_ startWriting]; });
        return started;
    }

    void startSession(MediaTime startTime) override {
        contained([&] { [writer_ startSessionAtSourceTime:cmTimeFrom(startTime)]; });
        for (const auto& input : inputs_) {
            input->sessionStarted(startTime);
        }
    }

    void finishWriting(std::function<void()> completion) override {
        @try {
            [writer_ finishWritingWithCompletionHandler:^{
              completion();
            }];
        } @catch (NSException* exception) {
            (void)exception;
            completion();
        }
    }

    void cancelWriting() override {
        contained([&] { [writer_ cancelWriting]; });
    }

    [[nodiscard]] WriterStatus status() const override {
        switch ([writer_ status]) {
        case AVAssetWriterStatusUnknown:
            return WriterStatus::unknown;
        case AVAssetWriterStatusWriting:
            return WriterStatus::writing;
        case AVAssetWriterStatusCompleted:
            return WriterStatus::completed;
        case AVAssetWriterStatusFailed:
            return WriterStatus::failed;
        case AVAssetWriterStatusCancelled:
            return WriterStatus::cancelled;
        }
        return WriterStatus::unknown;
    }

    [[nodiscard]] MaybeError error() const override {
        NSError* error = [writer_ error];
        if (error == nil) {
            return std::nullopt;
        }
        return errorFrom(error);
    }

private:
    AVAssetWriter* writer_;
    std::vector<std::shared_ptr<AssetWriterInput>> inputs_;
};

class AssetWriterService final : public WriterService {
public:
    Result<std::shared_ptr<Writer>> makeWriter(const FileLocation& location, const FileType& fileType) override {
        @autoreleasepool {
            NSString* path = stringFrom(location.path);
            if (path == nil) {
                return Error{"The output path is not valid UTF-8."};
            }
            NSURL* url = [NSURL fileURLWithPath:path isDirectory:NO];
            NSError* error = nil;
            AVAssetWriter* writer = nil;
            @try {
                writer = [[AVAssetWriter alloc] initWithURL:url fileType:fileTypeFrom(fileType) error:&error];
            } @catch (NSException* exception) {
                const char* reason = exception.reason.UTF8String;
                return Error{reason != nullptr ? reason : ""};
            }
            if (writer == nil) {
                return error != nil ? errorFrom(error) : Error{"AVAssetWriter could not be created."};
            }
            return std::shared_ptr<Writer>(std::make_shared<AssetWriter>(writer));
        }
    }

    std::shared_ptr<WriterInput> makeWriterInput(const MediaType& mediaType,
                                                 const OutputSettings& outputSettings) override {
        @autoreleasepool {
            NSMutableDictionary<NSString*, id>* settings =
                [NSMutableDictionary dictionaryWithCapacity:outputSettings.size()];
            for (const OutputSetting& setting : outputSettings) {
                [settings setObject:numberFrom(setting.value) forKey:settingKeyFrom(setting.key)];
            }
            AVAssetWriterInput* input = nil;
            @try {
                input = [[AVAssetWriterInput alloc] initWithMediaType:mediaTypeFrom(mediaType) outputSettings:settings];
            } @catch (NSException* exception) {
                (void)exception;
                input = nil;
            }
            return std::make_shared<AssetWriterInput>(input);
        }
    }
};

} // namespace

std::unique_ptr<WriterService> makeAssetWriterService() {
    return std::make_unique<AssetWriterService>();
}

} // namespace qfx::platform::apple
