#include "tests/fakes/fake_platform.h"

#include <chrono>
#include <type_traits>
#include <utility>
#include <variant>

namespace qfx::fakes {

using namespace platform;

namespace {

const char* flag(bool value) {
    return value ? "true" : "false";
}

std::string describeSetting(const OutputSetting& setting) {
    return std::visit(
        [&](auto value) {
            const char* type = std::is_same_v<decltype(value), uint32_t> ? "uint32" : "int64";
            return setting.key + "=" + type + ":" + std::to_string(value);
        },
        setting.value);
}

} // namespace

std::string describeTime(const MediaTime& time) {
    std::string text = std::to_string(time.value) + "/" + std::to_string(time.timescale);
    if (time.flags != MediaTime::kValid || time.epoch != 0) {
        text += " flags=" + std::to_string(time.flags) + " epoch=" + std::to_string(time.epoch);
    }
    return text;
}

// CallLog

void CallLog::add(std::string entry) {
    const std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::vector<std::string> CallLog::calls() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const std::string& entry : entries_) {
        if (!entry.starts_with("buffer.")) {
            result.push_back(entry);
        }
    }
    return result;
}

std::vector<std::string> CallLog::all() const {
    const std::lock_guard lock(mutex_);
    return entries_;
}

std::size_t CallLog::count(const std::string& entry) const {
    const std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const std::string& e : entries_) {
        n += e == entry ? 1 : 0;
    }
    return n;
}

void CallLog::clear() {
    const std::lock_guard lock(mutex_);
    entries_.clear();
}

// Sample buffer

bool FakeSampleBuffer::isValid() const {
    log_->add("buffer.isValid(t=" + describeTime(traits_.time) + ")");
    return traits_.valid;
}

bool FakeSampleBuffer::dataIsReady() const {
    log_->add("buffer.dataIsReady(t=" + describeTime(traits_.time) + ")");
    return traits_.dataReady;
}

MediaTime FakeSampleBuffer::presentationTimeStamp() const {
    log_->add("buffer.presentationTimeStamp(t=" + describeTime(traits_.time) + ")");
    return traits_.time;
}

// Configuration

void FakeStreamConfiguration::setCapturesAudio(bool capturesAudio) {
    log_.add(std::string("setCapturesAudio(") + flag(capturesAudio) + ")");
}

void FakeStreamConfiguration::setExcludesCurrentProcessAudio(bool excludesCurrentProcessAudio) {
    log_.add(std::string("setExcludesCurrentProcessAudio(") + flag(excludesCurrentProcessAudio) + ")");
}

void FakeStreamConfiguration::setSampleRate(int64_t sampleRate) {
    log_.add("setSampleRate(" + std::to_string(sampleRate) + ")");
}

void FakeStreamConfiguration::setChannelCount(int64_t channelCount) {
    log_.add("setChannelCount(" + std::to_string(channelCount) + ")");
}

void FakeStreamConfiguration::setQueueDepth(int64_t queueDepth) {
    log_.add("setQueueDepth(" + std::to_string(queueDepth) + ")");
}

// Stream

MaybeError FakeStream::addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> queue) {
    platform_.log_.add("addStreamOutput(type=" + std::to_string(type) + ", queue=" + (queue ? queue->label() : "") +
                       ")");
    if (platform_.script.addStreamOutputError) {
        return platform_.script.addStreamOutputError;
    }
    const std::lock_guard lock(mutex_);
    output_ = std::move(output);
    queue_ = queue; // weakly: the recorder owns its queue, and a fake must not keep it beyond the recorder
    return std::nullopt;
}

void FakeStream::startCapture(CaptureCompletion completion) {
    platform_.log_.add("startCapture");
    platform_.complete(Completion::startCapture, [completion = std::move(completion),
                                                  error = platform_.script.startCaptureError] { completion(error); });
}

void FakeStream::stopCapture(CaptureCompletion completion) {
    platform_.log_.add("stopCapture");
    platform_.recordThread("stopCapture");
    platform_.complete(Completion::stopCapture, [completion = std::move(completion),
                                                 error = platform_.script.stopCaptureError] { completion(error); });
}

