#include "platform/linux/ffmpeg_writer.h"

#include "platform/linux/av_error.h"
#include "platform/linux/ffmpeg_library.h"
#include "platform/linux/m4a_finish.h"
#include "platform/linux/pcm_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

namespace qfx::platform::linux_backend {

std::string describeAvError(int averror) {
    if (!loadedFfmpeg().ok()) {
        return averror < 0 && averror > -4096 ? describeErrno(-averror) : "Error number " + std::to_string(averror);
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    ff().av_strerror(averror, text, sizeof text);
    return text;
}

std::string describeErrno(int error) {
    // The system's own text, as FFmpeg gives it for AVERROR(error); without FFmpeg, so that the checks made before
    // its libraries have loaded can say what is wrong.
    char text[256] = {};
    return ::strerror_r(error, text, sizeof text);
}

int writeAll(int fd, const uint8_t* data, int size) {
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

namespace {

// Larger than one fragment at AAC's highest bit rate for stereo (about 72 KiB a second), so that a fragment reaches the
// file in one write: a kill then leaves whole fragments only.
constexpr int kIoBufferSize = 256 * 1024;
// While recording, the file is a fragmented MPEG-4 file: an index without samples first, then a fragment (its own
// small index and its audio) about every second, each written out as soon as it is complete. A player reads such a
// file up to its last fragment, so a recording killed at any moment keeps all but its last second.
constexpr const char* kFragmentedFlags = "+empty_moov+default_base_moof+frag_custom";
// The buffers' times drift slowly against the frames written when the capture follows a card whose clock is off its
// nominal rate. The resampler absorbs that drift by adding or removing frames spread over this stretch of output,
// at a rate change of at most kMaxCompensation: a card off by half a percent is followed with a lag of 5 ms, inside
// the timeline's tolerance, so drift never becomes silence or a cut. Over a second, the snapshots' remaining jitter
// bends the pitch by far less than anyone hears.
constexpr double kCompensationSeconds = 1.0;
constexpr double kMaxCompensation = 0.006;
// How long after startWriting the encoder opens if no audio has come by then. FFmpeg's libraries load when it opens
// (platform/linux/ffmpeg_library.h), and while a library loads the dynamic loader holds a lock that creating a
// thread takes too: loaded during the start, they would hold up the threads the capture's start creates, and READY
// with them. The start takes a few milliseconds to a few tens after startWriting.
constexpr std::chrono::milliseconds kOpenerDelay{100};
// Frames handed to the resampler at a time. The resampler sizes its four working buffers for the largest call, and
// they stay for the whole recording: at 1024 frames they take a quarter of what a whole capture fragment would.
constexpr int kResampleChunk = 1024;

// A fragment closes once it holds this many tenths of a second: with the encoder's delay of about two frames (43 ms),
// a kill after N seconds still leaves N - 1 on disk.
constexpr int kFragmentTenths = 9;
// The encoder's settings (FFmpeg's native AAC encoder). Its fast coder costs under half the CPU of the default
// two-loop search; with intensity stereo off it is no worse than the default at 192 kb/s by every measure in
// bench/quality.py (overall SNR, SNR and log-spectral distance in each critical band of a speech and music signal).
// With intensity stereo on, the fast coder loses up to 5 dB of SNR between 5 and 12 kHz.
constexpr std::array<std::pair<const char*, const char*>, 2> kEncoderOptions{{{"aac_coder", "fast"}, {"aac_is", "0"}}};
constexpr int kMaxChannels = 8; // the channel configurations AAC defines
// The sampling frequencies AAC defines. Checked without the encoder, whose library may not have loaded yet; whether
// it takes the channel count too is known only when it opens.
constexpr std::array<int64_t, 13> kAacSampleRates{96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                  22050, 16000, 12000, 11025, 8000,  7350};
constexpr int64_t kAacMaxBitsPerChannelFrame = 6144; // per channel and 1024-frame block
constexpr int64_t kDefaultBitRatePerChannel = 96000;

std::string describe(int averror) {
    return describeAvError(averror);
}

Error cannotWrite(const std::string& path, const std::string& reason) {
    return Error{"Cannot write to " + path + ": " + reason};
}

// The AVIO callbacks write straight to the file we created, so that every failure arrives with its errno.
int writeToFile(void* opaque, uint8_t* data, int size) {
    return writeAll(*static_cast<const int*>(opaque), data, size);
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
    return ff().avcodec_find_encoder_by_name("aac");
}

bool encoderTakes(const AVCodec& codec, int32_t sampleRate, int32_t channelCount) {
    bool rateKnown = codec.supported_samplerates == nullptr;
    for (const int* rate = codec.supported_samplerates; rate != nullptr && *rate != 0; ++rate) {
        rateKnown = rateKnown || *rate == sampleRate;
    }
    AVChannelLayout layout{};
    ff().av_channel_layout_default(&layout, channelCount);
    bool layoutKnown = codec.ch_layouts == nullptr;
    for (const AVChannelLayout* known = codec.ch_layouts; known != nullptr && known->nb_channels != 0; ++known) {
        layoutKnown = layoutKnown || ff().av_channel_layout_compare(known, &layout) == 0;
    }
    ff().av_channel_layout_uninit(&layout);
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
    if (formatID != kAudioFormatMPEG4AAC || !sampleRate || !channelCount ||
        std::find(kAacSampleRates.begin(), kAacSampleRates.end(), *sampleRate) == kAacSampleRates.end() ||
        *channelCount < 1 || *channelCount > kMaxChannels) {
        return std::nullopt;
    }
    FfmpegWriterInput::Format format{static_cast<int32_t>(*sampleRate), static_cast<int32_t>(*channelCount),
                                     bitRate.value_or(kDefaultBitRatePerChannel * *channelCount)};
    const int64_t maxBitRate = kAacMaxBitsPerChannelFrame * format.channelCount * format.sampleRate / 1024;
    if (format.bitRate <= 0 || format.bitRate > maxBitRate) {
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
    SwrContext* resampler = nullptr;
    std::vector<float> resampled; // the resampler's output, interleaved
    std::vector<float> silence;   // one chunk of silent frames
    int64_t fedFrames = 0;        // frames given to the resampler
    int64_t resampledFrames = 0;  // frames it gave back
    int64_t reportedExtra = 0;    // frames it added (removed, when negative), as told to the timeline so far
    int channelCount = 0;
    int filled = 0; // frames in `frame` so far
    int64_t nextPts = 0;
    int64_t fragmentFrames = 0; // audio in the fragment being gathered
    int64_t committedBytes = 0; // the file's length after its last complete fragment
    bool holdsAudio = false;    // whether a fragment with audio has been written
    bool ffmpegLoaded = false;  // whether FFmpeg's state below may be touched at all
    bool encoderOpen = false;   // whether openEncoder() has succeeded

    Encoding() = default;
    Encoding(const Encoding&) = delete;
    Encoding& operator=(const Encoding&) = delete;
    ~Encoding() { release(); }

    // Frees FFmpeg's state and closes the file; the close's own result is not wanted here (see finish()).
    void release() {
        if (ffmpegLoaded) {
            releaseFfmpeg();
        }
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void releaseFfmpeg() {
        ff().av_packet_free(&packet);
        ff().av_frame_free(&frame);
        ff().swr_free(&resampler);
        ff().avcodec_free_context(&codec);
        if (format != nullptr) {
            format->pb = nullptr;
            ff().avformat_free_context(format);
            format = nullptr;
        }
        if (io != nullptr) {
            ff().av_freep(&io->buffer);
            ff().avio_context_free(&io);
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

FfmpegWriterService::FfmpegWriterService(TimelineLimits limits) : limits_(limits) {}

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
    {
        const std::lock_guard lock(work_);
        closing_ = true;
    }
    openerWake_.notify_all();
    if (opener_.joinable()) {
        opener_.join();
    }
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
    encoding_ = std::make_unique<Encoding>();
    Encoding& e = *encoding_;

    e.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st {};
    if (e.fd < 0 || ::fstat(e.fd, &st) != 0) {
        fail(cannotWrite(path, describeErrno(errno)).description);
        return false;
    }
    e.device = st.st_dev;
    e.inode = st.st_ino;
    setStatus(WriterStatus::writing);
    // The encoder opens, and the file gets its header, a moment later on a thread of its own, or with the first
    // audio if that comes sooner (see openEncoder).
    try {
        opener_ = std::thread([this] {
            std::unique_lock lock(work_);
            if (!openerWake_.wait_for(lock, kOpenerDelay, [this] { return closing_; })) {
                (void)openEncoder();
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: the first audio opens the encoder.
    }
    return true;
}

bool FfmpegWriter::openEncoder() {
    if (status_ != WriterStatus::writing || encoding_ == nullptr) {
        return false;
    }
    Encoding& e = *encoding_;
    if (e.encoderOpen) {
        return true;
    }
    const std::string& path = location_.path;
    const FfmpegWriterInput::Format& wanted = *input_->format_;
    if (const Result<const FfmpegFunctions*> ffmpeg = loadedFfmpeg(); !ffmpeg.ok()) {
        fail("Cannot start the AAC encoder for " + path + ": " + ffmpeg.error().description);
        return false;
    }
    e.ffmpegLoaded = true;
    const AVCodec* codec = aacEncoder();
    e.codec = codec != nullptr ? ff().avcodec_alloc_context3(codec) : nullptr;
    const AVOutputFormat* container = ff().av_guess_format("ipod", nullptr, nullptr); // MPEG-4 audio, brand "M4A "
    if (e.codec == nullptr || container == nullptr || !encoderTakes(*codec, wanted.sampleRate, wanted.channelCount) ||
        ff().avformat_alloc_output_context2(&e.format, container, nullptr, nullptr) < 0) {
        fail("Cannot start the AAC encoder for " + path + ": " + describe(AVERROR_ENCODER_NOT_FOUND));
        return false;
    }
    e.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e.codec->sample_rate = wanted.sampleRate;
    ff().av_channel_layout_default(&e.codec->ch_layout, wanted.channelCount);
    e.codec->bit_rate = wanted.bitRate;
    e.codec->profile = FF_PROFILE_AAC_LOW;
    e.codec->time_base = AVRational{1, wanted.sampleRate};
    if ((container->flags & AVFMT_GLOBALHEADER) != 0) {
        e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary* coderOptions = nullptr;
    for (const auto& [key, value] : kEncoderOptions) {
        ff().av_dict_set(&coderOptions, key, value, 0);
    }
    const int opened = ff().avcodec_open2(e.codec, codec, &coderOptions);
    ff().av_dict_free(&coderOptions);
    if (opened < 0) {
        fail("Cannot start the AAC encoder for " + path + ": " + describe(opened));
        return false;
    }
    e.channelCount = wanted.channelCount;
    // Interleaved float in and out, at one rate: the resampler only stretches or squeezes (swr_set_compensation).
    // It resamples from the start, so its small delay stays the same whether or not it is compensating.
    if (const int result =
            ff().swr_alloc_set_opts2(&e.resampler, &e.codec->ch_layout, AV_SAMPLE_FMT_FLT, wanted.sampleRate,
                                     &e.codec->ch_layout, AV_SAMPLE_FMT_FLT, wanted.sampleRate, 0, nullptr);
        result < 0 || ff().av_opt_set_int(e.resampler, "flags", SWR_FLAG_RESAMPLE, 0) < 0 ||
        ff().swr_init(e.resampler) < 0) {
        fail("Cannot start the AAC encoder for " + path + ": " + describe(result < 0 ? result : AVERROR(EINVAL)));
        return false;
    }
    e.silence.assign(static_cast<size_t>(kResampleChunk) * wanted.channelCount, 0.0F);

    auto* ioBuffer = static_cast<unsigned char*>(ff().av_malloc(kIoBufferSize));
    e.io = ioBuffer != nullptr
               ? ff().avio_alloc_context(ioBuffer, kIoBufferSize, 1, &e.fd, nullptr, writeToFile, seekInFile)
               : nullptr;
    AVStream* stream = ff().avformat_new_stream(e.format, nullptr);
    e.frame = ff().av_frame_alloc();
    e.packet = ff().av_packet_alloc();
    if (e.io == nullptr) {
        ff().av_free(ioBuffer);
    }
    if (e.io == nullptr || stream == nullptr || e.frame == nullptr || e.packet == nullptr) {
        fail(cannotWrite(path, describeErrno(ENOMEM)).description);
        return false;
    }
    e.format->pb = e.io;
    e.format->flush_packets = 0; // whole fragments are written out by writeFragment(), never part of one
    stream->time_base = e.codec->time_base;
    e.frame->format = AV_SAMPLE_FMT_FLTP;
    e.frame->sample_rate = wanted.sampleRate;
    e.frame->nb_samples = e.codec->frame_size;
    if (int result = ff().avcodec_parameters_from_context(stream->codecpar, e.codec);
        result < 0 || (result = ff().av_channel_layout_copy(&e.frame->ch_layout, &e.codec->ch_layout)) < 0 ||
        (result = ff().av_frame_get_buffer(e.frame, 0)) < 0) {
        fail(cannotWrite(path, describe(result)).description);
        return false;
    }
    AVDictionary* options = nullptr;
    ff().av_dict_set(&options, "movflags", kFragmentedFlags, 0);
    int result = ff().avformat_write_header(e.format, &options);
    ff().av_dict_free(&options);
    if (result >= 0) {
        ff().avio_flush(e.io);
        result = e.io->error;
    }
    if (result < 0) {
        fail("Unable to write " + path + ": " + describe(result));
        return false;
    }
    e.committedBytes = ff().avio_seek(e.io, 0, SEEK_CUR);
    e.encoderOpen = true;
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
    if (status_ != WriterStatus::writing || inputFinished_ || !timeline_.has_value() || !openEncoder()) {
        return false;
    }
    const int64_t frameCount = buffer.frameCount();
    const Timeline::Placement placement = timeline_->place(buffer.presentationTimeStamp(), frameCount);
    const int64_t kept = frameCount - placement.skipFrames;
    Encoding& e = *encoding_;
    const auto window = static_cast<int>(std::llround(kCompensationSeconds * e.codec->sample_rate));
    const auto most = static_cast<int64_t>(window * kMaxCompensation);
    if (const int result = ff().swr_set_compensation(
            e.resampler, static_cast<int>(std::clamp(placement.driftFrames, -most, most)), window);
        result < 0) {
        fail("Unable to encode audio for " + location_.path + ": " + describe(result));
        return false;
    }
    if (!resample(nullptr, placement.silenceFrames) ||
        !resample(buffer.samples().data() + placement.skipFrames * buffer.channelCount(), kept)) {
        return false; // the writer has failed: nothing more is written, so nothing more is counted
    }
    // What the resampler added or removed counts with the buffer. Its delay counts as written: those frames are on
    // their way into the file.
    const int64_t extra = e.resampledFrames + ff().swr_get_delay(e.resampler, e.codec->sample_rate) - e.fedFrames;
    timeline_->wrote(placement.silenceFrames, std::max<int64_t>(kept + extra - e.reportedExtra, 0));
    e.reportedExtra = extra;
    return true;
}

bool FfmpegWriter::resample(const float* interleaved, int64_t frameCount) {
    Encoding& e = *encoding_;
    while (frameCount > 0) {
        const int count = static_cast<int>(std::min<int64_t>(frameCount, kResampleChunk));
        if (!convert(interleaved != nullptr ? interleaved : e.silence.data(), count)) {
            return false;
        }
        frameCount -= count;
        if (interleaved != nullptr) {
            interleaved += static_cast<ptrdiff_t>(count) * e.channelCount;
        }
    }
    return true;
}

bool FfmpegWriter::convert(const float* interleaved, int count) {
    Encoding& e = *encoding_;
    int produced = ff().swr_get_out_samples(e.resampler, count);
    if (produced >= 0) {
        e.resampled.resize(static_cast<size_t>(produced) * e.channelCount);
        auto* out = reinterpret_cast<uint8_t*>(e.resampled.data());
        const auto* in = reinterpret_cast<const uint8_t*>(interleaved);
        produced = ff().swr_convert(e.resampler, &out, produced, interleaved != nullptr ? &in : nullptr, count);
    }
    if (produced < 0) {
        fail("Unable to encode audio for " + location_.path + ": " + describe(produced));
        return false;
    }
    e.fedFrames += count;
    e.resampledFrames += produced;
    return encode(e.resampled.data(), produced);
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
        if (e.filled == 0 && ff().av_frame_make_writable(e.frame) < 0) {
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
    int result = frame != nullptr ? ff().avcodec_send_frame(e.codec, frame) : 0;
    if (result >= 0 && last) {
        result = ff().avcodec_send_frame(e.codec, nullptr);
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
    while ((result = ff().avcodec_receive_packet(e.codec, e.packet)) == 0) {
        ff().av_packet_rescale_ts(e.packet, e.codec->time_base, stream->time_base);
        e.packet->stream_index = stream->index;
        e.fragmentFrames += e.packet->duration;
        result = ff().av_write_frame(e.format, e.packet);
        ff().av_packet_unref(e.packet);
        if (result >= 0 && e.fragmentFrames >= e.codec->sample_rate * kFragmentTenths / 10) {
            result = writeFragment();
        }
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

int FfmpegWriter::writeFragment() {
    Encoding& e = *encoding_;
    int result = ff().av_write_frame(e.format, nullptr);
    if (result >= 0) {
        ff().avio_flush(e.io);
        result = e.io->error;
    }
    if (result >= 0) {
        e.committedBytes = ff().avio_seek(e.io, 0, SEEK_CUR);
        e.holdsAudio = true;
        e.fragmentFrames = 0;
    }
    return result;
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
    if (!openEncoder()) {
        return false;
    }
    Encoding& e = *encoding_;
    if (!convert(nullptr, 0) || !sendFrame(true)) {
        return false;
    }
    // The trailer writes the last fragment. The fragmented file is then complete, and stays if the rest fails.
    int result = e.fragmentFrames > 0 ? writeFragment() : 0;
    if (result >= 0) {
        result = ff().av_write_trailer(e.format);
        ff().avio_flush(e.io);
        result = result < 0 ? result : e.io->error;
    }
    if (result < 0) {
        fail("Unable to write " + location_.path + ": " + describe(result));
        return false;
    }
    e.committedBytes = ff().avio_seek(e.io, 0, SEEK_CUR);
    const FragmentedFile file{e.fd, location_.path, e.device, e.inode};
    if (const MaybeError error = finishAsM4a(file, e.codec->initial_padding, e.nextPts)) {
        fail("Unable to complete " + location_.path + ": " + error->description +
             " (the recording stays there, playable, as a fragmented MPEG-4 file)");
        return false;
    }
    // The finished file has replaced the one this writer created: nothing is left to remove.
    e.inode = 0;
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

void FfmpegWriter::keepWhatIsWritten() {
    if (encoding_ == nullptr) {
        return;
    }
    Encoding& e = *encoding_;
    if (e.holdsAudio && e.fd >= 0) {
        // A fragment cut short (a full disk) would end the file in a broken box: it ends after the last whole one.
        // fsync: on file systems that allocate late, a full disk shows only here.
        if (::ftruncate(e.fd, e.committedBytes) == 0) {
            ::fsync(e.fd);
        }
        e.inode = 0;
    }
    e.release();
    e.removeFile(location_.path);
    encoding_.reset();
}

void FfmpegWriter::fail(std::string description) {
    keepWhatIsWritten();
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
