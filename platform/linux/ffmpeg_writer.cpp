#include "platform/linux/ffmpeg_writer.h"

#include "platform/linux/pcm_buffer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

namespace qfx::platform::linux_backend {

namespace {

constexpr int kIoBufferSize = 64 * 1024;
constexpr int kMaxChannels = 8;                      // the channel configurations AAC defines
constexpr int64_t kAacMaxBitsPerChannelFrame = 6144; // per channel and 1024-frame block
constexpr int64_t kDefaultBitRatePerChannel = 96000;

// The one place where FFmpeg's codes, and the system's errno values (as AVERROR(errno)), become text.
std::string describe(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return text;
}

std::string describeErrno(int error) {
    return describe(AVERROR(error));
}

Error cannotWrite(const std::string& path, const std::string& reason) {
    return Error{"Cannot write to " + path + ": " + reason};
}

// The AVIO callbacks write straight to the file we created, so that every failure arrives with its errno.
int writeToFile(void* opaque, uint8_t* data, int size) {
    const int fd = *static_cast<const int*>(opaque);
    int left = size;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return AVERROR(written < 0 ? errno : EIO);
        }
        data += written;
        left -= static_cast<int>(written);
    }
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    const int fd = *static_cast<const int*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

const AVCodec* aacEncoder() {
    return avcodec_find_encoder_by_name("aac");
}

bool encoderTakes(const AVCodec& codec, int32_t sampleRate, int32_t channelCount) {
    bool rateKnown = codec.supported_samplerates == nullptr;
    for (const int* rate = codec.supported_samplerates; rate != nullptr && *rate != 0; ++rate) {
        rateKnown = rateKnown || *rate == sampleRate;
    }
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, channelCount);
    bool layoutKnown = codec.ch_layouts == nullptr;
    for (const AVChannelLayout* known = codec.ch_layouts; known != nullptr && known->nb_channels != 0; ++known) {
        layoutKnown = layoutKnown || av_channel_layout_compare(known, &layout) == 0;
    }
    av_channel_layout_uninit(&layout);
    return rateKnown && layoutKnown;
}

std::optional<FfmpegWriterInput::Format> honouredFormat(const MediaType& mediaType, const OutputSettings& settings) {
    if (mediaType != kMediaTypeAudio) {
        return std::nullopt;
    }
    std::optional<int64_t> formatID;
    std::optional<int64_t> sampleRate;
    std::optional<int64_t> channelCount;
    std::optional<int64_t> bitRate;
    for (const OutputSetting& setting : settings) {
        std::optional<int64_t>* slot = setting.key == kFormatIDKey           ? &formatID
                                       : setting.key == kSampleRateKey       ? &sampleRate
                                       : setting.key == kNumberOfChannelsKey ? &channelCount
                                       : setting.key == kEncoderBitRateKey   ? &bitRate
                                                                             : nullptr;
        if (slot == nullptr || slot->has_value()) {
            return std::nullopt;
        }
        *slot = std::visit([](auto number) { return static_cast<int64_t>(number); }, setting.value);
    }
    const AVCodec* codec = aacEncoder();
    if (codec == nullptr || formatID != kAudioFormatMPEG4AAC || !sampleRate || !channelCount || *sampleRate <= 0 ||
        *sampleRate > 96000 || *channelCount < 1 || *channelCount > kMaxChannels) {
        return std::nullopt;
    }
    FfmpegWriterInput::Format format{static_cast<int32_t>(*sampleRate), static_cast<int32_t>(*channelCount),
                                     bitRate.value_or(kDefaultBitRatePerChannel * *channelCount)};
    const int64_t maxBitRate = kAacMaxBitsPerChannelFrame * format.channelCount * format.sampleRate / 1024;
    if (format.bitRate <= 0 || format.bitRate > maxBitRate ||
        !encoderTakes(*codec, format.sampleRate, format.channelCount)) {
        return std::nullopt;
    }
    return format;
}

} // namespace

// The open file and FFmpeg's state for it, from startWriting until the file is closed.
struct FfmpegWriter::Encoding {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr; // one encoder frame, filled across appends
    AVPacket* packet = nullptr;
    int channelCount = 0;
    int filled = 0; // frames in `frame` so far
    int64_t nextPts = 0;

    Encoding() = default;
    Encoding(const Encoding&) = delete;
    Encoding& operator=(const Encoding&) = delete;
    ~Encoding() { release(); }