std::shared_ptr<StreamOutput> FakeStream::output() const {
    const std::lock_guard lock(mutex_);
    return output_.lock();
}

std::shared_ptr<SerialQueue> FakeStream::queue() const {
    const std::lock_guard lock(mutex_);
    return queue_.lock();
}

bool FakeStream::deliver(BufferTraits traits, StreamOutputType type) {
    const std::shared_ptr<SerialQueue> target = queue();
    if (!target) {
        return false;
    }
    std::weak_ptr<StreamOutput> output;
    {
        const std::lock_guard lock(mutex_);
        output = output_;
    }
    target->async([output, self = weak_from_this(), traits, type, &log = platform_.log_] {
        const std::shared_ptr<StreamOutput> receiver = output.lock();
        const std::shared_ptr<FakeStream> stream = self.lock();
        if (receiver && stream) {
            const FakeSampleBuffer buffer(traits, log);
            receiver->didOutputSampleBuffer(*stream, buffer, type);
        }
    });
    return true;
}

void FakeStream::drain() {
    if (const std::shared_ptr<SerialQueue> target = queue()) {
        target->sync([] {});
    }
}

void FakeStream::endByItself(Error error) {
    platform_.post([delegate = delegate_, self = weak_from_this(), error = std::move(error)] {
        const std::shared_ptr<StreamDelegate> receiver = delegate.lock();
        const std::shared_ptr<FakeStream> stream = self.lock();
        if (receiver && stream) {
            receiver->didStopWithError(*stream, error);
        }
    });
}

// Writer input

void FakeWriterInput::setExpectsMediaDataInRealTime(bool expectsMediaDataInRealTime) {
    platform_.log_.add(std::string("setExpectsMediaDataInRealTime(") + flag(expectsMediaDataInRealTime) + ")");
}

bool FakeWriterInput::isReadyForMoreMediaData() {
    platform_.checkOnSampleQueue();
    platform_.log_.add("isReadyForMoreMediaData");
    return platform_.nextReadyAnswer();
}

bool FakeWriterInput::append(const SampleBuffer& buffer) {
    platform_.checkOnSampleQueue();
    const auto* fake = dynamic_cast<const FakeSampleBuffer*>(&buffer);
    platform_.log_.add("append(t=" + (fake ? describeTime(fake->traits().time) : std::string("?")) + ")");
    return platform_.script.appendSucceeds;
}

void FakeWriterInput::markAsFinished() {
    platform_.checkOnSampleQueue();
    platform_.log_.add("markAsFinished");
}

// Writer

bool FakeWriter::canAddInput(const std::shared_ptr<WriterInput>& input) {
    const auto* fake = dynamic_cast<const FakeWriterInput*>(input.get());
    platform_.log_.add("canAddInput(" + (fake ? fake->name : std::string("?")) + ")");
    return platform_.script.canAddInput;
}

void FakeWriter::addInput(std::shared_ptr<WriterInput> input) {
    const auto* fake = dynamic_cast<const FakeWriterInput*>(input.get());
    platform_.log_.add("addInput(" + (fake ? fake->name : std::string("?")) + ")");
}

bool FakeWriter::startWriting() {
    platform_.log_.add("startWriting");
    const std::lock_guard lock(mutex_);
    if (!platform_.script.startWritingSucceeds) {
        status_ = WriterStatus::failed;
        error_ = platform_.script.startWritingError;
        return false;
    }
    status_ = WriterStatus::writing;
    return true;
}

void FakeWriter::startSession(MediaTime startTime) {
    platform_.checkOnSampleQueue();
    platform_.log_.add("startSession(" + describeTime(startTime) + ")");
}

