// The screen-capture service as the recorder uses it: shareable content and displays, a content filter, a stream
// configuration, a stream, and the two roles (stream output, stream delegate) the recorder plays for the stream.
//
// One method per service operation, taking the operation's own values, so that the recorder's code reads as the
// sequence it performs and a fake can log and script every call.
//
// What an implementation must guarantee:
// - Every completion is called exactly once, on a thread of the service's choosing, never on the caller's thread
//   before the method returns (so a caller may wait for it on a one-shot future without deadlock).
// - After `startCapture`'s completion reported success, audio buffers go to the registered output on the queue
//   given to `addStreamOutput`, one at a time, in capture order; never before `startCapture` was called.
// - After `stopCapture`'s completion, no buffer is delivered any more: every buffer the stream produced has been
//   handed to the output's queue (it may still be waiting there).
// - `didStopWithError` is sent at most once per stream, only when the stream ends without a stop request, on a
//   thread of the service's choosing.
// - The stream holds its output and delegate weakly: it never keeps the recorder alive.
#pragma once

#include "platform/error.h"
#include "platform/sample_buffer.h"
#include "platform/serial_queue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qfx::platform {

class Stream;

/// The kind of output a stream delivers (SCStreamOutputType): a signed 64-bit value.
using StreamOutputType = int64_t;
inline constexpr StreamOutputType kStreamOutputTypeScreen = 0;
inline constexpr StreamOutputType kStreamOutputTypeAudio = 1;
inline constexpr StreamOutputType kStreamOutputTypeMicrophone = 2;

/// A display the service can capture (on Linux: an output device, a sink). Opaque to the recorder.
class Display {
public:
    virtual ~Display() = default;
};

/// An application a content filter could leave out. The recorder excludes none.
class RunningApplication {
public:
    virtual ~RunningApplication() = default;
};

/// A window a content filter could except. The recorder excepts none.
class Window {
public:
    virtual ~Window() = default;
};

/// What the content query found.
struct ShareableContent {
    /// In the service's order, possibly empty. The recorder captures the first.
    std::vector<std::shared_ptr<Display>> displays;
};

/// What a stream captures: a display, less some applications, plus some windows.
class ContentFilter {
public:
    virtual ~ContentFilter() = default;
};

/// The stream's settings. The recorder sets five; the others keep the service's defaults. Nothing is read back.
class StreamConfiguration {
public:
    virtual ~StreamConfiguration() = default;
    virtual void setCapturesAudio(bool capturesAudio) = 0;
    virtual void setExcludesCurrentProcessAudio(bool excludesCurrentProcessAudio) = 0;
    virtual void setSampleRate(int64_t sampleRate) = 0;
    virtual void setChannelCount(int64_t channelCount) = 0;
    virtual void setQueueDepth(int64_t queueDepth) = 0;
};

/// The recorder's role as a stream's output (SCStreamOutput).
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    /// One captured buffer of `type`. Called on the queue given to `addStreamOutput`, one call at a time. `buffer`
    /// is lent for this call only.
    virtual void didOutputSampleBuffer(Stream& stream, const SampleBuffer& buffer, StreamOutputType type) = 0;
};

/// The recorder's role as a stream's delegate (SCStreamDelegate).
class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    /// The stream ended by itself with `error`. At most once per stream, on a thread of the service's choosing.
    virtual void didStopWithError(Stream& stream, const Error& error) = 0;
};

using CaptureCompletion = std::function<void(MaybeError)>;

/// A capture stream (SCStream). Called from the task that runs start and stop, never from the output's queue.
class Stream {
public:
    virtual ~Stream() = default;
    /// Registers `output` for buffers of `type`, delivered on `queue`. An error, or none when registered.
    virtual MaybeError addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> queue) = 0;
    /// Starts capturing; the completion carries an error, or none when the capture runs.
    virtual void startCapture(CaptureCompletion completion) = 0;
    /// Stops capturing; the completion comes once the stream has stopped or failed to stop (see the guarantees
    /// above).
    virtual void stopCapture(CaptureCompletion completion) = 0;
};

/// The capture service's entry points (SCShareableContent, SCContentFilter, SCStreamConfiguration, SCStream).
class CaptureService {
public:
    virtual ~CaptureService() = default;

    using ContentCompletion = std::function<void(std::shared_ptr<ShareableContent> content, MaybeError error)>;
    /// Asks for the shareable content. The completion carries the content, or an error (then the content is null).
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     ContentCompletion completion) = 0;

    virtual std::shared_ptr<ContentFilter>
    makeContentFilter(std::shared_ptr<Display> display,
                      std::vector<std::shared_ptr<RunningApplication>> excludingApplications,
                      std::vector<std::shared_ptr<Window>> exceptingWindows) = 0;

    virtual std::shared_ptr<StreamConfiguration> makeStreamConfiguration() = 0;

    /// A stream over `filter` with `configuration`, reporting its own end to `delegate`.
    virtual std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                               std::shared_ptr<StreamConfiguration> configuration,
                                               std::weak_ptr<StreamDelegate> delegate) = 0;
};

} // namespace qfx::platform
