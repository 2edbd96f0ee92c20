// A platform for the recorder and the front end to run against without a machine's capture or writer: it logs every
// call with the values that matter in one list, fails any step it is told to, delivers buffers on the queue the
// recorder gave it, and can hold back a completion until the test releases it.
//
// Threads: completions run on the fake's own queue, as a real platform runs them on threads of its own; buffers are
// delivered on the recorder's sample queue. The test's thread arranges and inspects.
#pragma once

#include "platform/platform.h"
#include "platform/thread_serial_queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace qfx::fakes {

enum class Completion { contentQuery, stopCapture, finishWriting };

struct BufferTraits {
    platform::MediaTime time;
    bool valid = true;
    bool dataReady = true;
};

class FakePlatform final : public platform::Platform, public platform::CaptureService, public platform::WriterService {
public:
    struct Script {
        platform::MaybeError contentError;
        int displayCount = 1;
        platform::MaybeError makeWriterError;
        bool canAddInput = true;
        bool startWritingSucceeds = true;
        platform::MaybeError writerError; ///< what the writer's error() tells
        platform::MaybeError addStreamOutputError;
        platform::MaybeError startCaptureError;
        platform::MaybeError stopCaptureError;
        bool finishFails = false;
        std::vector<bool> readyAnswers; ///< isReadyForMoreMediaData, one answer a call; then true
    };
    Script script;

    ~FakePlatform() override {
        completions_.sync([] {});
    }

    // --- what the test sees and does

    std::vector<std::string> calls() const {
        const std::lock_guard lock(mutex_);
        return calls_;
    }
    size_t count(const std::string& call) const {
        const std::vector<std::string> made = calls();
        return static_cast<size_t>(std::count(made.begin(), made.end(), call));
    }
    void clearCalls() {
        const std::lock_guard lock(mutex_);
        calls_.clear();
    }
    std::thread::id threadOf(const std::string& call) const {
        const std::lock_guard lock(mutex_);
        return threads_.count(call) != 0 ? threads_.at(call) : std::thread::id();
    }
    /// Writer and input calls made off the sample queue, which must be none.
    int offQueueCalls() const {
        const std::lock_guard lock(mutex_);
        return offQueue_;
    }