void FakeWriter::finishWriting(std::function<void()> completion) {
    platform_.log_.add("finishWriting");
    // The outcome shows when the completion comes, as with a real writer.
    platform_.complete(Completion::finishWriting, [this, completion = std::move(completion)] {
        {
            const std::lock_guard lock(mutex_);
            if (platform_.script.finishFails) {
                status_ = WriterStatus::failed;
                error_ = platform_.script.finishError;
            } else {
                status_ = WriterStatus::completed;
            }
        }
        completion();
    });
}

void FakeWriter::cancelWriting() {
    platform_.log_.add("cancelWriting");
    const std::lock_guard lock(mutex_);
    if (status_ == WriterStatus::unknown || status_ == WriterStatus::writing) {
        status_ = WriterStatus::cancelled;
    }
}

WriterStatus FakeWriter::status() const {
    platform_.log_.add("status");
    const std::lock_guard lock(mutex_);
    return status_;
}

MaybeError FakeWriter::error() const {
    platform_.log_.add("error");
    const std::lock_guard lock(mutex_);
    return error_;
}

// Platform

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() = default;

std::shared_ptr<SerialQueue> FakePlatform::makeSerialQueue(const std::string& label) {
    log_.add("makeSerialQueue(" + label + ")");
    auto queue = std::make_shared<ThreadSerialQueue>(label);
    std::thread::id worker;
    queue->sync([&worker] { worker = std::this_thread::get_id(); });
    const std::lock_guard lock(mutex_);
    made_.sampleQueue = queue;
    sampleQueueThread_ = worker;
    return queue;
}

void FakePlatform::waitOnMainThread(const std::shared_future<void>& done) {
    log_.add("waitOnMainThread");
    recordThread("waitOnMainThread");
    done.wait();
}

void FakePlatform::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                       ContentCompletion completion) {
    log_.add(std::string("getShareableContent(") + flag(excludingDesktopWindows) + ", " + flag(onScreenWindowsOnly) +
             ")");
    recordThread("getShareableContent");
    std::shared_ptr<ShareableContent> content;
    if (!script.contentError) {
        content = std::make_shared<ShareableContent>();
        for (int i = 0; i < script.displayCount; ++i) {
            content->displays.push_back(std::make_shared<FakeDisplay>(nextName("display")));
        }
        const std::lock_guard lock(mutex_);
        made_.content = content;
        made_.displays.assign(content->displays.begin(), content->displays.end());
    }
    complete(Completion::contentQuery,
             [completion = std::move(completion), content = std::move(content), error = script.contentError]() mutable {
                 completion(std::move(content), error);
             });
}

std::shared_ptr<ContentFilter>
FakePlatform::makeContentFilter(std::shared_ptr<Display> display,
                                std::vector<std::shared_ptr<RunningApplication>> excludingApplications,
                                std::vector<std::shared_ptr<Window>> exceptingWindows) {
    const auto* fake = dynamic_cast<const FakeDisplay*>(display.get());
    log_.add("makeContentFilter(" + (fake ? fake->name : std::string("?")) + ", " +
             std::to_string(excludingApplications.size()) + " applications, " +
             std::to_string(exceptingWindows.size()) + " windows)");
    auto filter = std::make_shared<FakeContentFilter>(nextName("filter"));
    const std::lock_guard lock(mutex_);
    made_.filter = filter;
    return filter;
}

std::shared_ptr<StreamConfiguration> FakePlatform::makeStreamConfiguration() {
    log_.add("makeStreamConfiguration");
    auto configuration = std::make_shared<FakeStreamConfiguration>(nextName("configuration"), log_);
    const std::lock_guard lock(mutex_);
    made_.configuration = configuration;
    return configuration;
}

std::shared_ptr<Stream> FakePlatform::makeStream(std::shared_ptr<ContentFilter> filter,
                                                 std::shared_ptr<StreamConfiguration> configuration,
                                                 std::weak_ptr<StreamDelegate> delegate) {
    const auto* fakeFilter = dynamic_cast<const FakeContentFilter*>(filter.get());
    const auto* fakeConfiguration = dynamic_cast<const FakeStreamConfiguration*>(configuration.get());
    log_.add("makeStream(" + (fakeFilter ? fakeFilter->name : std::string("?")) + ", " +
             (fakeConfiguration ? fakeConfiguration->name : std::string("?")) + ")");
    auto stream = std::make_shared<FakeStream>(nextName("stream"), *this, std::move(delegate));
    const std::lock_guard lock(mutex_);
    made_.stream = stream;
    return stream;
}

