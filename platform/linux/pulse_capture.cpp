#include "platform/linux/pulse_capture.h"

#include "platform/linux/capture_clock.h"
#include "platform/linux/pcm_buffer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qfx::platform::linux_backend {
namespace {

constexpr const char* kClientName = "qfx_system_audio";
constexpr const char* kStreamName = "System audio";

/// The one place where a libpulse error code becomes text.
Error describe(const std::string& what, int code) {
    // A context that went away without a recorded error (terminated rather than failed) still says why.
    return Error{what + ": " + pa_strerror(code != PA_OK ? code : PA_ERR_CONNECTIONTERMINATED)};
}

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

/// A threaded main loop with one context on it. `connect`, `beginConnecting`, `awaitReady` and the destructor take
/// the loop's lock themselves (and must be called without it); everything else expects the caller to hold it. Every
/// callback that a wait here can depend on signals the loop, and every wait also gives up when the context (or a
/// watched stream) fails, so that a server that dies cannot leave a wait hanging, and when the deadline passes, so that
/// a server that hangs (stopped, or stuck on a stalled disk) cannot either: libpulse's own reply timeouts run to 30 s.
class Connection {
public:
    /// Every wait gives up at `deadlineNs` (CLOCK_MONOTONIC) until setDeadline moves it.
    explicit Connection(int64_t deadlineNs) : loop_(pa_threaded_mainloop_new()), deadlineNs_(deadlineNs) {}
    ~Connection() {
        if (context_ != nullptr) {
            if (running_) {
                const LoopLock lock(loop_);
                pa_context_set_state_callback(context_, nullptr, nullptr);
                pa_context_set_subscribe_callback(context_, nullptr, nullptr);
                pa_context_disconnect(context_);
            }
        }
        if (running_) {
            pa_threaded_mainloop_stop(loop_);
        }
        if (context_ != nullptr) {
            pa_context_unref(context_);
        }
        if (loop_ != nullptr) {
            pa_threaded_mainloop_free(loop_);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Connects to the default server and waits until the context is ready (or the deadline).
    MaybeError connect() {
        if (MaybeError error = beginConnecting()) {
            return error;
        }
        return awaitReady(deadlineNs_);
    }

    /// Starts connecting to the default server; the handshake goes on on the loop's thread. An error only when the
    /// connection could not even be started.
    MaybeError beginConnecting() {
        if (loop_ == nullptr) {
            return describe(kConnectFailure, PA_ERR_INTERNAL);
        }
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
        if (context_ == nullptr) {
            return describe(kConnectFailure, PA_ERR_INTERNAL);
        }
        pa_context_set_state_callback(context_, signalOnContext, loop_);
        if (pa_threaded_mainloop_start(loop_) < 0) {
            return describe(kConnectFailure, PA_ERR_INTERNAL);
        }
        running_ = true;
        const LoopLock lock(loop_);
        // No autospawn: a capture helper must never start a sound server of its own.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return describe(kConnectFailure, pa_context_errno(context_));
        }
        return std::nullopt;
    }

    /// Waits, with `deadlineNs` as the deadline from here on, until a begun connection is ready; an error when it
    /// failed or the deadline passed first.
    MaybeError awaitReady(int64_t deadlineNs) {
        if (context_ == nullptr || !running_) {
            return describe(kConnectFailure, PA_ERR_INTERNAL);
        }
        const LoopLock lock(loop_);
        setDeadline(deadlineNs);
        waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; });
        if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
            return failure(kConnectFailure);
        }
        return std::nullopt;
    }

    /// Moves the deadline of every later wait. Lock held once connected.
    void setDeadline(int64_t deadlineNs) {
        deadlineNs_ = deadlineNs;
        timedOut_ = false;
    }
    [[nodiscard]] int64_t deadline() const { return deadlineNs_; }
    [[nodiscard]] bool timedOut() const { return timedOut_; }

    /// Why the last thing waited for did not happen: the deadline passed, or the context's error.
    [[nodiscard]] Error failure(const std::string& what) const {
        if (timedOut_) {
            return Error{what + ": the sound server did not answer in time"};
        }
        return describe(what, pa_context_errno(context_));
    }

    [[nodiscard]] pa_threaded_mainloop* loop() const { return loop_; }
    [[nodiscard]] pa_context* context() const { return context_; }
    [[nodiscard]] bool contextGood() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }
    [[nodiscard]] int errorCode() const { return pa_context_errno(context_); }
    void signal() const { pa_threaded_mainloop_signal(loop_, 0); }

    /// Waits until `done()` holds. False when the context, or `stream` when given, failed first, or the deadline
    /// passed (then failure() says so).
    template <class Done>
    bool waitUntil(Done done, pa_stream* stream = nullptr) {
        if (done()) {
            return true;
        }
        struct Timer {
            pa_threaded_mainloop* loop;
            bool expired = false;
        } timer{loop_};
        pa_time_event* event = pa_context_rttime_new(
            context_, static_cast<pa_usec_t>(std::max<int64_t>(deadlineNs_, 0) / 1000),
            [](pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const timeval* /*time*/, void* data) {
                auto* t = static_cast<Timer*>(data);
                t->expired = true;
                pa_threaded_mainloop_signal(t->loop, 0);
            },
            &timer);
        bool reached = true;
        while (!done()) {
            if (!contextGood() || (stream != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))) {
                reached = false;
                break;
            }
            if (timer.expired || event == nullptr) {
                timedOut_ = true;
                reached = false;
                break;
            }
            pa_threaded_mainloop_wait(loop_);
        }
        if (event != nullptr) {
            pa_threaded_mainloop_get_api(loop_)->time_free(event);
        }
        return reached;
    }

    /// Waits for `operation` to complete and releases it. False when it could not be started or did not complete.
    bool await(pa_operation* operation) {
        if (operation == nullptr) {
            return false;
        }
        const bool completed =
            waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
        if (!completed) {
            pa_operation_cancel(operation); // its callback, which points into the caller's frame, never comes
        }
        const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
        pa_operation_unref(operation);
        return done;
    }

    static void signalOnContext(pa_context* /*context*/, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    /// Detaches the owner's callbacks from the context, so that a server going away from here on calls nothing
    /// that is being released. Lock held.
    void detachOwner() {
        pa_context_set_state_callback(context_, signalOnContext, loop_);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    }

private:
    static constexpr const char* kConnectFailure = "Cannot connect to the sound server";

    pa_threaded_mainloop* loop_;
    pa_context* context_ = nullptr;
    bool running_ = false;
    int64_t deadlineNs_;
    bool timedOut_ = false;
};

} // namespace

