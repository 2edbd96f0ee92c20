// A scriptable stand-in for the whole platform, for the recorder's and the front end's unit tests.
//
// Every call the code under test makes is appended, with its arguments, to one call log ("setSampleRate(48000)",
// "startSession(12345/48000)", "append(t=12345/48000)", ...). A script decides how each step answers: any start step
// can fail with a given description, the writer input answers readiness from a queue of answers, appends and
// finishing can fail, and any completion can be held back until the test releases it.
//
// Threads, as on a real platform: completions and the stream-ended message come on the fake's own completion thread
// (never on the caller's thread), buffers come on the queue registered with addStreamOutput, and makeSerialQueue
// makes real ThreadSerialQueues. The fake keeps only weak references to what it makes, so tests can check what the
// code under test still holds.
#pragma once

#include "platform/platform.h"
#include "platform/thread_serial_queue.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qfx::fakes {

class FakePlatform;

/// Thread-safe, in call order.
class CallLog {
public:
    void add(std::string entry);
    /// Every call except the sample buffers' own queries.
    [[nodiscard]] std::vector<std::string> calls() const;
    /// Every call, the buffer queries ("buffer.isValid(t=...)") included.
    [[nodiscard]] std::vector<std::string> all() const;
    [[nodiscard]] std::size_t count(const std::string& entry) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

/// The completions a test can hold back.
enum class Completion { contentQuery, startCapture, stopCapture, finishWriting };

/// What a delivered buffer answers.
struct BufferTraits {
    platform::MediaTime time;
    bool valid = true;
    bool dataReady = true;
};

class FakeSampleBuffer final : public platform::SampleBuffer {
public:
    FakeSampleBuffer(BufferTraits traits, CallLog& log) : traits_(traits), log_(&log) {}
    [[nodiscard]] bool isValid() const override;
    [[nodiscard]] bool dataIsReady() const override;
    [[nodiscard]] platform::MediaTime presentationTimeStamp() const override;
    [[nodiscard]] const BufferTraits& traits() const { return traits_; }

private:
    BufferTraits traits_;
    CallLog* log_;
};

class FakeDisplay final : public platform::Display {
public:
    explicit FakeDisplay(std::string name) : name(std::move(name)) {}
    const std::string name;
};

class FakeContentFilter final : public platform::ContentFilter {
public:
    explicit FakeContentFilter(std::string name) : name(std::move(name)) {}
    const std::string name;
};

class FakeStreamConfiguration final : public platform::StreamConfiguration {
public:
    FakeStreamConfiguration(std::string name, CallLog& log) : name(std::move(name)), log_(log) {}
    void setCapturesAudio(bool capturesAudio) override;
    void setExcludesCurrentProcessAudio(bool excludesCurrentProcessAudio) override;
    void setSampleRate(int64_t sampleRate) override;
    void setChannelCount(int64_t channelCount) override;
    void setQueueDepth(int64_t queueDepth) override;
    const std::string name;

private:
    CallLog& log_;
};

class FakeStream final : public platform::Stream, public std::enable_shared_from_this<FakeStream> {
public:
    FakeStream(std::string name, FakePlatform& platform, std::weak_ptr<platform::StreamDelegate> delegate)
        : name(std::move(name)), platform_(platform), delegate_(std::move(delegate)) {}

    platform::MaybeError addStreamOutput(std::weak_ptr<platform::StreamOutput> output, platform::StreamOutputType type,
                                         std::shared_ptr<platform::SerialQueue> queue) override;
    void startCapture(platform::CaptureCompletion completion) override;
    void stopCapture(platform::CaptureCompletion completion) override;

    // Test side.
    /// Hands a buffer of `type` to the registered output on the registered queue, asynchronously, whatever its type.
    /// False when no output was registered.
    bool deliver(BufferTraits traits, platform::StreamOutputType type = platform::kStreamOutputTypeAudio);
    /// Returns once everything delivered so far has been handled.
    void drain();
    /// Ends the stream by itself: the delegate hears didStopWithError on the completion thread.
    void endByItself(platform::Error error);
    [[nodiscard]] std::shared_ptr<platform::StreamDelegate> delegate() const { return delegate_.lock(); }
    [[nodiscard]] std::shared_ptr<platform::StreamOutput> output() const;
    [[nodiscard]] std::shared_ptr<platform::SerialQueue> queue() const;