Result<std::shared_ptr<Writer>> FakePlatform::makeWriter(const FileLocation& location, const FileType& fileType) {
    log_.add("makeWriter(" + location.path + ", " + fileType + ")");
    if (script.makeWriterError) {
        return *script.makeWriterError;
    }
    auto writer = std::make_shared<FakeWriter>(nextName("writer"), *this);
    const std::lock_guard lock(mutex_);
    made_.writer = writer;
    return std::shared_ptr<Writer>(writer);
}

std::shared_ptr<WriterInput> FakePlatform::makeWriterInput(const MediaType& mediaType,
                                                           const OutputSettings& outputSettings) {
    std::string entry = "makeWriterInput(" + mediaType;
    for (const OutputSetting& setting : outputSettings) {
        entry += ", " + describeSetting(setting);
    }
    log_.add(entry + ")");
    auto input = std::make_shared<FakeWriterInput>(nextName("input"), *this);
    const std::lock_guard lock(mutex_);
    made_.input = input;
    return input;
}

FakePlatform::Made FakePlatform::made() const {
    const std::lock_guard lock(mutex_);
    return made_;
}

void FakePlatform::answerReady(std::vector<bool> answers) {
    const std::lock_guard lock(mutex_);
    readyAnswers_.insert(readyAnswers_.end(), answers.begin(), answers.end());
}

void FakePlatform::hold(Completion kind) {
    const std::lock_guard lock(mutex_);
    held_.insert(kind);
}

bool FakePlatform::waitUntilPending(Completion kind) {
    std::unique_lock lock(mutex_);
    return pendingChanged_.wait_for(lock, std::chrono::minutes(1), [&] { return pending_.contains(kind); });
}

void FakePlatform::release(Completion kind) {
    std::function<void()> call;
    {
        const std::lock_guard lock(mutex_);
        held_.erase(kind);
        if (auto found = pending_.find(kind); found != pending_.end()) {
            call = std::move(found->second);
            pending_.erase(found);
        }
    }
    if (call) {
        post(std::move(call));
    }
}

void FakePlatform::settle() {
    completions_.sync([] {});
}

std::thread::id FakePlatform::threadOf(const std::string& call) const {
    const std::lock_guard lock(mutex_);
    const auto found = threads_.find(call);
    return found == threads_.end() ? std::thread::id() : found->second;
}

int FakePlatform::offQueueCalls() const {
    const std::lock_guard lock(mutex_);
    return offQueueCalls_;
}

std::string FakePlatform::nextName(const std::string& kind) {
    const std::lock_guard lock(mutex_);
    return kind + std::to_string(++counters_[kind]);
}

void FakePlatform::recordThread(const std::string& call) {
    const std::lock_guard lock(mutex_);
    threads_[call] = std::this_thread::get_id();
}

void FakePlatform::checkOnSampleQueue() {
    const std::lock_guard lock(mutex_);
    if (std::this_thread::get_id() != sampleQueueThread_) {
        ++offQueueCalls_;
    }
}

bool FakePlatform::nextReadyAnswer() {
    const std::lock_guard lock(mutex_);
    if (readyAnswers_.empty()) {
        return true;
    }
    const bool answer = readyAnswers_.front();
    readyAnswers_.pop_front();
    return answer;
}

void FakePlatform::complete(Completion kind, std::function<void()> call) {
    {
        const std::lock_guard lock(mutex_);
        if (held_.contains(kind)) {
            pending_[kind] = std::move(call);
            pendingChanged_.notify_all();
            return;
        }
    }
    post(std::move(call));
}

void FakePlatform::post(std::function<void()> call) {
    completions_.async(std::move(call));
}

} // namespace qfx::fakes