    void hold(Completion kind) {
        const std::lock_guard lock(mutex_);
        held_[kind] = nullptr;
    }
    /// Waits (ten seconds at most) until a held completion is due.
    bool waitUntilPending(Completion kind) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            const auto found = held_.find(kind);
            return found != held_.end() && found->second != nullptr;
        });
    }
    void release(Completion kind) {
        std::function<void()> pending;
        {
            const std::lock_guard lock(mutex_);
            pending = std::move(held_[kind]);
            held_.erase(kind);
        }
        if (pending) {
            completions_.async(std::move(pending));
        }
    }

    /// Delivers a buffer as the stream's output; false when there is no output to deliver to.
    bool deliver(BufferTraits traits, platform::StreamOutputType type = platform::kStreamOutputTypeAudio) {
        const std::shared_ptr<platform::StreamOutput> output = output_.lock();
        if (!output || !stream_) {
            return false;
        }
        queue_->async([this, output, traits, type] {
            const Buffer buffer(traits);
            output->didOutputSampleBuffer(*stream_, buffer, type);
        });
        return true;
    }
    /// The stream ends by itself, as a lost server ends it.
    void endByItself(const platform::Error& error) {
        completions_.async([this, error] {
            if (const std::shared_ptr<platform::StreamDelegate> delegate = delegate_.lock()) {
                delegate->didStopWithError(*stream_, error);
            }
        });
    }
    /// Waits until every completion and buffer handed out so far has been handled.
    void settle() {
        completions_.sync([] {});
        if (queue_) {
            queue_->sync([] {});
        }
    }

    // --- the platform

    platform::CaptureService& captureService() override { return *this; }
    platform::WriterService& writerService() override { return *this; }
    std::shared_ptr<platform::SerialQueue> makeSerialQueue(const std::string& label) override {
        queue_ = std::make_shared<platform::ThreadSerialQueue>(label);
        return queue_;
    }
    void waitOnMainThread(const std::shared_future<void>& done) override {
        log("waitOnMainThread");
        done.wait();
    }

    void getShareableContent(bool excludingDesktop, bool onScreenOnly, ContentCompletion completion) override {
        log("getShareableContent(" + std::to_string(excludingDesktop) + std::to_string(onScreenOnly) + ")");
        auto content = std::make_shared<platform::ShareableContent>();
        for (int i = 0; i < script.displayCount; ++i) {
            content->displays.push_back(std::make_shared<Display>(i + 1));
        }
        complete("", Completion::contentQuery, [this, content, completion = std::move(completion)] {
            completion(script.contentError ? nullptr : content, script.contentError);
        });
    }
    std::shared_ptr<platform::ContentFilter>
    makeContentFilter(std::shared_ptr<platform::Display> display,
                      std::vector<std::shared_ptr<platform::RunningApplication>> applications,
                      std::vector<std::shared_ptr<platform::Window>> windows) override {
        log("makeContentFilter(display" + std::to_string(dynamic_cast<Display&>(*display).number) + ", " +
            std::to_string(applications.size() + windows.size()) + ")");
        return std::make_shared<platform::ContentFilter>();
    }
    std::shared_ptr<platform::StreamConfiguration> makeStreamConfiguration() override {
        return std::make_shared<Configuration>(*this);
    }
    std::shared_ptr<platform::Stream> makeStream(std::shared_ptr<platform::ContentFilter> /*filter*/,
                                                 std::shared_ptr<platform::StreamConfiguration> /*configuration*/,
                                                 std::weak_ptr<platform::StreamDelegate> delegate) override {
        log("makeStream");
        delegate_ = std::move(delegate);
        auto stream = std::make_shared<Stream>(*this);
        stream_ = stream.get();
        return stream;
    }
    platform::Result<std::shared_ptr<platform::Writer>> makeWriter(const platform::FileLocation& location,
                                                                   const platform::FileType& type) override {
        log("makeWriter(" + location.path + ", " + type + ")");
        if (script.makeWriterError) {
            return *script.makeWriterError;
        }
        return std::shared_ptr<platform::Writer>(std::make_shared<Writer>(*this));
    }
    std::shared_ptr<platform::WriterInput> makeWriterInput(const platform::MediaType& type,
                                                           const platform::OutputSettings& settings) override {
        std::string entry = "makeWriterInput(" + type;
        for (const platform::OutputSetting& setting : settings) {
            entry += ", " + setting.key + "=" + std::visit([](auto v) { return std::to_string(v); }, setting.value);
        }
        log(entry + ")");
        return std::make_shared<Input>(*this);
    }

