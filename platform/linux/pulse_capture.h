// The Linux capture service: system audio from the monitor of the default sink, through libpulse's threaded main
// loop, so that it works against PulseAudio and against PipeWire's PulseAudio server alike.
//
// How the capture operations map onto libpulse:
// - Shareable content: a context connected to the default server (libpulse's own lookup: PULSE_SERVER, the
//   session's runtime directory, client.conf; never an autospawned server) lists the sinks, the server's default
//   sink first. No sink gives an empty list. A failed connection is an Error saying what failed and why. The first
//   query takes over a connection that the service began when it was made; each query's connection stays open for
//   the next stream's start to take over (the recorder starts one right after its query), which then needs no
//   connection of its own.
// - Content filter: the first display's sink; the stream records that sink's monitor source.
// - Stream: a record stream of interleaved float32 frames at the configured rate and channel count, delivering one
//   PcmBuffer per fragment to the registered output, on the registered queue, with CLOCK_MONOTONIC presentation
//   times in nanoseconds (see CaptureClock): counted in frames, and held against the server's timing snapshots
//   (see Tuning: how many frames it had queued at what moment, and how far its source and, for a monitor, its sink
//   lagged), so that frames the server lost show as a jump in time. For a monitor the times are when the sink plays
//   the frames; a fragment that arrives before the sink has played it is handed on once it has (with the next
//   fragment). Only the audio output type is accepted.
// - It follows the system's output: when the default sink changes, or the recorded sink goes away while others
//   remain, it continues from the default sink's monitor without ending the stream (the times keep following the
//   clock, so the switch shows as a gap). It never records a source that is not a monitor: the record stream is
//   connected so that the server cannot move it elsewhere. Only when no sink is left, or the server connection is
//   lost, does the stream end by itself, and the delegate hears didStopWithError once.
// - Stop takes what the server captured up to the moment of the request, and nothing played after it: it asks for
//   small fragments, waits for the audio up to the request (the tail wait), cuts what lies past it (unless none of
//   the audio was played before the request). Its completion comes once that audio has been handed to the output's
//   queue; the disconnection follows on the control thread, while the recorder finishes the file.
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

class SpareConnection;

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
        /// Each fragment wakes libpulse's thread and the output's queue once. Measured with bench/capture_bench.cpp
        /// (this process's wakeups per second while a tone plays, snapshots every 200 ms; CPU of this process and
        /// of the server, PulseAudio / PipeWire):
        ///   fragment   wakeups/s   our CPU     server CPU
        ///   20 ms      120         0.6-0.9 %   1.8 % / 3.6-4.5 %
        ///   50 ms      48-54       0.2 %       0.5 % / 0.9 %
        ///   100 ms     25-27       0.2-0.3 %   0.4 % / 1.0-1.8 %
        ///   200 ms     15-16
        /// The fragment does not limit how fast a stop is (see stopFragmentNs), nor how exactly it ends (audio
        /// played after the request is cut off), nor, with the tail wait, what it keeps.
        int64_t fragmentNs = 100'000'000;
        /// The fragment asked for at the stop request, before the tail wait, so that the server sends what it holds
        /// without waiting for a whole fragment; zero keeps the fragment. PulseAudio's monitor runs ahead of
        /// playback and needs no wait at all. PipeWire's server sends once a fragment has gathered, and a fragment
        /// is also its node's latency: the graph's period follows it down to the smallest latency asked for, up to
        /// 2048 frames (42.7 ms at 48 kHz). No smaller than that, the shrink leaves the graph's period alone and the
        /// server sends at its next period; smaller, it changes the period, which pauses the graph for some 50 ms
        /// and lost up to 30 ms of audio before the request. Measured at 100 ms fragments on PipeWire (mean stop,
        /// audio missing): no shrink 78-83 ms, none; 43 ms: 24-28 ms, none; 10 ms: 71 ms, up to 30 ms.
        int64_t stopFragmentNs = 43'000'000;
        /// How often the stream's timing is sampled from the server. Each snapshot's reply wakes libpulse's thread
        /// once; a loss shows at the first snapshot after it; and a drifting card's times stray from it by the
        /// interval times its rate offset (5 ms a second at half a percent), well inside the clock's dead band.
        int64_t snapshotIntervalNs = 1'000'000'000;
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
    /// main thread before other threads read the environment. Begins connecting to the sound server, for the first
    /// content query to take over.
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
    std::shared_ptr<SpareConnection> spare_; ///< a connection for the next query or stream start to take over
    ThreadSerialQueue queries_;              // last: drained and joined first on destruction
};

} // namespace qfx::platform::linux_backend
