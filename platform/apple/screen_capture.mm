// The capture service over ScreenCaptureKit, and the small Objective-C object through which the stream sends its
// two messages to the recorder's C++ roles.
#include "platform/apple/apple_internal.h"

#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <ScreenCaptureKit/ScreenCaptureKit.h>
#include <dispatch/dispatch.h>

#include <cassert>
#include <utility>
#include <vector>

using qfx::platform::Stream;
using qfx::platform::StreamDelegate;
using qfx::platform::StreamOutput;

/// Adopts the two protocols and implements exactly their two messages, handing each to the C++ role it was made
/// for. Holds the roles and the C++ stream weakly and locks them per message, so neither the recorder nor the
/// stream is kept alive by the service, and a message that comes after either is gone is dropped.
@interface QFXStreamForwarder : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithStream:(std::weak_ptr<Stream>)stream
                        output:(std::weak_ptr<StreamOutput>)output
                      delegate:(std::weak_ptr<StreamDelegate>)delegate NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
@end

@implementation QFXStreamForwarder {
    std::weak_ptr<Stream> _stream;
    std::weak_ptr<StreamOutput> _output;
    std::weak_ptr<StreamDelegate> _delegate;
}

- (instancetype)initWithStream:(std::weak_ptr<Stream>)stream
                        output:(std::weak_ptr<StreamOutput>)output
                      delegate:(std::weak_ptr<StreamDelegate>)delegate {
    self = [super init];
    if (self != nil) {
        _stream = std::move(stream);
        _output = std::move(output);
        _delegate = std::move(delegate);
    }
    return self;
}

// On the sample handler queue given to addStreamOutput:type:sampleHandlerQueue:error:. The buffer is the
// service's, valid for this message only.
- (void)stream:(SCStream*)stream didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer ofType:(SCStreamOutputType)type {
    (void)stream;
    const std::shared_ptr<Stream> owner = _stream.lock();
    const std::shared_ptr<StreamOutput> output = _output.lock();
    if (owner == nullptr || output == nullptr) {
        return;
    }
    const qfx::platform::apple::CoreMediaSampleBuffer buffer(sampleBuffer);
    output->didOutputSampleBuffer(*owner, buffer, static_cast<qfx::platform::StreamOutputType>(type));
}

// On a thread of the service's choosing.
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    (void)stream;
    const std::shared_ptr<Stream> owner = _stream.lock();
    const std::shared_ptr<StreamDelegate> delegate = _delegate.lock();
    if (owner == nullptr || delegate == nullptr) {
        return;
    }
    delegate->didStopWithError(*owner, qfx::platform::apple::errorFrom(error));
}

@end

namespace qfx::platform::apple {

namespace {

class ScreenDisplay final : public Display {
public:
    explicit ScreenDisplay(SCDisplay* display) : display_(display) {}
    [[nodiscard]] SCDisplay* display() const { return display_; }

private:
    SCDisplay* display_;
};

class ScreenContentFilter final : public ContentFilter {
public:
    explicit ScreenContentFilter(SCContentFilter* filter) : filter_(filter) {}
    [[nodiscard]] SCContentFilter* filter() const { return filter_; }

private:
    SCContentFilter* filter_;
};

class ScreenStreamConfiguration final : public StreamConfiguration {
public:
    ScreenStreamConfiguration() : configuration_([[SCStreamConfiguration alloc] init]) {}

    void setCapturesAudio(bool capturesAudio) override { [configuration_ setCapturesAudio:capturesAudio ? YES : NO]; }
    void setExcludesCurrentProcessAudio(bool excludesCurrentProcessAudio) override {
        [configuration_ setExcludesCurrentProcessAudio:excludesCurrentProcessAudio ? YES : NO];
    }
    void setSampleRate(int64_t sampleRate) override {
        [configuration_ setSampleRate:static_cast<NSInteger>(sampleRate)];
    }
    void setChannelCount(int64_t channelCount) override {
        [configuration_ setChannelCount:static_cast<NSInteger>(channelCount)];
    }
    void setQueueDepth(int64_t queueDepth) override {
        [configuration_ setQueueDepth:static_cast<NSInteger>(queueDepth)];
    }

    [[nodiscard]] SCStreamConfiguration* configuration() const { return configuration_; }

private:
    SCStreamConfiguration* configuration_;
};

void passOn(const CaptureCompletion& completion, NSError* error) {
    completion(error != nil ? MaybeError(errorFrom(error)) : std::nullopt);
}

/// Owns the SCStream and the forwarders it sends its messages to (the service may hold them weakly).
class ScreenStream final : public Stream, public std::enable_shared_from_this<ScreenStream> {
public:
    /// Called once by makeStream, before the stream is handed out: the SCStream and the forwarder it was given as
    /// its delegate.
    void attach(SCStream* stream, QFXStreamForwarder* delegateForwarder) {
        stream_ = stream;
        forwarders_.push_back(delegateForwarder);
    }