private:
    struct Display final : platform::Display {
        explicit Display(int n) : number(n) {}
        int number;
    };
    struct Configuration final : platform::StreamConfiguration {
        explicit Configuration(FakePlatform& p) : fake(p) {}
        void setCapturesAudio(bool on) override { fake.log("setCapturesAudio(" + std::to_string(on) + ")"); }
        void setExcludesCurrentProcessAudio(bool on) override {
            fake.log("setExcludesCurrentProcessAudio(" + std::to_string(on) + ")");
        }
        void setSampleRate(int64_t rate) override { fake.log("setSampleRate(" + std::to_string(rate) + ")"); }
        void setChannelCount(int64_t count) override { fake.log("setChannelCount(" + std::to_string(count) + ")"); }
        void setQueueDepth(int64_t depth) override { fake.log("setQueueDepth(" + std::to_string(depth) + ")"); }
        FakePlatform& fake;
    };
    struct Buffer final : platform::SampleBuffer {
        explicit Buffer(BufferTraits t) : traits(t) {}
        [[nodiscard]] bool isValid() const override { return traits.valid; }
        [[nodiscard]] bool dataIsReady() const override { return traits.dataReady; }
        [[nodiscard]] platform::MediaTime presentationTimeStamp() const override { return traits.time; }
        BufferTraits traits;
    };
    struct Stream final : platform::Stream {
        explicit Stream(FakePlatform& p) : fake(p) {}
        platform::MaybeError addStreamOutput(std::weak_ptr<platform::StreamOutput> output,
                                             platform::StreamOutputType type,
                                             std::shared_ptr<platform::SerialQueue> queue) override {
            fake.log("addStreamOutput(" + std::to_string(type) + (queue == fake.queue_ ? ", sample queue)" : ")"));
            fake.output_ = std::move(output);
            return fake.script.addStreamOutputError;
        }
        void startCapture(platform::CaptureCompletion done) override {
            fake.complete("startCapture", std::nullopt, [this, done] { done(fake.script.startCaptureError); });
        }
        void stopCapture(platform::CaptureCompletion done) override {
            fake.complete("stopCapture", Completion::stopCapture, [this, done] { done(fake.script.stopCaptureError); });
        }
        FakePlatform& fake;
    };
    struct Writer final : platform::Writer {
        explicit Writer(FakePlatform& p) : fake(p) {}
        bool canAddInput(const std::shared_ptr<platform::WriterInput>& /*input*/) override {
            fake.log("canAddInput");
            return fake.script.canAddInput;
        }
        void addInput(std::shared_ptr<platform::WriterInput> /*input*/) override { fake.log("addInput"); }
        bool startWriting() override {
            fake.log("startWriting");
            status_ =
                fake.script.startWritingSucceeds ? platform::WriterStatus::writing : platform::WriterStatus::failed;
            return fake.script.startWritingSucceeds;
        }
        void startSession(platform::MediaTime time) override {
            fake.log("startSession(" + std::to_string(time.value) + ")", true);
        }
        void finishWriting(std::function<void()> done) override {
            fake.complete("finishWriting", Completion::finishWriting, [this, done] {
                status_ = fake.script.finishFails ? platform::WriterStatus::failed : platform::WriterStatus::completed;
                done();
            });
        }
        void cancelWriting() override {
            fake.log("cancelWriting");
            status_ = platform::WriterStatus::cancelled;
        }
        [[nodiscard]] platform::WriterStatus status() const override {
            fake.log("status");
            return status_;
        }
        [[nodiscard]] platform::MaybeError error() const override {
            fake.log("error");
            return fake.script.writerError;
        }
        FakePlatform& fake;
        std::atomic<platform::WriterStatus> status_ = platform::WriterStatus::unknown;
    };
    struct Input final : platform::WriterInput {
        explicit Input(FakePlatform& p) : fake(p) {}
        void setExpectsMediaDataInRealTime(bool on) override {
            fake.log("setExpectsMediaDataInRealTime(" + std::to_string(on) + ")");
        }
        bool isReadyForMoreMediaData() override {
            fake.log("isReadyForMoreMediaData", true);
            const std::lock_guard lock(fake.mutex_);
            if (fake.script.readyAnswers.empty()) {
                return true;
            }
            const bool answer = fake.script.readyAnswers.front();
            fake.script.readyAnswers.erase(fake.script.readyAnswers.begin());
            return answer;
        }
        bool append(const platform::SampleBuffer& buffer) override {
            fake.log("append(" + std::to_string(buffer.presentationTimeStamp().value) + ")", true);
            return true;
        }
        void markAsFinished() override { fake.log("markAsFinished", true); }
        FakePlatform& fake;
    };

    void log(const std::string& call, bool onSampleQueue = false) const {
        const std::lock_guard lock(mutex_);
        calls_.push_back(call);
        threads_.emplace(call.substr(0, call.find('(')), std::this_thread::get_id());
        offQueue_ += onSampleQueue && !(queue_ && queue_->isCurrent()) ? 1 : 0;
    }
    /// Runs `completion` on the fake's queue, or keeps it until released when its kind is held.
    void complete(const std::string& call, std::optional<Completion> kind, std::function<void()> completion) {
        if (!call.empty()) {
            log(call);
        }
        {
            const std::lock_guard lock(mutex_);
            if (kind && held_.count(*kind) != 0) {
                held_[*kind] = std::move(completion);
                changed_.notify_all();
                return;
            }
        }
        completions_.async(std::move(completion));
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    mutable std::vector<std::string> calls_;
    mutable std::map<std::string, std::thread::id> threads_;
    mutable int offQueue_ = 0;
    std::map<Completion, std::function<void()>> held_;
    std::shared_ptr<platform::ThreadSerialQueue> queue_;
    std::weak_ptr<platform::StreamOutput> output_;
    std::weak_ptr<platform::StreamDelegate> delegate_;
    Stream* stream_ = nullptr;
    platform::ThreadSerialQueue completions_{"fake.completions"};
};

} // namespace qfx::fakes
