// SystemAudioRecorder: records the machine's system audio into one AAC file. It owns the capture stream, the file
// writer with its one audio input, and the serial sample queue on which the capture service delivers audio.
//
// Threads and queues:
// - `start` and `stop` block; call each once, in that order, from a worker thread: never the main thread (which
//   must stay free for the platform's needs, see Platform::waitOnMainThread) and never the sample queue (stop's
//   synchronous step would wait for itself).
// - `didOutputSampleBuffer` runs on the sample queue, one call at a time; stop's finishing step runs there too. The
//   queue being serial is the only synchronisation between intake and finalisation: the recorder takes no lock.
// - `didStopWithError` runs on a thread of the capture service's choosing and touches no field.
//
// Lifetime: made only through `create` (the capture service holds the recorder weakly, as its output and delegate).
// Destruction releases the fields and does nothing else: it neither stops a running capture nor finishes the writer.
// The last reference must not be dropped on the sample queue, which cannot destroy itself.
#pragma once

#include "front/capture_helper_error.h"
#include "platform/platform.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace qfx {

/// Why `start` failed: one of the tool's own failures, or a capture-service failure passed on exactly as the service
/// gave it.
using StartFailure = std::variant<CaptureHelperError, platform::Error>;

/// The text the front end reports for `failure`: the tool's message, or the service's own description.
[[nodiscard]] std::string failureDescription(const StartFailure& failure);

class SystemAudioRecorder final : public platform::StreamOutput,
                                  public platform::StreamDelegate,
                                  public std::enable_shared_from_this<SystemAudioRecorder> {
public:
    /// An idle recorder for `outputURL`: creates the sample queue and nothing else (no capture, no file). The stream-
    /// ended report goes to `reportStream`.
    static std::shared_ptr<SystemAudioRecorder> create(platform::Platform& platform, platform::FileLocation outputURL,
                                                       std::FILE* reportStream = stderr);

    SystemAudioRecorder(const SystemAudioRecorder&) = delete;
    SystemAudioRecorder& operator=(const SystemAudioRecorder&) = delete;
    ~SystemAudioRecorder() override = default;

    /// Sets up capture of the first display's audio and an AAC writer for `outputURL`, then starts capturing. Returns
    /// once the capture runs (no failure) or has failed. Only a failed capture start cancels the writer; an earlier
    /// failure releases what was made and leaves the recorder idle.
    [[nodiscard]] std::optional<StartFailure> start();

    /// Stops capturing, lets the sample queue run dry, closes the intake, then finishes the file when a session
    /// started (or cancels the writing when none did). Returns `writerFinish` when the writer reports that finishing
    /// failed; nothing else that goes wrong while stopping is reported.
    [[nodiscard]] std::optional<CaptureHelperError> stop();

    /// Sample intake. On the sample queue. Never blocks, waits or allocates; a buffer it cannot use is dropped
    /// silently.
    void didOutputSampleBuffer(platform::Stream& stream, const platform::SampleBuffer& buffer,
                               platform::StreamOutputType type) override;

    /// Stop report: one line on the report stream, in one write, the service's text with its control characters
    /// escaped (see front/message_line.h). A report stream whose reader has gone loses the line, nothing else. Any
    /// thread.
    void didStopWithError(platform::Stream& stream, const platform::Error& error) override;

private:
    SystemAudioRecorder(platform::Platform& platform, platform::FileLocation outputURL, std::FILE* reportStream);

    // Where the recorder's services and its report go; fixed at creation.
    platform::Platform& platform_;
    std::FILE* const reportStream_;

    const platform::FileLocation outputURL_;
    const std::shared_ptr<platform::SerialQueue> sampleQueue_;
    // Set together by `start` before it asks for the capture start, and never cleared, so the intake reads them on
    // the sample queue without a guard.
    std::shared_ptr<platform::Stream> stream_;
    std::shared_ptr<platform::Writer> writer_;
    std::shared_ptr<platform::WriterInput> writerInput_;
    // Written only on the sample queue; `stop` reads it after its synchronous step there.
    bool sessionStarted_ = false;
    // Set by stop's finishing step, on the sample queue. A capture that failed to stop may go on delivering; closing
    // the intake keeps such late buffers from starting a session or reaching an input that was marked finished or a
    // writer that is being finished or cancelled.
    bool intakeClosed_ = false;
};

} // namespace qfx