    const std::string name;

private:
    FakePlatform& platform_;
    const std::weak_ptr<platform::StreamDelegate> delegate_;
    mutable std::mutex mutex_;
    std::weak_ptr<platform::StreamOutput> output_;
    std::weak_ptr<platform::SerialQueue> queue_;
};

class FakeWriterInput final : public platform::WriterInput {
public:
    FakeWriterInput(std::string name, FakePlatform& platform) : name(std::move(name)), platform_(platform) {}
    void setExpectsMediaDataInRealTime(bool expectsMediaDataInRealTime) override;
    [[nodiscard]] bool isReadyForMoreMediaData() override;
    bool append(const platform::SampleBuffer& buffer) override;
    void markAsFinished() override;
    const std::string name;

private:
    FakePlatform& platform_;
};

class FakeWriter final : public platform::Writer {
public:
    FakeWriter(std::string name, FakePlatform& platform) : name(std::move(name)), platform_(platform) {}
    [[nodiscard]] bool canAddInput(const std::shared_ptr<platform::WriterInput>& input) override;
    void addInput(std::shared_ptr<platform::WriterInput> input) override;
    bool startWriting() override;
    void startSession(platform::MediaTime startTime) override;
    void finishWriting(std::function<void()> completion) override;
    void cancelWriting() override;
    [[nodiscard]] platform::WriterStatus status() const override;
    [[nodiscard]] platform::MaybeError error() const override;
    const std::string name;

private:
    FakePlatform& platform_;
    mutable std::mutex mutex_;
    platform::WriterStatus status_ = platform::WriterStatus::unknown;
    platform::MaybeError error_;
};

class FakePlatform final : public platform::Platform, public platform::CaptureService, public platform::WriterService {
public:
    /// How each step answers. Set it before the code under test runs (readiness answers: through `answerReady`).
    struct Script {
        platform::MaybeError contentError;
        int displayCount = 1;
        platform::MaybeError makeWriterError;
        bool canAddInput = true;
        bool startWritingSucceeds = true;
        platform::MaybeError startWritingError; ///< what error() tells after a failed startWriting
        platform::MaybeError addStreamOutputError;
        platform::MaybeError startCaptureError;
        platform::MaybeError stopCaptureError;
        bool appendSucceeds = true;
        bool finishFails = false;
        platform::MaybeError finishError; ///< what error() tells after a failed finish
    };
    Script script;

    /// What the fake made last of each kind, held weakly.
    struct Made {
        std::weak_ptr<platform::ShareableContent> content;
        std::vector<std::weak_ptr<platform::Display>> displays;
        std::weak_ptr<FakeContentFilter> filter;
        std::weak_ptr<FakeStreamConfiguration> configuration;
        std::weak_ptr<FakeWriter> writer;
        std::weak_ptr<FakeWriterInput> input;
        std::weak_ptr<FakeStream> stream;
        std::weak_ptr<platform::ThreadSerialQueue> sampleQueue;
    };

    FakePlatform();
    ~FakePlatform() override;
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // Platform
    platform::CaptureService& captureService() override { return *this; }
    platform::WriterService& writerService() override { return *this; }
    std::shared_ptr<platform::SerialQueue> makeSerialQueue(const std::string& label) override;
    void waitOnMainThread(const std::shared_future<void>& done) override;

    // CaptureService
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    std::shared_ptr<platform::ContentFilter>
    makeContentFilter(std::shared_ptr<platform::Display> display,
                      std::vector<std::shared_ptr<platform::RunningApplication>> excludingApplications,
                      std::vector<std::shared_ptr<platform::Window>> exceptingWindows) override;
    std::shared_ptr<platform::StreamConfiguration> makeStreamConfiguration() override;
    std::shared_ptr<platform::Stream> makeStream(std::shared_ptr<platform::ContentFilter> filter,
                                                 std::shared_ptr<platform::StreamConfiguration> configuration,
                                                 std::weak_ptr<platform::StreamDelegate> delegate) override;

    // WriterService
    platform::Result<std::shared_ptr<platform::Writer>> makeWriter(const platform::FileLocation& location,
                                                                   const platform::FileType& fileType) override;
    std::shared_ptr<platform::WriterInput> makeWriterInput(const platform::MediaType& mediaType,
                                                           const platform::OutputSettings& outputSettings) override;

    // Test side.
    [[nodiscard]] CallLog& log() { return log_; }
    [[nodiscard]] Made made() const;
    [[nodiscard]] std::shared_ptr<FakeStream> stream() const { return made().stream.lock(); }
    /// The next isReadyForMoreMediaData answers, in order; once they are used up the input answers true.
    void answerReady(std::vector<bool> answers);
    /// Completions of `kind` wait until `release(kind)`. A test that holds one must release it: a completion still
    /// held when the fake goes is dropped, and its waiter fails with a broken promise.
    void hold(Completion kind);
    /// Waits (up to a minute) until a completion of `kind` is held back; false if none came.
    [[nodiscard]] bool waitUntilPending(Completion kind);
    /// Sends the held-back completion of `kind`, and stops holding that kind.
    void release(Completion kind);
    /// Returns once every completion sent so far has run and released what it held.
    void settle();
    /// The thread that last made `call` ("getShareableContent", "stopCapture", "waitOnMainThread").
    [[nodiscard]] std::thread::id threadOf(const std::string& call) const;
    /// How many writer-input calls, or session starts, came from elsewhere than the sample queue.
    [[nodiscard]] int offQueueCalls() const;

private:
    friend class FakeStream;
    friend class FakeWriter;
    friend class FakeWriterInput;

    std::string nextName(const std::string& kind);
    void recordThread(const std::string& call);
    void checkOnSampleQueue();
    bool nextReadyAnswer();
    /// Runs `call` on the completion thread, now or, when `kind` is held, on release.
    void complete(Completion kind, std::function<void()> call);
    void post(std::function<void()> call);

    CallLog log_;
    mutable std::mutex mutex_;
    std::condition_variable pendingChanged_;
    std::map<std::string, int> counters_;
    Made made_;
    std::deque<bool> readyAnswers_;
    std::set<Completion> held_;
    std::map<Completion, std::function<void()>> pending_;
    std::map<std::string, std::thread::id> threads_;
    std::thread::id sampleQueueThread_;
    int offQueueCalls_ = 0;
    // Last: destroyed first, running what is still queued while everything it uses exists.
    platform::ThreadSerialQueue completions_{"fake.completions"};
};

/// "value/timescale", followed by the flags and the epoch when they are not those of MediaTime::make.
std::string describeTime(const platform::MediaTime& time);

} // namespace qfx::fakes