    MaybeError addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                               std::shared_ptr<SerialQueue> queue) override {
        @autoreleasepool {
            // The recorder's queue was made by this platform's makeSerialQueue: a dispatch queue.
            const auto* dispatchQueue = dynamic_cast<const DispatchSerialQueue*>(queue.get());
            if (dispatchQueue == nullptr) {
                return Error{"The sample queue is not a dispatch queue."};
            }
            QFXStreamForwarder* forwarder = [[QFXStreamForwarder alloc] initWithStream:weak_from_this()
                                                                                output:std::move(output)
                                                                              delegate:{}];
            NSError* error = nil;
            if (![stream_ addStreamOutput:forwarder
                                     type:static_cast<SCStreamOutputType>(type)
                       sampleHandlerQueue:dispatchQueue->queue()
                                    error:&error]) {
                return error != nil ? errorFrom(error) : Error{"The stream output could not be added."};
            }
            forwarders_.push_back(forwarder);
            return std::nullopt;
        }
    }

    void startCapture(CaptureCompletion completion) override {
        [stream_ startCaptureWithCompletionHandler:^(NSError* error) {
          passOn(completion, error);
        }];
    }

    void stopCapture(CaptureCompletion completion) override {
        [stream_ stopCaptureWithCompletionHandler:^(NSError* error) {
          passOn(completion, error);
        }];
    }

private:
    SCStream* stream_ = nil;
    std::vector<QFXStreamForwarder*> forwarders_;
};

class ScreenCaptureService final : public CaptureService {
public:
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override {
        [SCShareableContent
            getShareableContentExcludingDesktopWindows:excludingDesktopWindows ? YES : NO
                                   onScreenWindowsOnly:onScreenWindowsOnly ? YES : NO
                                     completionHandler:^(SCShareableContent* content, NSError* error) {
                                       if (error != nil) {
                                           completion(nullptr, errorFrom(error));
                                           return;
                                       }
                                       // Content without an error is the documented outcome; should the service
                                       // ever give neither, no display is what the recorder sees.
                                       auto found = std::make_shared<ShareableContent>();
                                       for (SCDisplay* display in content.displays) {
                                           found->displays.push_back(std::make_shared<ScreenDisplay>(display));
                                       }
                                       completion(std::move(found), std::nullopt);
                                     }];
    }

    std::shared_ptr<ContentFilter>
    makeContentFilter(std::shared_ptr<Display> display,
                      std::vector<std::shared_ptr<RunningApplication>> excludingApplications,
                      std::vector<std::shared_ptr<Window>> exceptingWindows) override {
        // The content this service hands out lists displays only, so the only application and window lists it
        // can be given are empty ones.
        assert(excludingApplications.empty() && exceptingWindows.empty());
        (void)excludingApplications;
        (void)exceptingWindows;
        const auto* screenDisplay = dynamic_cast<const ScreenDisplay*>(display.get());
        if (screenDisplay == nullptr) {
            assert(false && "a display this service did not make");
            return nullptr;
        }
        @autoreleasepool {
            SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:screenDisplay->display()
                                                         excludingApplications:@[]
                                                              exceptingWindows:@[]];
            return std::make_shared<ScreenContentFilter>(filter);
        }
    }

    std::shared_ptr<StreamConfiguration> makeStreamConfiguration() override {
        return std::make_shared<ScreenStreamConfiguration>();
    }

    std::shared_ptr<Stream> makeStream(std::shared_ptr<ContentFilter> filter,
                                       std::shared_ptr<StreamConfiguration> configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        const auto* screenFilter = dynamic_cast<const ScreenContentFilter*>(filter.get());
        const auto* screenConfiguration = dynamic_cast<const ScreenStreamConfiguration*>(configuration.get());
        if (screenFilter == nullptr || screenConfiguration == nullptr) {
            assert(false && "a filter or configuration this service did not make");
            return nullptr;
        }
        @autoreleasepool {
            auto stream = std::make_shared<ScreenStream>();
            QFXStreamForwarder* forwarder = [[QFXStreamForwarder alloc] initWithStream:stream
                                                                                output:{}
                                                                              delegate:std::move(delegate)];
            SCStream* native = [[SCStream alloc] initWithFilter:screenFilter->filter()
                                                  configuration:screenConfiguration->configuration()
                                                       delegate:forwarder];
            stream->attach(native, forwarder);
            return stream;
        }
    }
};

} // namespace

std::unique_ptr<CaptureService> makeScreenCaptureService() {
    return std::make_unique<ScreenCaptureService>();
}

} // namespace qfx::platform::apple
