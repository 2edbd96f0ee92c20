// The platform as a whole: its two media services, its serial queues, and the main thread's way of waiting.
#pragma once

#include "platform/capture.h"
#include "platform/serial_queue.h"
#include "platform/writer.h"

#include <future>
#include <memory>
#include <string>

namespace qfx::platform {

class Platform {
public:
    virtual ~Platform() = default;

    virtual CaptureService& captureService() = 0;
    virtual WriterService& writerService() = 0;

    /// A new serial queue labelled `label` (default quality of service, no target).
    virtual std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) = 0;

    /// Called on the main thread only: returns once `done` is ready. While it waits, the main thread does what the
    /// platform needs of it (macOS keeps the main run loop turning, since some services complete there; elsewhere
    /// it simply blocks).
    virtual void waitOnMainThread(const std::shared_future<void>& done) = 0;
};

/// The host's platform, made on first use. Defined once per backend; call it first on the main thread (the macOS
/// backend connects to the window server there).
Platform& systemPlatform();

} // namespace qfx::platform
