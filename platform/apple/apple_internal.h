// What the macOS backend's three Objective-C++ files share: the one conversion of service failures, the time
// conversion, the serial dispatch queue and the lent sample buffer, and the two service factories.
//
// Objective-C++ only. No .cpp includes this header (the #error below makes sure): the rest of the tool meets the
// backend only through platform/platform.h's systemPlatform().
#pragma once

#ifndef __OBJC__
#error "platform/apple/apple_internal.h is Objective-C++: include it from the backend's .mm files only"
#endif

#include "platform/capture.h"
#include "platform/error.h"
#include "platform/media_time.h"
#include "platform/sample_buffer.h"
#include "platform/serial_queue.h"
#include "platform/writer.h"

#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <memory>
#include <string>

namespace qfx::platform::apple {

/// A service failure as the tool reports it: the NSError's localizedDescription, whole. The backend's only
/// conversion of NSError; `error` must not be nil.
Error errorFrom(NSError* error);

/// MediaTime and CMTime carry the same four fields; each conversion copies them one by one.
MediaTime mediaTimeFrom(CMTime time);
CMTime cmTimeFrom(MediaTime time);

/// A serial dispatch queue (default quality of service, no target), what the capture service is told to deliver
/// audio on. Destroying it releases the queue; dispatch keeps it alive until the tasks already submitted have run.
class DispatchSerialQueue final : public SerialQueue {
public:
    explicit DispatchSerialQueue(std::string label);
    DispatchSerialQueue(const DispatchSerialQueue&) = delete;
    DispatchSerialQueue& operator=(const DispatchSerialQueue&) = delete;

    void async(std::function<void()> task) override;
    void sync(const std::function<void()>& task) override;
    [[nodiscard]] const std::string& label() const override { return label_; }

    [[nodiscard]] dispatch_queue_t queue() const { return queue_; }

private:
    const std::string label_;
    dispatch_queue_t queue_;
};

/// A CMSampleBuffer lent by the capture service for one `stream:didOutputSampleBuffer:ofType:` message. Holds no
/// reference: it lives on that message's stack and must not outlive it (the writer input retains what it keeps).
class CoreMediaSampleBuffer final : public SampleBuffer {
public:
    explicit CoreMediaSampleBuffer(CMSampleBufferRef buffer) : buffer_(buffer) {}

    [[nodiscard]] bool isValid() const override;
    [[nodiscard]] bool dataIsReady() const override;
    [[nodiscard]] MediaTime presentationTimeStamp() const override;

    [[nodiscard]] CMSampleBufferRef buffer() const { return buffer_; }

private:
    CMSampleBufferRef buffer_;
};

/// ScreenCaptureKit (screen_capture.mm).
std::unique_ptr<CaptureService> makeScreenCaptureService();
/// AVFoundation's AVAssetWriter (asset_writer.mm).
std::unique_ptr<WriterService> makeAssetWriterService();

} // namespace qfx::platform::apple
