// The Linux capture service: system audio from the monitor of the default sink, through libpulse's threaded main
// loop, so that it works against PulseAudio and against PipeWire's PulseAudio server alike.
//
// How the capture operations map onto libpulse:
// - Shareable content: a context connected to the default server (libpulse's own lookup: PULSE_SERVER, the
//   session's runtime directory, client.conf; never an autospawned server) lists the sinks, the server's default
//   sink first. No sink gives an empty list. A failed connection is an Error saying what failed and why.
// - Content filter: the first display's sink; the stream records that sink's monitor source.
// - Stream: a record stream of interleaved float32 frames at the configured rate and channel count, delivering one
//   PcmBuffer per fragment to the registered output, on the registered queue, with CLOCK_MONOTONIC presentation
//   times in nanoseconds (see CaptureClock): counted in frames, and held against the server's timing snapshots
//   (taken every 200 ms: how many frames it had queued at what moment, and how far its source and, for a monitor,
//   its sink lagged), so that frames the server lost show as a jump in time. For a monitor the times are when the
//   sink plays the frames. Only the audio output type is accepted.
// - It follows the system's output: when the default sink changes, or the recorded sink goes away while others
//   remain, it continues from the default sink's monitor without ending the stream (the times keep following the
//   clock, so the switch shows as a gap). It never records a source that is not a monitor: the record stream is
//   connected so that the server cannot move it elsewhere. Only when no sink is left, or the server connection is
//   lost, does the stream end by itself, and the delegate hears didStopWithError once.
// - Stop takes what the server captured up to the moment of the request, then disconnects.
// - Every wait on the server is bounded (see Tuning): a server that hangs makes a start or a content query fail
//   with an error saying it did not answer, ends the stream when an output switch cannot complete, and never holds
//   a stop beyond its limit. Audio waiting on the output's queue is bounded too: a recorder that stops taking it
//   loses the excess as a jump in the times, not as memory.
//
// Threads: each stream has a control thread on which start, stop and output switches run one at a time, blocking on
// libpulse's main-loop thread; completions and didStopWithError come on that control thread. Content queries run
// on the service's own query thread and complete there. Fragments are read on the main-loop thread and handed to
// the output's queue with `async`. Nothing here writes to standard output or standard error.
#pragma once

#include "platform/capture.h"
#include "platform/thread_serial_queue.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qfx::platform::linux_backend {

/// A sink as a capturable display: its server name (its monitor is what gets recorded).
class PulseDisplay final : public Display {
public:
    PulseDisplay(std::string sinkName, std::string monitorName)
        : sinkName_(std::move(sinkName)), monitorName_(std::move(monitorName)) {}
    [[nodiscard]] const std::string& sinkName() const { return sinkName_; }
    [[nodiscard]] const std::string& monitorName() const { return monitorName_; }

private:
    std::string sinkName_;
    std::string monitorName_;
};

/// The capture service over libpulse. Its methods may be called from any thread.
class PulseCaptureService final : public CaptureService {
public:
    /// What a stream asks of the server, and how it reads the server's timing. The defaults were chosen by
    /// measurement against private PulseAudio 16.1 and PipeWire 0.3.65 servers on a 2-core machine.
    struct Tuning {
        /// How much audio the server gathers before it sends it; with ADJUST_LATENCY also the source's latency.
        /// Measured with bench/capture_bench.cpp (CPU while a tone plays; audio missing before a stop request):
        ///   fragment   our CPU    server CPU (PulseAudio / PipeWire)   missing at stop without the tail wait
        ///   10 ms      0.5 %      1.0 % / 3.1 %                        up to 11 ms (PipeWire)
        ///   20 ms      0.3-0.4 %  0.75 % / 1.9 %                       up to 23 ms
        ///   30 ms      0.3 %      0.5 % / 1.0 %                        up to 38 ms
        ///   50 ms      0.2 %      0.5 % / 0.9 %                        up to 95 ms
        /// With the tail wait nothing before the request is missing at any size; the fragment then only sets how
        /// long a stop waits on PipeWire (about one fragment; PulseAudio's monitor is ahead of playback and needs
        /// no wait). 20 ms keeps even an unwaited stop within 25 ms at a server cost well under 2 %.
        int64_t fragmentNs = 20'000'000;
        /// The clock ahead of the sample count by more than this means the server lost frames. The timing
        /// snapshots agree with the sample count to within 3 ms on both servers, and a sink's latency (which a
        /// monitor's times include) moves by up to one fragment when players come and go: two fragments stay clear
        /// of both, and bound how far the file's timeline can drift from the clock through small losses.
        int64_t lossThresholdNs = 40'000'000;
        /// At stop, how long past the request to wait for the server's last fragment before disconnecting.
        int64_t tailWaitNs = 500'000'000;
        /// How much audio the server keeps for a stream that is not read; past it, it drops frames. Zero: the
        /// server's maximum (about ten seconds here), so that a stalled process loses nothing and catches up.
        int64_t serverBufferNs = 0;
        /// How long the server may take to answer before a start, a content query or an output switch gives up
        /// with an error saying so. A healthy server answers in milliseconds; a stopped one would otherwise hold
        /// each request for libpulse's reply timeout, up to 30 s.
        int64_t answerLimitNs = 5'000'000'000;
        /// How long after the stop request the capture ends at the latest, the tail wait included, whatever the
        /// server does: what arrived by then is kept.
        int64_t stopLimitNs = 1'000'000'000;
        /// How much captured audio may wait on the output's queue for the recorder (a writer stuck on a stalled
        /// disk stops taking it). Past it, fragments are dropped rather than queued: memory stays bounded, and the
        /// dropped stretch shows as a jump in the times, which the writer fills with silence of the same length.
        int64_t queuedAudioLimitNs = 3'000'000'000;
    };

    /// Routes libpulse's own log lines away from standard error (see the constructor): make the first service on the
    /// main thread before other threads read the environment.
    PulseCaptureService() : PulseCaptureService(Tuning{}) {}
    explicit PulseCaptureService(Tuning tuning);
    /// Waits for the content queries in progress to complete. Streams made here may outlive the service.
    ~PulseCaptureService() override;
    PulseCaptureService(const PulseCaptureService&) = delete;
    PulseCaptureService& operator=(const PulseCaptureService&) = delete;

    /// The two flags are screen-capture notions without meaning here; the completion comes on the query thread.
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;

    /// A filter on `display`'s sink. Applications and windows cannot be told apart in a monitor: both lists are
    /// ignored (the recorder passes none).
    std::shared_ptr<ContentFilter>
    makeContentFilter(std::shared_ptr<Display> display,
                      std::vector<std::shared_ptr<RunningApplication>> excludingApplications,
                      std::vector<std::shared_ptr<Window>> exceptingWindows) override;

    /// Records the sample rate and channel count; excluding this process's audio cannot be done on a monitor and
    /// the queue depth has no counterpart, so both are ignored.
    std::shared_ptr<StreamConfiguration> makeStreamConfiguration() override;

    /// A stream that is not connected until startCapture. A filter or configuration not made here fails at start.
    /// The stream must not be released for the last time inside one of its own completions or delegate calls
    /// (they run on its control thread, which its destruction joins).
    std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                       std::shared_ptr<StreamConfiguration> configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override;

private:
    Tuning tuning_;
    ThreadSerialQueue queries_; // last: drained and joined first on destruction
};

} // namespace qfx::platform::linux_backend