/// A connection kept for the next user to take over, so that it needs no handshake of its own: the one the service
/// begins when it is made, for the first content query, and then that of the last query, for the stream that the
/// recorder starts right after it. At most one is kept. The service puts it when it is made and its query thread
/// after each query; the query thread and a stream's control thread take it.
class SpareConnection {
public:
    void put(std::unique_ptr<Connection> connection) {
        std::unique_ptr<Connection> replaced; // released outside the lock: that waits for its loop thread
        const std::lock_guard lock(mutex_);
        replaced = std::exchange(spare_, std::move(connection));
    }
    std::unique_ptr<Connection> take() {
        const std::lock_guard lock(mutex_);
        return std::move(spare_);
    }

private:
    std::mutex mutex_;
    std::unique_ptr<Connection> spare_;
};

namespace {

/// Into `connection`, one ready by `deadlineNs`: the spare one when it is or becomes ready by then (one still
/// connecting is waited for), else a new one. The error when neither could be had. Lock not held.
MaybeError takeOrConnect(SpareConnection& spare, int64_t deadlineNs, std::unique_ptr<Connection>& connection) {
    connection = spare.take();
    if (connection != nullptr && !connection->awaitReady(deadlineNs)) {
        return std::nullopt;
    }
    // A spare that failed tells nothing about the server now: a connection of its own does, with its own error.
    connection = std::make_unique<Connection>(deadlineNs);
    return connection->connect();
}

struct SinkEntry {
    std::string name;
    std::string monitor;
};

/// The server's sinks in its own order, or none when the list could not be had. Lock held.
std::optional<std::vector<SinkEntry>> listSinks(Connection& connection) {
    struct Query {
        pa_threaded_mainloop* loop;
        std::vector<SinkEntry> sinks;
        bool failed = false;
    } query{connection.loop(), {}};
    const bool done = connection.await(pa_context_get_sink_info_list(
        connection.context(),
        [](pa_context* /*context*/, const pa_sink_info* info, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (eol < 0) {
                q->failed = true;
            } else if (eol == 0 && info != nullptr && info->name != nullptr && info->monitor_source_name != nullptr) {
                q->sinks.push_back({info->name, info->monitor_source_name});
            }
            if (eol != 0) {
                pa_threaded_mainloop_signal(q->loop, 0);
            }
        },
        &query));
    if (!done || query.failed) {
        return std::nullopt;
    }
    return std::move(query.sinks);
}

/// The server's default sink name (empty when it has none), or none when it could not be had. Lock held.
std::optional<std::string> defaultSinkName(Connection& connection) {
    struct Query {
        pa_threaded_mainloop* loop;
        std::string name;
    } query{connection.loop(), {}};
    const bool done = connection.await(pa_context_get_server_info(
        connection.context(),
        [](pa_context* /*context*/, const pa_server_info* info, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info != nullptr && info->default_sink_name != nullptr) {
                q->name = info->default_sink_name;
            }
            pa_threaded_mainloop_signal(q->loop, 0);
        },
        &query));
    if (!done) {
        return std::nullopt;
    }
    return std::move(query.name);
}

/// The first of `preferred` that exists, else the server's first sink; none when there is no sink.
std::optional<SinkEntry> chooseSink(const std::vector<SinkEntry>& sinks, std::initializer_list<std::string> preferred) {
    for (const std::string& name : preferred) {
        for (const SinkEntry& sink : sinks) {
            if (!name.empty() && sink.name == name) {
                return sink;
            }
        }
    }
    if (sinks.empty()) {
        return std::nullopt;
    }
    return sinks.front();
}

/// The sinks as displays, the default one first; `connection` stays connected for a stream to take over.
Result<std::vector<std::shared_ptr<Display>>> queryDisplays(int64_t answerLimitNs, SpareConnection& spare,
                                                            std::unique_ptr<Connection>& kept) {
    std::unique_ptr<Connection> owned;
    if (MaybeError error = takeOrConnect(spare, CaptureClock::monotonicNowNs() + answerLimitNs, owned)) {
        return *error;
    }
    Connection& connection = *owned;
    const LoopLock lock(connection.loop());
    std::optional<std::string> defaultSink = defaultSinkName(connection);
    std::optional<std::vector<SinkEntry>> sinks = defaultSink ? listSinks(connection) : std::nullopt;
    if (!sinks) {
        return connection.failure("Cannot list the sound outputs");
    }
    std::vector<std::shared_ptr<Display>> displays;
    for (const SinkEntry& sink : *sinks) {
        auto display = std::make_shared<PulseDisplay>(sink.name, sink.monitor);
        if (sink.name == *defaultSink) {
            displays.insert(displays.begin(), std::move(display));
        } else {
            displays.push_back(std::move(display));
        }
    }
    kept = std::move(owned); // released by the caller, after the lock
    return displays;
}

