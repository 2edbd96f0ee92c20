// The macOS platform: ScreenCaptureKit and AVFoundation behind the platform interfaces, dispatch queues, and the
// main thread's run loop while start and stop are awaited.
#include "platform/apple/apple_internal.h"
#include "platform/platform.h"

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <cassert>
#include <chrono>
#include <utility>

namespace qfx::platform::apple {

Error errorFrom(NSError* error) {
    const char* text = error.localizedDescription.UTF8String;
    return Error{text != nullptr ? std::string(text) : std::string()};
}

MediaTime mediaTimeFrom(CMTime time) {
    MediaTime converted;
    converted.value = time.value;
    converted.timescale = time.timescale;
    converted.flags = time.flags;
    converted.epoch = time.epoch;
    return converted;
}

CMTime cmTimeFrom(MediaTime time) {
    CMTime converted;
    converted.value = time.value;
    converted.timescale = time.timescale;
    converted.flags = time.flags;
    converted.epoch = time.epoch;
    return converted;
}

namespace {

void runTask(void* context) {
    (*static_cast<std::function<void()>*>(context))();
}

void runAndDeleteTask(void* context) {
    const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(context));
    (*task)();
}

} // namespace

DispatchSerialQueue::DispatchSerialQueue(std::string label)
    : label_(std::move(label)), queue_(dispatch_queue_create(label_.c_str(), DISPATCH_QUEUE_SERIAL)) {}

void DispatchSerialQueue::async(std::function<void()> task) {
    dispatch_async_f(queue_, new std::function<void()>(std::move(task)), runAndDeleteTask);
}

void DispatchSerialQueue::sync(const std::function<void()>& task) {
    dispatch_sync_f(queue_, const_cast<std::function<void()>*>(&task), runTask);
}

bool CoreMediaSampleBuffer::isValid() const {
    return CMSampleBufferIsValid(buffer_) != 0;
}

bool CoreMediaSampleBuffer::dataIsReady() const {
    return CMSampleBufferDataIsReady(buffer_) != 0;
}

MediaTime CoreMediaSampleBuffer::presentationTimeStamp() const {
    return mediaTimeFrom(CMSampleBufferGetPresentationTimeStamp(buffer_));
}

namespace {

class ApplePlatform final : public Platform {
public:
    ApplePlatform() {
        // A command-line process that has never touched CoreGraphics can abort inside ScreenCaptureKit
        // ("Assertion failed: (did_initialize), function CGS_REQUIRE_INIT"). Asking for the main display once, on
        // the main thread, before any capture call, opens the window-server connection it expects.
        assert(NSThread.isMainThread);
        [[maybe_unused]] const CGDirectDisplayID mainDisplay = CGMainDisplayID();
        capture_ = makeScreenCaptureService();
        writer_ = makeAssetWriterService();
    }

    CaptureService& captureService() override { return *capture_; }
    WriterService& writerService() override { return *writer_; }

    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override {
        return std::make_shared<DispatchSerialQueue>(label);
    }

    void waitOnMainThread(const std::shared_future<void>& done) override {
        // Reports show the shareable-content query never completing in command-line processes whose main run loop
        // never turns, so the main thread runs it while it waits. A short slice bounds how late the wait notices
        // `done`; nothing else is needed to wake it.
        constexpr CFTimeInterval kSliceSeconds = 0.05;
        while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            @autoreleasepool {
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, kSliceSeconds, true);
            }
        }
    }

private:
    std::unique_ptr<CaptureService> capture_;
    std::unique_ptr<WriterService> writer_;
};

} // namespace

} // namespace qfx::platform::apple

namespace qfx::platform {

Platform& systemPlatform() {
    static apple::ApplePlatform platform;
    return platform;
}

} // namespace qfx::platform
