#include "recorder/system_audio_recorder.h"

#include "front/message_line.h"

#include <future>
#include <utility>

namespace qfx {

using namespace platform;

namespace {

// The capture format the stream is asked for and the encoder is set to: the file holds exactly what was captured,
// with no resampling or remixing in between.
constexpr int64_t kSampleRate = 48000;
constexpr int64_t kChannelCount = 2;
constexpr int64_t kQueueDepth = 4;
constexpr int64_t kEncoderBitRate = 192000;

const char* const kUnknownWriterError = "Unknown AVAssetWriter error";

// Every wait is a one-shot promise owned jointly by the waiter and the completion, so a completion that runs on a
// service thread after the waiter has moved on never touches a destroyed promise.
template <class T>
struct OneShot {
    std::shared_ptr<std::promise<T>> promise = std::make_shared<std::promise<T>>();
    std::future<T> future = promise->get_future();
};

std::string writerErrorText(const Writer& writer) {
    const MaybeError error = writer.error();
    return error ? error->description : kUnknownWriterError;
}

} // namespace

std::string failureDescription(const StartFailure& failure) {
    if (const auto* own = std::get_if<CaptureHelperError>(&failure)) {
        return own->errorDescription();
    }
    return std::get<Error>(failure).description;
}

std::shared_ptr<SystemAudioRecorder> SystemAudioRecorder::create(Platform& platform, FileLocation outputURL,
                                                                 std::FILE* reportStream) {
    return std::shared_ptr<SystemAudioRecorder>(new SystemAudioRecorder(platform, std::move(outputURL), reportStream));
}

SystemAudioRecorder::SystemAudioRecorder(Platform& platform, FileLocation outputURL, std::FILE* reportStream)
    : platform_(platform), reportStream_(reportStream), outputURL_(std::move(outputURL)),
      sampleQueue_(platform.makeSerialQueue("com.quillfern.qfx-system-audio.system-audio")) {}

std::optional<StartFailure> SystemAudioRecorder::start() {
    CaptureService& capture = platform_.captureService();
    WriterService& writers = platform_.writerService();

    using ContentAnswer = std::pair<std::shared_ptr<ShareableContent>, MaybeError>;
    OneShot<ContentAnswer> contentQuery;
    capture.getShareableContent(
        false, false, [promise = contentQuery.promise](std::shared_ptr<ShareableContent> content, MaybeError error) {
            promise->set_value({std::move(content), std::move(error)});
        });
    auto [content, contentError] = contentQuery.future.get();
    if (contentError) {
        return StartFailure{std::move(*contentError)};
    }
    // A service that answers with neither content nor error has found nothing to capture.
    if (!content || content->displays.empty()) {
        return StartFailure{CaptureHelperError::noDisplay()};
    }
    const std::shared_ptr<Display> display = content->displays.front();

    const std::shared_ptr<ContentFilter> filter = capture.makeContentFilter(display, {}, {});

    const std::shared_ptr<StreamConfiguration> configuration = capture.makeStreamConfiguration();
    configuration->setCapturesAudio(true);
    // The recording is of everything the machine plays, this process included.
    configuration->setExcludesCurrentProcessAudio(false);
    configuration->setSampleRate(kSampleRate);
    configuration->setChannelCount(kChannelCount);
    configuration->setQueueDepth(kQueueDepth);

    Result<std::shared_ptr<Writer>> made = writers.makeWriter(outputURL_, kFileTypeAppleM4A);
    if (!made.ok()) {
        return StartFailure{CaptureHelperError::writerCreation(made.error().description)};
    }
    const std::shared_ptr<Writer> writer = std::move(made.value());

    // The number types matter: the format identifier is an unsigned 32-bit value, the others signed 64-bit.
    const OutputSettings outputSettings{
        {kFormatIDKey, kAudioFormatMPEG4AAC},
        {kSampleRateKey, kSampleRate},
        {kNumberOfChannelsKey, kChannelCount},
        {kEncoderBitRateKey, kEncoderBitRate},
    };
    const std::shared_ptr<WriterInput> input = writers.makeWriterInput(kMediaTypeAudio, outputSettings);
    input->setExpectsMediaDataInRealTime(true);

    if (!writer->canAddInput(input)) {
        return StartFailure{CaptureHelperError::writerCreation("AVAssetWriter rejected the AAC input.")};
    }
    writer->addInput(input);

    if (!writer->startWriting()) {
        return StartFailure{CaptureHelperError::writerStart(writerErrorText(*writer))};
    }

    const std::shared_ptr<Stream> stream = capture.makeStream(filter, configuration, weak_from_this());
    // A writer that already writes is dropped here without cancelling: releasing it abandons the file as well.
    if (MaybeError error = stream->addStreamOutput(weak_from_this(), kStreamOutputTypeAudio, sampleQueue_)) {
        return StartFailure{std::move(*error)};
    }

    // Stored before the capture start is requested: audio reaches the sample queue only after that request, so the
    // intake finds all three set.
    writer_ = writer;
    writerInput_ = input;
    stream_ = stream;

    OneShot<MaybeError> captureStart;
    stream->startCapture([promise = captureStart.promise](MaybeError error) { promise->set_value(std::move(error)); });
    if (MaybeError error = captureStart.future.get()) {
        writer->cancelWriting();
        return StartFailure{CaptureHelperError::streamStart(error->description)};
    }
    return std::nullopt;
}

std::optional<CaptureHelperError> SystemAudioRecorder::stop() {
    if (const std::shared_ptr<Stream> stream = stream_) {
        OneShot<MaybeError> captureStop;
        stream->stopCapture(
            [promise = captureStop.promise](MaybeError error) { promise->set_value(std::move(error)); });
        // A failed stop changes nothing here: the file is finalised from what arrived, and the closed intake keeps
        // whatever the stream still delivers away from the writer.
        (void)captureStop.future.get();
    }

    // Behind every buffer already queued, so each of them reaches the input before it is marked finished.
    sampleQueue_->sync([this] {
        intakeClosed_ = true;
        if (sessionStarted_ && writerInput_) {
            writerInput_->markAsFinished();
        }
    });

    const std::shared_ptr<Writer> writer = writer_;
    if (!writer) {
        return std::nullopt;
    }
    // Safe off the queue: the intake is closed, so nothing writes the flag any more.
    if (!sessionStarted_) {
        writer->cancelWriting();
        return std::nullopt;
    }

    OneShot<void> finishing;
    writer->finishWriting([promise = finishing.promise] { promise->set_value(); });
    finishing.future.get();
    // A file whose finishing failed is incomplete; the parent must not take it for a recording.
    if (writer->status() == WriterStatus::failed) {
        return CaptureHelperError::writerFinish(writerErrorText(*writer));
    }
    return std::nullopt;
}

void SystemAudioRecorder::didOutputSampleBuffer(Stream& /*stream*/, const SampleBuffer& buffer, StreamOutputType type) {
    if (type != kStreamOutputTypeAudio || !buffer.isValid() || !buffer.dataIsReady() || !writer_ || !writerInput_ ||
        intakeClosed_) {
        return;
    }
    // The session starts at the first usable buffer even when the input then turns that buffer away: the file's
    // timeline begins where the capture's audio began.
    if (!sessionStarted_) {
        writer_->startSession(buffer.presentationTimeStamp());
        sessionStarted_ = true;
    }
    // Real time: a buffer the input cannot take now is dropped, never held, so capture is never slowed down.
    if (!writerInput_->isReadyForMoreMediaData()) {
        return;
    }
    (void)writerInput_->append(buffer);
}

void SystemAudioRecorder::didStopWithError(Stream& /*stream*/, const Error& error) {
    writeMessageLine(reportStream_, "ScreenCaptureKit stopped: " + error.description);
}

} // namespace qfx