class PulseContentFilter final : public ContentFilter {
public:
    explicit PulseContentFilter(std::shared_ptr<Display> display) : display_(std::move(display)) {}
    /// The sink to record first, or empty when the display was not one of this service's.
    [[nodiscard]] std::string sinkName() const {
        const auto* display = dynamic_cast<const PulseDisplay*>(display_.get());
        return display != nullptr ? display->sinkName() : std::string();
    }

private:
    std::shared_ptr<Display> display_;
};

class PulseStreamConfiguration final : public StreamConfiguration {
public:
    void setCapturesAudio(bool /*capturesAudio*/) override {}
    void setExcludesCurrentProcessAudio(bool /*excludesCurrentProcessAudio*/) override {}
    void setSampleRate(int64_t sampleRate) override { sampleRate_ = sampleRate; }
    void setChannelCount(int64_t channelCount) override { channelCount_ = channelCount; }
    void setQueueDepth(int64_t /*queueDepth*/) override {}

    [[nodiscard]] int64_t sampleRate() const { return sampleRate_; }
    [[nodiscard]] int64_t channelCount() const { return channelCount_; }

private:
    int64_t sampleRate_ = 48000;
    int64_t channelCount_ = 2;
};

/// A record stream on the monitor of the followed sink. See pulse_capture.h for the threads. Fields below the
/// control queue's comment are owned by the control thread; while the main loop runs, the loop thread reads and
/// writes them too, both sides holding the loop's lock.
class PulseStream final : public Stream, public std::enable_shared_from_this<PulseStream> {
public:
    PulseStream(std::string sinkName, pa_sample_spec spec, MaybeError setupError, PulseCaptureService::Tuning tuning,
                std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<SpareConnection> spare)
        : initialSink_(std::move(sinkName)), spec_(spec), setupError_(std::move(setupError)), tuning_(tuning),
          delegate_(std::move(delegate)), spare_(std::move(spare)),
          queuedFramesLimit_(tuning.queuedAudioLimitNs * static_cast<int64_t>(spec.rate) /
                             CaptureClock::kNanosPerSecond),
          clock_(static_cast<int32_t>(spec.rate), tuning.lossThresholdNs), control_("qfx.pulse-capture.control") {}

    ~PulseStream() override {
        destroying_ = true;
        control_.async([this] { shutdown(); });
        // control_, the last member, is destroyed first: it runs what was queued, the shutdown last, then joins.
    }

    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    MaybeError addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                               std::shared_ptr<SerialQueue> queue) override {
        if (type != kStreamOutputTypeAudio) {
            return Error{"Only audio output is supported, not output type " + std::to_string(type)};
        }
        if (queue == nullptr) {
            return Error{"An audio output needs a queue to be delivered on"};
        }
        const std::lock_guard lock(outputMutex_);
        output_ = std::move(output);
        outputQueue_ = std::move(queue);
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        control_.async([this, completion = std::move(completion)] { completion(start()); });
    }

    void stopCapture(CaptureCompletion completion) override {
        stopRequested_ = true;
        const int64_t requestedAtNs = CaptureClock::monotonicNowNs();
        int64_t none = 0;
        stopAtNs_.compare_exchange_strong(none, requestedAtNs); // a second request keeps the first one's moment
        control_.async([this, requestedAtNs, completion = std::move(completion)] {
            stop(requestedAtNs);
            // Everything up to the request has been handed on: the recorder finishes the file while the
            // connection is taken down.
            completion(std::nullopt);
            shutdown();
        });
    }

