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
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <thread>
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

// Silence goes to the input in chunks of one second, all referring to one zeroed block, so a long pause costs
// one second of memory. Each chunk waits for the input to be ready, as any append should, but no longer than
// kChunkWait: an input that stays busy that long is stuck, and the rest of that gap is left out.
constexpr auto kChunkWait = std::chrono::seconds(1);
constexpr auto kReadyPoll = std::chrono::milliseconds(1);

/// The buffer's format when it is one this writer can place on the timeline and fill with zeros for silence:
/// linear PCM, one frame per packet, float or signed samples, a whole sample rate. Null otherwise.
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

/// Bytes one frame takes in the buffer's data: non-interleaved audio holds one buffer per channel, and then the
/// format's bytes per frame count one channel.
size_t dataBytesPerFrame(const AudioStreamBasicDescription& format) {
    const bool nonInterleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    return static_cast<size_t>(format.mBytesPerFrame) * (nonInterleaved ? format.mChannelsPerFrame : 1U);
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

    bool waitUntilReady() {
        const auto deadline = std::chrono::steady_clock::now() + kChunkWait;
        while (!isReadyForMoreMediaData()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(kReadyPoll);
        }
        return true;
    }

    void appendSilence(CMSampleBufferRef next, const AudioStreamBasicDescription& format, int64_t frames);
    CMBlockBufferRef zeros(size_t length);

    AVAssetWriterInput* input_;
    std::optional<MediaTime> sessionStart_;
    std::optional<Timeline> timeline_;
    int32_t timelineRate_ = 0;
    Owned<CMBlockBufferRef> zeros_;
    size_t zerosLength_ = 0;
};

// The file follows presentation times. A buffer that starts later than the written audio ends is preceded by
// silence of its own format covering the gap. A buffer that starts earlier (an overlap) loses its overlapping
// frames (CMSampleBufferCopySampleBufferForRange), or is dropped when it overlaps entirely, so nothing is written
// twice and nothing after it shifts; should the trimming fail, the buffer is dropped rather than written twice.
// Buffers this writer cannot place (not zero-fillable PCM, or at a rate other than the first buffer's) are
// appended as they come.
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
    timeline_->wrote(placement.silenceFrames, frames - placement.skipFrames);
    if (placement.silenceFrames > 0) {
        appendSilence(native, *format, placement.silenceFrames);
        // The recorder asked about readiness before the silence went in; ask again for the buffer itself, and
        // offer it even when the input stays busy (the timeline has counted it).
        (void)waitUntilReady();
    }
    if (placement.skipFrames == 0) {
        return appendNative(native);
    }
    if (placement.skipFrames >= frames) {
        return true;
    }
    Owned<CMSampleBufferRef> rest;
    const CFRange kept =
        CFRangeMake(static_cast<CFIndex>(placement.skipFrames), static_cast<CFIndex>(frames - placement.skipFrames));
    if (CMSampleBufferCopySampleBufferForRange(kCFAllocatorDefault, native, kept, rest.out()) != noErr ||
        rest.get() == nullptr) {
        return false;
    }
    return appendNative(rest.get());
}

void AssetWriterInput::appendSilence(CMSampleBufferRef next, const AudioStreamBasicDescription& format,
                                     int64_t frames) {
    const CMFormatDescriptionRef description = CMSampleBufferGetFormatDescription(next);
    const auto rate = static_cast<int32_t>(format.mSampleRate);
    const size_t bytesPerFrame = dataBytesPerFrame(format);
    const int64_t chunkFrames = rate;
    const CMTime start = CMTimeSubtract(CMSampleBufferGetPresentationTimeStamp(next), CMTimeMake(frames, rate));

    for (int64_t done = 0; done < frames;) {
        const int64_t count = std::min(frames - done, chunkFrames);
        const size_t length = static_cast<size_t>(count) * bytesPerFrame;
        CMBlockBufferRef zeroBlock = zeros(static_cast<size_t>(chunkFrames) * bytesPerFrame);
        if (zeroBlock == nullptr || !waitUntilReady()) {
            return;
        }
        Owned<CMBlockBufferRef> data;
        if (CMBlockBufferCreateWithBufferReference(kCFAllocatorDefault, zeroBlock, 0, length, 0, data.out()) != noErr) {
            return;
        }
        Owned<CMSampleBufferRef> silence;
        if (CMAudioSampleBufferCreateReadyWithPacketDescriptions(
                kCFAllocatorDefault, data.get(), description, static_cast<CMItemCount>(count),
                CMTimeAdd(start, CMTimeMake(done, rate)), nullptr, silence.out()) != noErr ||
            !appendNative(silence.get())) {
            return;
        }
        done += count;
    }
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
