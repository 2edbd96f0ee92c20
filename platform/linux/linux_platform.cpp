// The Linux platform: capture through libpulse, files through FFmpeg, serial queues on threads of their own.
#include "platform/linux/ffmpeg_writer.h"
#include "platform/linux/pulse_capture.h"
#include "platform/platform.h"
#include "platform/thread_serial_queue.h"

#include <memory>
#include <string>

namespace qfx::platform {
namespace {

class LinuxPlatform final : public Platform {
public:
    CaptureService& captureService() override { return capture_; }
    WriterService& writerService() override { return writer_; }

    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override {
        return std::make_shared<ThreadSerialQueue>(label);
    }

    // Nothing on Linux completes on the main thread, so it simply blocks.
    void waitOnMainThread(const std::shared_future<void>& done) override { done.wait(); }

private:
    linux_backend::PulseCaptureService capture_;
    linux_backend::FfmpegWriterService writer_;
};

} // namespace

Platform& systemPlatform() {
    static LinuxPlatform platform;
    return platform;
}

} // namespace qfx::platform