private:
    enum class Phase { idle, running, stopping, ended };
    /// Whether the current record stream's timing is known: a snapshot taken after its data began to flow.
    enum class Timing { waiting, settling, settled };

    /// Frames read from the server; no samples for a hole.
    struct Fragment {
        int64_t position = 0; ///< frames the stream delivered before these
        int64_t frames = 0;
        std::vector<float> samples;
    };
    /// A fragment with its presentation time and length.
    struct Placed {
        int64_t timeNs = 0;
        int64_t lengthNs = 0;
        std::vector<float> samples;
    };
    /// Times far ahead of the clock are not a monitor's lead but a clock gone astray: audio is not held back for
    /// them beyond this.
    static constexpr int64_t kMostHeldBackNs = 1'000'000'000;

    // --- Control thread ---

    /// Takes over the last content query's connection while it is still connected, else connects anew.
    MaybeError connect() {
        return takeOrConnect(*spare_, CaptureClock::monotonicNowNs() + tuning_.answerLimitNs, connection_);
    }

    MaybeError start() {
        if (phase_ != Phase::idle || startRequested_) {
            return Error{"The capture was already started"};
        }
        startRequested_ = true;
        if (setupError_) {
            phase_ = Phase::ended;
            return setupError_;
        }
        MaybeError error = connect();
        if (!error) {
            const LoopLock lock(connection_->loop());
            pa_context* context = connection_->context();
            pa_context_set_state_callback(context, onContextState, this);
            pa_context_set_subscribe_callback(context, onServerEvent, this);
            const auto mask =
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
            if (!connection_->await(pa_context_subscribe(context, mask, signalOnSuccess, connection_->loop()))) {
                error = connection_->failure("Cannot follow the sound outputs");
            }
            if (!error) {
                // The display's sink, or the default one if that went away since the content query.
                defaultSink_ = defaultSinkName(*connection_).value_or(std::string());
                error = recordFollowedSink({initialSink_, defaultSink_});
            }
            if (!error) {
                phase_ = Phase::running;
                // An output change during the start came before anyone listened: look once more.
                scheduleFollow();
            }
        }
        if (error) {
            shutdown();
        }
        return error;
    }

    void stop(int64_t requestedAtNs) {
        if (phase_ == Phase::running) {
            const LoopLock lock(connection_->loop());
            // Whatever the server does, the stop ends on time with what arrived: a parent kills a helper that
            // does not exit soon after its stop line.
            connection_->setDeadline(requestedAtNs + tuning_.stopLimitNs);
            phase_ = Phase::stopping;
            shrinkFragment();
            takeTail(requestedAtNs);
            closeRecordStream();
            phase_ = Phase::ended;
        }
    }

    /// Records from the default sink's monitor unless that is what is recorded already; ends the stream when there
    /// is no sink left or the server is gone.
    void follow() {
        MaybeError ending;
        if (connection_ == nullptr) {
            return;
        }
        {
            const LoopLock lock(connection_->loop());
            followQueued_ = false;
            if (phase_ != Phase::running) {
                return;
            }
            connection_->setDeadline(CaptureClock::monotonicNowNs() + tuning_.answerLimitNs);
            // A new default sink is followed; otherwise the recorded sink is kept while it exists (the display the
            // stream was made for need not be the default one).
            const std::string defaultSink = defaultSinkName(*connection_).value_or(std::string());
            const bool defaultChanged = !defaultSink.empty() && defaultSink != defaultSink_;
            defaultSink_ = defaultSink;
            ending =
                defaultChanged ? recordFollowedSink({defaultSink, sink_}) : recordFollowedSink({sink_, defaultSink});
            if (ending) {
                phase_ = Phase::ended;
                closeRecordStream();
            }
        }
        if (ending) {
            shutdown();
            reportEnd(*ending);
        }
    }

    /// Makes sure a live record stream records the monitor of the first of `preferred` that exists (else of the
    /// server's first sink), switching streams when needed. An error when that cannot be done. Lock held.
    MaybeError recordFollowedSink(std::initializer_list<std::string> preferred) {
        // A sink can vanish between the query and the connection; a few tries tell that from a lasting failure.
        constexpr int kAttempts = 3;
        MaybeError error;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            if (!connection_->contextGood()) {
                // The context's error code by now tells of later calls on the dead connection, not of its end.
                return describe("The sound server connection was lost", PA_ERR_CONNECTIONTERMINATED);
            }
            std::optional<std::vector<SinkEntry>> sinks = listSinks(*connection_);
            if (!sinks) {
                error = connection_->failure("Cannot list the sound outputs");
                if (connection_->timedOut()) {
                    return error;
                }
                continue;
            }
            std::optional<SinkEntry> sink = chooseSink(*sinks, preferred);
            if (!sink) {
                return Error{"No sound output is left to record"};
            }
            if (record_ != nullptr && PA_STREAM_IS_GOOD(pa_stream_get_state(record_)) && sink->monitor == source_) {
                return std::nullopt;
            }
            error = recordFrom(*sink);
            if (!error || connection_->timedOut()) {
                return error;
            }
        }
        return error;
    }

    /// Replaces the record stream by one on `sink`'s monitor and waits until it runs. Lock held.
    MaybeError recordFrom(const SinkEntry& sink) {
        closeRecordStream();
        clock_.restart();
        timing_ = Timing::waiting;
        readFrames_ = 0;
        snapshotPending_ = false;
        moved_ = false;
        pa_context* context = connection_->context();
        pa_stream* stream = pa_stream_new(context, kStreamName, &spec_, nullptr);
        if (stream == nullptr) {
            return describe("Cannot create a record stream", connection_->errorCode());
        }
        pa_stream_set_state_callback(stream, onStreamState, this);
        pa_stream_set_read_callback(stream, onReadable, this);
        pa_stream_set_moved_callback(stream, onMoved, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = tuning_.serverBufferNs > 0
                                   ? static_cast<uint32_t>(pa_usec_to_bytes(tuning_.serverBufferNs / 1000, &spec_))
                                   : static_cast<uint32_t>(-1);
        attributes.tlength = static_cast<uint32_t>(-1);
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.minreq = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(tuning_.fragmentNs / 1000, &spec_));
        // ADJUST_LATENCY makes the source itself run at the fragment's latency (else the server's default of about
        // two seconds applies, and that much would be lost at stop). DONT_MOVE keeps the server from moving the
        // stream to another source when the sink goes away: the stream is killed instead, and follow() picks the
        // next monitor, so a microphone is never recorded.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream, sink.monitor.c_str(), &attributes, flags) < 0) {
            const int code = connection_->errorCode();
            release(stream);
            return describe("Cannot record from " + sink.monitor, code);
        }
        record_ = stream;
        source_ = sink.monitor;
        sink_ = sink.name;
        connection_->waitUntil([stream] { return pa_stream_get_state(stream) == PA_STREAM_READY; }, stream);
        if (pa_stream_get_state(stream) != PA_STREAM_READY) {
            Error error = connection_->failure("Cannot record from " + sink.monitor);
            closeRecordStream();
            return error;
        }
        return std::nullopt;
    }

    /// Reads what the current record stream still holds, disconnects it and waits until it has ended. Lock held.
    void closeRecordStream() {
        pa_stream* stream = record_;
        if (stream == nullptr) {
            return;
        }
        record_ = nullptr; // from here its state changes are no news for onStreamState
        source_.clear();
        if (pa_stream_get_state(stream) == PA_STREAM_READY) {
            readFragments(stream);
            if (timing_ != Timing::settled) {
                // The snapshot asked for will not come now: count the held frames back from the present.
                originNs_ = CaptureClock::monotonicNowNs() - clock_.framesToNs(readFrames_);
                releaseHeld();
            }
            handOnAhead(true);
            if (pa_stream_disconnect(stream) == 0) {
                connection_->waitUntil([stream] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); });
            }
        }
        if (droppedUntilNs_ != 0) {
            // The last fragments were dropped: an empty buffer at their end keeps the file's length on the clock.
            const int64_t stopAt = stopAtNs_.load();
            const int64_t endNs = stopAt != 0 ? std::min(droppedUntilNs_, stopAt) : droppedUntilNs_;
            deliver(PcmBuffer(MediaTime::make(endNs, static_cast<int32_t>(CaptureClock::kNanosPerSecond)),
                              static_cast<int32_t>(spec_.rate), spec_.channels, {}));
        }
        release(stream);
    }

    /// Detaches this object's callbacks from `stream` and drops the reference to it. Lock held.
    static void release(pa_stream* stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
    }

    /// Asks the server for small fragments, so that it sends what it gathered for the stream without waiting for a
    /// whole fragment. Nothing waits for the answer: the tail wait that follows waits for the audio itself, and a
    /// server that ignores the request only makes the stop wait as long as before. Lock held.
    void shrinkFragment() {
        if (record_ == nullptr || tuning_.stopFragmentNs <= 0 || tuning_.stopFragmentNs >= tuning_.fragmentNs) {
            return;
        }
        const pa_buffer_attr* current = pa_stream_get_buffer_attr(record_);
        if (current == nullptr) {
            return;
        }
        pa_buffer_attr attributes = *current;
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(tuning_.stopFragmentNs / 1000, &spec_));
        if (pa_operation* operation = pa_stream_set_buffer_attr(record_, &attributes, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }

    /// Waits until the fragments cover the time of the stop request, or until the tail wait is over. Lock held.
    void takeTail(int64_t requestedAtNs) {
        if (record_ == nullptr) {
            return;
        }
        struct Timer {
            pa_threaded_mainloop* loop;
            bool expired = false;
        } timer{connection_->loop()};
        pa_context* context = connection_->context();
        pa_time_event* event = pa_context_rttime_new(
            context, static_cast<pa_usec_t>((requestedAtNs + tuning_.tailWaitNs) / 1000),
            [](pa_mainloop_api* /*api*/, pa_time_event* /*event*/, const timeval* /*time*/, void* data) {
                auto* t = static_cast<Timer*>(data);
                t->expired = true;
                pa_threaded_mainloop_signal(t->loop, 0);
            },
            &timer);
        pa_stream* stream = record_;
        connection_->waitUntil(
            [&] { return timer.expired || event == nullptr || (clock_.anchored() && clock_.endNs() >= requestedAtNs); },
            stream);
        if (event != nullptr) {
            pa_threaded_mainloop_get_api(connection_->loop())->time_free(event);
        }
    }

    /// Ends the capture: the record stream, the context and the main loop. Lock not held.
    void shutdown() {
        if (connection_ != nullptr) {
            {
                const LoopLock lock(connection_->loop());
                phase_ = Phase::ended;
                connection_->setDeadline(
                    std::min(connection_->deadline(), CaptureClock::monotonicNowNs() + tuning_.stopLimitNs));
                closeRecordStream();
                // Under the lock, before anything they use goes: a server that dies from here on would otherwise
                // call this object's callbacks while the connection is being released.
                connection_->detachOwner();
            }
            connection_.reset();
        }
        phase_ = Phase::ended;
    }

    void reportEnd(const Error& error) {
        if (reported_ || stopRequested_ || destroying_) {
            return;
        }
        reported_ = true;
        if (const std::shared_ptr<StreamDelegate> delegate = delegate_.lock()) {
            delegate->didStopWithError(*this, error);
        }
    }

    // --- Main-loop thread, lock held (readFragments also on the control thread, lock held) ---

    static void onContextState(pa_context* context, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        self->connection_->signal();
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            self->scheduleFollow();
        }
    }

    static void onStreamState(pa_stream* stream, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        self->connection_->signal();
        if (stream == self->record_ && pa_stream_get_state(stream) == PA_STREAM_READY && self->capturingSinceNs_ == 0) {
            self->capturingSinceNs_ = CaptureClock::monotonicNowNs();
        }
        if (stream == self->record_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            self->scheduleFollow();
        }
    }

    /// DONT_MOVE should make this impossible; should a server move the stream all the same, what it records
    /// elsewhere is dropped until follow() has put a stream back on a monitor.
    static void onMoved(pa_stream* stream, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        if (stream == self->record_) {
            self->moved_ = true;
            self->source_.clear();
            self->scheduleFollow();
        }
    }

    static void onServerEvent(pa_context* /*context*/, pa_subscription_event_type_t event, uint32_t /*index*/,
                              void* data) {
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        // The default sink changing shows as a server change; a sink going away may be the recorded one.
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
            (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_REMOVE)) {
            static_cast<PulseStream*>(data)->scheduleFollow();
        }
    }

    static void onReadable(pa_stream* stream, size_t /*bytes*/, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        self->readFragments(stream);
        self->connection_->signal(); // a stop may be waiting for the tail
    }

    static void signalOnSuccess(pa_context* /*context*/, int /*success*/, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    void scheduleFollow() {
        if (phase_ != Phase::running || followQueued_) {
            return;
        }
        followQueued_ = true;
        control_.async([this] { follow(); });
    }

    /// Hands every fragment the stream holds to the output, timed by the latest snapshot of the stream's timing.
    /// Until the first snapshot taken after data flowed, fragments are held back: before the source runs, the
    /// server's indices say nothing about when capture began.
    void readFragments(pa_stream* stream) {
        const size_t frameBytes = pa_frame_size(&spec_);
        for (;;) {
            const size_t readable = pa_stream_readable_size(stream);
            if (readable == 0 || readable == static_cast<size_t>(-1)) {
                break;
            }
            const void* bytes = nullptr;
            size_t length = 0;
            if (pa_stream_peek(stream, &bytes, &length) < 0 || length == 0) {
                break;
            }
            if (moved_) {
                pa_stream_drop(stream);
                continue;
            }
            Fragment fragment;
            fragment.position = readFrames_;
            fragment.frames = static_cast<int64_t>(length / frameBytes);
            if (bytes != nullptr) { // else a hole: the server knows these frames are missing
                fragment.samples.resize(static_cast<size_t>(fragment.frames) * spec_.channels);
                std::memcpy(fragment.samples.data(), bytes, fragment.samples.size() * sizeof(float));
            }
            readFrames_ += fragment.frames;
            if (timing_ == Timing::settled) {
                place(std::move(fragment));
            } else {
                held_.push_back(std::move(fragment));
            }
            pa_stream_drop(stream);
        }
        if (readFrames_ > 0 && !snapshotPending_ &&
            (timing_ == Timing::waiting ||
             CaptureClock::monotonicNowNs() - lastSnapshotNs_ >= tuning_.snapshotIntervalNs)) {
            pa_operation* update = pa_stream_update_timing_info(stream, onSnapshot, this);
            if (update != nullptr) {
                pa_operation_unref(update);
                snapshotPending_ = true;
                lastSnapshotNs_ = CaptureClock::monotonicNowNs();
                if (timing_ == Timing::waiting) {
                    timing_ = Timing::settling;
                }
            }
        }
    }

    static void onSnapshot(pa_stream* stream, int success, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        if (stream != self->record_) {
            return;
        }
        self->snapshotPending_ = false;
        if (success != 0) {
            if (const std::optional<int64_t> origin = self->originFromSnapshot(stream)) {
                self->originNs_ = *origin;
                if (self->timing_ != Timing::settled) {
                    self->releaseHeld();
                }
            }
        }
        self->connection_->signal();
    }

    /// When the current stream's first frame was played, by the server's latest timing snapshot: the snapshot
    /// tells how many bytes the server had queued for the stream at its moment, and how far the source (and, for a
    /// monitor, the sink) lagged behind that moment.
    [[nodiscard]] std::optional<int64_t> originFromSnapshot(pa_stream* stream) const {
        const pa_timing_info* info = pa_stream_get_timing_info(stream);
        if (info == nullptr || info->write_index_corrupt != 0 || info->write_index < 0) {
            return std::nullopt;
        }
        // The snapshot's moment is on the system clock; its distance from now carries it over to CLOCK_MONOTONIC.
        timespec realNow{};
        clock_gettime(CLOCK_REALTIME, &realNow);
        const int64_t monotonicNow = CaptureClock::monotonicNowNs();
        const int64_t sinceSnapshot =
            (static_cast<int64_t>(realNow.tv_sec) - info->timestamp.tv_sec) * CaptureClock::kNanosPerSecond +
            (realNow.tv_nsec - static_cast<int64_t>(info->timestamp.tv_usec) * 1000);
        const auto frameBytes = static_cast<int64_t>(pa_frame_size(&spec_));
        // Frames the server let go without sending them: PipeWire's server skips them on overflow, so its read
        // index runs ahead of what arrived here (PulseAudio's drops instead never reach its write index).
        const int64_t skippedFrames =
            info->read_index_corrupt == 0 && info->read_index >= 0 ? info->read_index / frameBytes - readFrames_ : 0;
        const int64_t origin = monotonicNow - sinceSnapshot - clock_.framesToNs(info->write_index / frameBytes) +
                               clock_.framesToNs(skippedFrames) - static_cast<int64_t>(info->source_usec) * 1000 +
                               static_cast<int64_t>(info->sink_usec) * 1000;
        return origin;
    }

    /// Places the held fragments by the current origin and stops holding.
    void releaseHeld() {
        timing_ = Timing::settled;
        for (Fragment& fragment : held_) {
            place(std::move(fragment));
        }
        held_.clear();
    }

    void place(Fragment fragment) {
        if (!startMarked_ && capturingSinceNs_ != 0) {
            // The recording begins when the capture began, not when the first audio arrived: an idle sink's monitor
            // can take seconds to deliver its first fragment, and a file that began then would sit that much late
            // against anything started at the same moment. An empty buffer at that moment starts the session there;
            // the writer fills the wait with silence (and trims audio from before it).
            startMarked_ = true;
            deliver(PcmBuffer(MediaTime::make(capturingSinceNs_, static_cast<int32_t>(CaptureClock::kNanosPerSecond)),
                              static_cast<int32_t>(spec_.rate), spec_.channels, {}));
        }
        if (fragment.samples.empty()) {
            clock_.skip(fragment.frames);
            return;
        }
        const int64_t capturedAtNs = originNs_ + clock_.framesToNs(fragment.position);
        const int64_t timeNs = clock_.place(fragment.frames, capturedAtNs);
        ahead_.push_back(Placed{timeNs, clock_.framesToNs(fragment.frames), std::move(fragment.samples)});
        handOnAhead(false);
    }

    /// Hands on, in order, the placed fragments that the sink has played by now (all of them when `all`, or once a
    /// stop was requested). A monitor's audio arrives up to a fragment before the sink plays it.
    void handOnAhead(bool all) {
        const bool stopping = stopAtNs_.load() != 0;
        const int64_t nowNs = CaptureClock::monotonicNowNs();
        while (!ahead_.empty()) {
            Placed& first = ahead_.front();
            if (!all && !stopping && first.timeNs + first.lengthNs > nowNs && heldBackNs() <= kMostHeldBackNs) {
                break;
            }
            Placed placed = std::move(first);
            ahead_.pop_front();
            handOn(std::move(placed));
        }
    }

    [[nodiscard]] int64_t heldBackNs() const {
        return ahead_.empty() ? 0 : ahead_.back().timeNs + ahead_.back().lengthNs - ahead_.front().timeNs;
    }

    /// Delivers a placed fragment, less what lies past a stop request: that was played after the request. Unless
    /// nothing played before the request arrived at all: a sink that was rendering far ahead (seconds, for a player
    /// with a large buffer) when the stream connected sends its first audio that much later, and a recording stopped
    /// meanwhile keeps what came rather than nothing.
    void handOn(Placed placed) {
        const int64_t stopAt = stopAtNs_.load();
        if (stopAt != 0 && !keepPastStop_ && !deliveredAudio_ && placed.timeNs >= stopAt) {
            keepPastStop_ = true;
        }
        if (stopAt != 0 && !keepPastStop_) {
            if (placed.timeNs >= stopAt) {
                return;
            }
            // Rounded up: the frame under the request's moment is kept.
            const int64_t frames = ((stopAt - placed.timeNs) * spec_.rate + CaptureClock::kNanosPerSecond - 1) /
                                   CaptureClock::kNanosPerSecond;
            const auto samples = static_cast<size_t>(frames) * spec_.channels;
            if (samples < placed.samples.size()) {
                placed.samples.resize(samples);
            }
        }
        deliveredAudio_ = true;
        deliver(PcmBuffer(MediaTime::make(placed.timeNs, static_cast<int32_t>(CaptureClock::kNanosPerSecond)),
                          static_cast<int32_t>(spec_.rate), spec_.channels, std::move(placed.samples)));
    }

    void deliver(PcmBuffer buffer) {
        std::weak_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
        {
            const std::lock_guard lock(outputMutex_);
            output = output_;
            queue = outputQueue_;
        }
        if (queue == nullptr) {
            return;
        }
        // Only holders of the loop lock add to the count, so reading it first and adding later cannot overshoot.
        // Once dropping, it goes on until half the queue has drained: small fragments slipping in under the limit
        // would chop the stretch into many short silences.
        const int64_t frames = buffer.frameCount();
        const int64_t queued = queuedFrames_->load();
        if (frames > 0 &&
            (queued + frames > queuedFramesLimit_ || (droppedUntilNs_ != 0 && queued > queuedFramesLimit_ / 2))) {
            // The next fragment's time carries the jump, and the writer fills it with silence; should none follow,
            // closeRecordStream marks where the dropped audio ended.
            droppedUntilNs_ = buffer.presentationTimeStamp().value + clock_.framesToNs(frames);
            return;
        }
        droppedUntilNs_ = 0;
        *queuedFrames_ += frames;
        queue->async([stream = weak_from_this(), output = std::move(output), buffer = std::move(buffer),
                      queued = queuedFrames_, frames] {
            const std::shared_ptr<StreamOutput> receiver = output.lock();
            const std::shared_ptr<PulseStream> sender = stream.lock();
            if (receiver != nullptr && sender != nullptr) {
                receiver->didOutputSampleBuffer(*sender, buffer, kStreamOutputTypeAudio);
            }
            *queued -= frames;
        });
    }

    const std::string initialSink_;
    const pa_sample_spec spec_;
    const MaybeError setupError_;
    const PulseCaptureService::Tuning tuning_;
    const std::weak_ptr<StreamDelegate> delegate_;
    const std::shared_ptr<SpareConnection> spare_;

    std::mutex outputMutex_; // output_ and outputQueue_: set by addStreamOutput, read on the loop thread
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<SerialQueue> outputQueue_;

    // Frames handed to the output's queue and not yet taken by the output; shared with the queued tasks, which may
    // run after this object is gone.
    const std::shared_ptr<std::atomic<int64_t>> queuedFrames_ = std::make_shared<std::atomic<int64_t>>(0);
    const int64_t queuedFramesLimit_;

    std::atomic<bool> stopRequested_ = false;
    std::atomic<int64_t> stopAtNs_ = 0; ///< when the stop was requested, or 0
    std::atomic<bool> destroying_ = false;

    // Control thread; with the loop running, also the loop thread, under the loop's lock.
    bool startRequested_ = false;
    bool reported_ = false;
    std::unique_ptr<Connection> connection_;
    Phase phase_ = Phase::idle;
    bool followQueued_ = false;
    pa_stream* record_ = nullptr;
    std::string source_;      ///< the monitor that record_ records
    bool moved_ = false;      ///< the server moved record_ off that monitor
    std::string sink_;        ///< the sink whose monitor that is
    std::string defaultSink_; ///< the server's default sink when last looked at
    CaptureClock clock_;
    Timing timing_ = Timing::waiting;
    std::vector<Fragment> held_; ///< read while the timing was not settled yet
    int64_t readFrames_ = 0;     ///< frames the current stream delivered, holes included
    int64_t originNs_ = 0;       ///< when its first frame was played, by the latest snapshot
    bool snapshotPending_ = false;
    int64_t lastSnapshotNs_ = 0;
    int64_t capturingSinceNs_ = 0; ///< when the first record stream became ready
    bool startMarked_ = false;     ///< the empty buffer marking that moment was delivered
    int64_t droppedUntilNs_ = 0;   ///< where the audio dropped since the last delivered fragment ends, or 0
    /// Placed fragments that reach past the present: a monitor's audio arrives up to a fragment before the sink
    /// plays it, and what the sink plays after a stop request does not belong to the recording. Handed on once
    /// played, or at the stream's end cut at the request.
    std::deque<Placed> ahead_;
    bool deliveredAudio_ = false; ///< audio was handed on (any record stream)
    bool keepPastStop_ = false;   ///< none of it from before the stop request: what comes after is kept

    ThreadSerialQueue control_; // last: destroyed first, so its tasks still find every other field
};

} // namespace