    // Frees FFmpeg's state and closes the file; the close's own result is not wanted here (see finish()).
    void release() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format != nullptr) {
            format->pb = nullptr;
            avformat_free_context(format);
            format = nullptr;
        }
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    // Removes the file we created, unless the path has come to name something else since.
    void removeFile(const std::string& path) const {
        struct stat st {};
        if (inode != 0 && ::lstat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode) {
            ::unlink(path.c_str());
        }
    }
};

// --- FfmpegWriterService ---

FfmpegWriterService::FfmpegWriterService(TimelineLimits limits) : limits_(limits) {
    av_log_set_level(AV_LOG_QUIET);
}

Result<std::shared_ptr<Writer>> FfmpegWriterService::makeWriter(const FileLocation& location,
                                                                const FileType& fileType) {
    const std::string& path = location.path;
    if (fileType != kFileTypeAppleM4A) {
        return cannotWrite(path, "Unsupported file type " + fileType);
    }
    if (path.empty()) {
        return cannotWrite(path, describeErrno(ENOENT));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        return cannotWrite(path, describeErrno(S_ISDIR(st.st_mode) ? EISDIR : EEXIST));
    }
    if (errno != ENOENT) {
        return cannotWrite(path, describeErrno(errno));
    }
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::stat(parent.c_str(), &st) != 0) {
        return cannotWrite(path, describeErrno(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return cannotWrite(path, describeErrno(ENOTDIR));
    }
    if (::access(parent.c_str(), W_OK | X_OK) != 0) {
        return cannotWrite(path, describeErrno(errno));
    }
    return std::shared_ptr<Writer>(std::make_shared<FfmpegWriter>(location, limits_));
}

std::shared_ptr<WriterInput> FfmpegWriterService::makeWriterInput(const MediaType& mediaType,
                                                                  const OutputSettings& outputSettings) {
    return std::make_shared<FfmpegWriterInput>(mediaType, outputSettings);
}

// --- FfmpegWriterInput ---

FfmpegWriterInput::FfmpegWriterInput(const MediaType& mediaType, const OutputSettings& outputSettings)
    : format_(honouredFormat(mediaType, outputSettings)) {}

void FfmpegWriterInput::setExpectsMediaDataInRealTime(bool /*expectsMediaDataInRealTime*/) {
    // Every append is encoded at once; there is no queue to size for real time.
}

bool FfmpegWriterInput::isReadyForMoreMediaData() {
    const std::shared_ptr<FfmpegWriter> writer = writer_.lock();
    return writer != nullptr && writer->isReady();
}

bool FfmpegWriterInput::append(const SampleBuffer& buffer) {
    const auto* pcm = dynamic_cast<const PcmBuffer*>(&buffer);
    if (pcm == nullptr || !format_ || !pcm->isValid() || pcm->sampleRate() != format_->sampleRate ||
        pcm->channelCount() != format_->channelCount) {
        return false;
    }
    const std::shared_ptr<FfmpegWriter> writer = writer_.lock();
    return writer != nullptr && writer->append(*pcm);
}

void FfmpegWriterInput::markAsFinished() {
    if (const std::shared_ptr<FfmpegWriter> writer = writer_.lock()) {
        writer->markInputFinished();
    }
}

// --- FfmpegWriter ---

FfmpegWriter::FfmpegWriter(FileLocation location, TimelineLimits limits)
    : location_(std::move(location)), limits_(limits) {}

FfmpegWriter::~FfmpegWriter() {
    const std::lock_guard lock(work_);
    abandon();
}

bool FfmpegWriter::canAddInput(const std::shared_ptr<WriterInput>& input) {
    const auto ours = std::dynamic_pointer_cast<FfmpegWriterInput>(input);
    const std::lock_guard lock(work_);
    return ours != nullptr && ours->format_.has_value() && ours->writer_.expired() && input_ == nullptr &&
           status_ == WriterStatus::unknown;
}

void FfmpegWriter::addInput(std::shared_ptr<WriterInput> input) {
    if (!canAddInput(input)) {
        return;
    }
    const std::lock_guard lock(work_);
    input_ = std::static_pointer_cast<FfmpegWriterInput>(std::move(input));
    input_->writer_ = weak_from_this();
}

bool FfmpegWriter::startWriting() {
    const std::lock_guard lock(work_);
    const std::string& path = location_.path;
    if (status_ != WriterStatus::unknown || input_ == nullptr) {
        if (status_ == WriterStatus::unknown) {
            fail("Cannot write to " + path + ": the writer has no audio input");
        }
        return false;
    }
    const FfmpegWriterInput::Format& wanted = *input_->format_;
    encoding_ = std::make_unique<Encoding>();
    Encoding& e = *encoding_;

    e.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st {};
    if (e.fd < 0 || ::fstat(e.fd, &st) != 0) {
        fail(cannotWrite(path, describeErrno(errno)).description);
        return false;
    }
    e.device = st.st_dev;
    e.inode = st.st_ino;

    const AVCodec* codec = aacEncoder();
    e.codec = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    const AVOutputFormat* container = av_guess_format("ipod", nullptr, nullptr); // MPEG-4 audio, brand "M4A "
    if (e.codec == nullptr || container == nullptr ||
        avformat_alloc_output_context2(&e.format, container, nullptr, nullptr) < 0) {
        fail("Cannot start the AAC encoder for " + path + ": " + describe(AVERROR_ENCODER_NOT_FOUND));
        return false;
    }
    e.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e.codec->sample_rate = wanted.sampleRate;
    av_channel_layout_default(&e.codec->ch_layout, wanted.channelCount);
    e.codec->bit_rate = wanted.bitRate;
    e.codec->profile = FF_PROFILE_AAC_LOW;
    e.codec->time_base = AVRational{1, wanted.sampleRate};
    if ((container->flags & AVFMT_GLOBALHEADER) != 0) {
        e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (const int result = avcodec_open2(e.codec, codec, nullptr); result < 0) {
        fail("Cannot start the AAC encoder for " + path + ": " + describe(result));
        return false;
    }
    e.channelCount = wanted.channelCount;

    auto* ioBuffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    e.io = ioBuffer != nullptr ? avio_alloc_context(ioBuffer, kIoBufferSize, 1, &e.fd, nullptr, writeToFile, seekInFile)
                               : nullptr;
    AVStream* stream = avformat_new_stream(e.format, nullptr);
    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    if (e.io == nullptr) {
        av_free(ioBuffer);
    }
    if (e.io == nullptr || stream == nullptr || e.frame == nullptr || e.packet == nullptr) {
        fail(cannotWrite(path, describeErrno(ENOMEM)).description);
        return false;
    }
    e.format->pb = e.io;
    stream->time_base = e.codec->time_base;
    e.frame->format = AV_SAMPLE_FMT_FLTP;
    e.frame->sample_rate = wanted.sampleRate;
    e.frame->nb_samples = e.codec->frame_size;
    if (int result = avcodec_parameters_from_context(stream->codecpar, e.codec);
        result < 0 || (result = av_channel_layout_copy(&e.frame->ch_layout, &e.codec->ch_layout)) < 0 ||
        (result = av_frame_get_buffer(e.frame, 0)) < 0) {
        fail(cannotWrite(path, describe(result)).description);
        return false;
    }
    if (int result = avformat_write_header(e.format, nullptr); result < 0 || (result = e.io->error) < 0) {
        fail("Unable to write " + path + ": " + describe(result));
        return false;
    }
    setStatus(WriterStatus::writing);
    return true;
}

void FfmpegWriter::startSession(MediaTime startTime) {
    const std::lock_guard lock(work_);
    if (encoding_ == nullptr || timeline_.has_value()) {
        return;
    }
    const int32_t rate = input_->format_->sampleRate;
    timeline_.emplace(rate, std::llround(limits_.toleranceSeconds * rate), std::llround(limits_.maxGapSeconds * rate));
    timeline_->start(startTime);
}

bool FfmpegWriter::isReady() const {
    return status_ == WriterStatus::writing && !inputFinished_;
}

bool FfmpegWriter::append(const PcmBuffer& buffer) {
    const std::lock_guard lock(work_);
    if (status_ != WriterStatus::writing || inputFinished_ || !timeline_.has_value()) {
        return false;
    }
    const int64_t frameCount = buffer.frameCount();
    const Timeline::Placement placement = timeline_->place(buffer.presentationTimeStamp(), frameCount);
    const int64_t kept = frameCount - placement.skipFrames;
    if (!encode(nullptr, placement.silenceFrames) ||
        !encode(buffer.samples().data() + placement.skipFrames * buffer.channelCount(), kept)) {
        return false; // the writer has failed: nothing more is written, so nothing more is counted
    }
    timeline_->wrote(placement.silenceFrames, kept);
    return true;
}

void FfmpegWriter::markInputFinished() {
    const std::lock_guard lock(work_);
    inputFinished_ = true;
}

bool FfmpegWriter::encode(const float* interleaved, int64_t frameCount) {
    Encoding& e = *encoding_;
    const int frameSize = e.codec->frame_size;
    const int channels = e.channelCount;
    while (frameCount > 0) {
        // The encoder normally lets go of the frame before send returns; only if it still holds it is a new one made.
        if (e.filled == 0 && av_frame_make_writable(e.frame) < 0) {
            fail("Unable to encode audio for " + location_.path + ": " + describeErrno(ENOMEM));
            return false;
        }
        const int count = static_cast<int>(std::min<int64_t>(frameCount, frameSize - e.filled));
        for (int channel = 0; channel < channels; ++channel) {
            float* plane = reinterpret_cast<float*>(e.frame->extended_data[channel]) + e.filled;
            if (interleaved == nullptr) {
                std::fill_n(plane, count, 0.0F);
                continue;
            }
            const float* source = interleaved + channel;
            for (int i = 0; i < count; ++i, source += channels) {
                plane[i] = *source;
            }
        }
        e.filled += count;
        frameCount -= count;
        if (interleaved != nullptr) {
            interleaved += static_cast<ptrdiff_t>(count) * channels;
        }
        if (e.filled == frameSize && !sendFrame(false)) {
            return false;
        }
    }
    return true;
}

bool FfmpegWriter::sendFrame(bool last) {
    Encoding& e = *encoding_;
    AVFrame* frame = nullptr;
    if (e.filled > 0) {
        frame = e.frame;
        frame->nb_samples = e.filled; // shorter than the encoder's frame only for the last
        frame->pts = e.nextPts;
        e.nextPts += e.filled;
        e.filled = 0;
    }
    int result = frame != nullptr ? avcodec_send_frame(e.codec, frame) : 0;
    if (result >= 0 && last) {
        result = avcodec_send_frame(e.codec, nullptr);
    }
    if (frame != nullptr) {
        frame->nb_samples = e.codec->frame_size;
    }
    if (result < 0) {
        fail("Unable to encode audio for " + location_.path + ": " + describe(result));
        return false;
    }
    return drainPackets();
}

bool FfmpegWriter::drainPackets() {
    Encoding& e = *encoding_;
    AVStream* stream = e.format->streams[0];
    int result = 0;
    while ((result = avcodec_receive_packet(e.codec, e.packet)) == 0) {
        av_packet_rescale_ts(e.packet, e.codec->time_base, stream->time_base);
        e.packet->stream_index = stream->index;
        result = av_write_frame(e.format, e.packet);
        av_packet_unref(e.packet);
        if (result < 0) {
            fail("Unable to write " + location_.path + ": " + describe(result));
            return false;
        }
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
        fail("Unable to encode audio for " + location_.path + ": " + describe(result));
        return false;
    }
    return true;
}

void FfmpegWriter::finishWriting(std::function<void()> completion) {
    {
        const std::lock_guard lock(work_);
        if (status_ == WriterStatus::writing && finish()) {
            setStatus(WriterStatus::completed);
        } else if (status_ == WriterStatus::unknown) {
            fail("Unable to finish " + location_.path + ": writing was never started");
        }
    }
    if (completion) {
        completion();
    }
}

bool FfmpegWriter::finish() {
    inputFinished_ = true;
    Encoding& e = *encoding_;
    if (!sendFrame(true)) {
        return false;
    }
    int result = av_write_trailer(e.format);
    if (result >= 0) {
        avio_flush(e.io);
        result = e.io->error;
    }
    // fsync: on file systems that allocate late, a full disk shows only here; close's result is checked for the
    // same reason (network file systems report write errors at close).
    if (result >= 0 && ::fsync(e.fd) != 0 && errno != EINVAL) {
        result = AVERROR(errno);
    }
    if (result >= 0) {
        const int fd = std::exchange(e.fd, -1);
        if (::close(fd) != 0 && errno != EINTR) {
            result = AVERROR(errno);
        }
    }
    if (result < 0) {
        fail("Unable to write " + location_.path + ": " + describe(result));
        return false;
    }
    encoding_.reset();
    return true;
}

void FfmpegWriter::cancelWriting() {
    const std::lock_guard lock(work_);
    if (status_ == WriterStatus::writing || status_ == WriterStatus::unknown) {
        abandon();
        setStatus(WriterStatus::cancelled);
    }
}

void FfmpegWriter::abandon() {
    if (encoding_ != nullptr) {
        encoding_->release();
        encoding_->removeFile(location_.path);
        encoding_.reset();
    }
}

void FfmpegWriter::fail(std::string description) {
    abandon();
    const std::lock_guard lock(stateMutex_);
    error_ = Error{std::move(description)};
    status_ = WriterStatus::failed;
}

void FfmpegWriter::setStatus(WriterStatus status) {
    const std::lock_guard lock(stateMutex_);
    status_ = status;
}

WriterStatus FfmpegWriter::status() const {
    return status_;
}

MaybeError FfmpegWriter::error() const {
    const std::lock_guard lock(stateMutex_);
    return error_;
}

} // namespace qfx::platform::linux_backend