PulseCaptureService::PulseCaptureService(Tuning tuning)
    : tuning_(tuning), spare_(std::make_shared<SpareConnection>()), queries_("qfx.pulse-capture.queries") {
    // libpulse writes its error-level log lines (a malformed client.conf, an unusable runtime directory, shared
    // memory that cannot be set up) to standard error, where only the tool's own messages may appear. It offers no
    // API to turn its log off; its target is read from the environment once, at its first log line, and the system
    // log is the one target that never reaches the terminal (without a syslog daemon the lines are dropped). A
    // target the user chose (PULSE_LOG_SYSLOG, PULSE_LOG_JOURNAL) is left as it is.
    setenv("PULSE_LOG_SYSLOG", "1", 0); // NOLINT(concurrency-mt-unsafe): the platform is made first, on the main thread

    // The recorder's first request is the content query. Its connection is begun here, and the server's handshake
    // runs on the connection's own thread while the tool still sets itself up; the query waits for it, or connects
    // anew if it failed.
    auto connection = std::make_unique<Connection>(CaptureClock::monotonicNowNs() + tuning_.answerLimitNs);
    if (!connection->beginConnecting()) {
        spare_->put(std::move(connection));
    }
}

PulseCaptureService::~PulseCaptureService() = default;

void PulseCaptureService::getShareableContent(bool /*excludingDesktopWindows*/, bool /*onScreenWindowsOnly*/,
                                              ContentCompletion completion) {
    queries_.async([completion = std::move(completion), limit = tuning_.answerLimitNs, spare = spare_] {
        std::unique_ptr<Connection> connection;
        Result<std::vector<std::shared_ptr<Display>>> displays = queryDisplays(limit, *spare, connection);
        if (connection != nullptr) {
            spare->put(std::move(connection));
        }
        if (!displays.ok()) {
            completion(nullptr, displays.error());
            return;
        }
        auto content = std::make_shared<ShareableContent>();
        content->displays = std::move(displays.value());
        completion(std::move(content), std::nullopt);
    });
}

std::shared_ptr<ContentFilter>
PulseCaptureService::makeContentFilter(std::shared_ptr<Display> display,
                                       std::vector<std::shared_ptr<RunningApplication>> /*excludingApplications*/,
                                       std::vector<std::shared_ptr<Window>> /*exceptingWindows*/) {
    return std::make_shared<PulseContentFilter>(std::move(display));
}

std::shared_ptr<StreamConfiguration> PulseCaptureService::makeStreamConfiguration() {
    return std::make_shared<PulseStreamConfiguration>();
}

std::shared_ptr<Stream> PulseCaptureService::makeStream(std::shared_ptr<ContentFilter> filter,
                                                        std::shared_ptr<StreamConfiguration> configuration,
                                                        std::weak_ptr<StreamDelegate> delegate) {
    MaybeError setupError;
    std::string sinkName;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 48000, 2};
    const auto* pulseFilter = dynamic_cast<const PulseContentFilter*>(filter.get());
    const auto* pulseConfiguration = dynamic_cast<const PulseStreamConfiguration*>(configuration.get());
    if (pulseFilter == nullptr || pulseFilter->sinkName().empty()) {
        setupError = Error{"The content filter does not name a sound output of this system"};
    } else if (pulseConfiguration == nullptr) {
        setupError = Error{"The stream configuration was not made by this capture service"};
    } else {
        sinkName = pulseFilter->sinkName();
        const int64_t rate = pulseConfiguration->sampleRate();
        const int64_t channels = pulseConfiguration->channelCount();
        spec.rate = rate > 0 && rate <= PA_RATE_MAX ? static_cast<uint32_t>(rate) : 0;
        spec.channels = channels > 0 && channels <= PA_CHANNELS_MAX ? static_cast<uint8_t>(channels) : 0;
        if (pa_sample_spec_valid(&spec) == 0) {
            setupError =
                Error{"Cannot record " + std::to_string(channels) + " channels at " + std::to_string(rate) + " Hz"};
            spec = {PA_SAMPLE_FLOAT32NE, 48000, 2}; // keeps the clock's arithmetic defined
        }
    }
    return std::make_shared<PulseStream>(std::move(sinkName), spec, std::move(setupError), tuning_, std::move(delegate),
                                         spare_);
}

} // namespace qfx::platform::linux_backend
