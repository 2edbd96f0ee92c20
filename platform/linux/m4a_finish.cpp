#include "platform/linux/m4a_finish.h"

#include "platform/linux/av_error.h"
#include "platform/linux/ffmpeg_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <utility>

namespace qfx::platform::linux_backend {

namespace {

constexpr int kIoBufferSize = 256 * 1024;

// Reads the fragmented file through the writer's own descriptor, so that what is copied is the file it wrote even if
// the path has changed hands meanwhile (that case is refused before the rename).
struct Reader {
    int fd = -1;
    int64_t position = 0;
};

int readFile(void* opaque, uint8_t* data, int size) {
    auto* reader = static_cast<Reader*>(opaque);
    for (;;) {
        const ssize_t got = ::pread(reader->fd, data, static_cast<size_t>(size), reader->position);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return AVERROR(errno);
        }
        if (got == 0) {
            return AVERROR_EOF;
        }
        reader->position += got;
        return static_cast<int>(got);
    }
}

int64_t seekFile(void* opaque, int64_t offset, int whence) {
    auto* reader = static_cast<Reader*>(opaque);
    struct stat st {};
    if (::fstat(reader->fd, &st) != 0) {
        return AVERROR(errno);
    }
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return st.st_size;
    case SEEK_SET:
        reader->position = offset;
        break;
    case SEEK_CUR:
        reader->position += offset;
        break;
    case SEEK_END:
        reader->position = st.st_size + offset;
        break;
    default:
        return AVERROR(EINVAL);
    }
    return reader->position;
}

// The new file as it is written. Its data is sent to the disk as it goes (sync_file_range), so that the flush before
// the rename finds little left to write: for an hour of audio that halves the finish.
struct Output {
    int fd = -1;
    int64_t unsentFrom = 0;
};

constexpr int64_t kSendEvery = 8 << 20;

int writeFile(void* opaque, uint8_t* data, int size) {
    auto* output = static_cast<Output*>(opaque);
    const int fd = output->fd;
    if (const int result = writeAll(fd, data, size); result < 0) {
        return result;
    }
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position - output->unsentFrom >= kSendEvery) {
        // Only starts the writing; its failures show at the fsync.
        ::sync_file_range(fd, output->unsentFrom, position - output->unsentFrom, SYNC_FILE_RANGE_WRITE);
        output->unsentFrom = position;
    }
    return size;
}

int64_t seekWritten(void* opaque, int64_t offset, int whence) {
    const int fd = static_cast<const Output*>(opaque)->fd;
    if ((whence & AVSEEK_SIZE) != 0) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

AVIOContext* makeIo(void* opaque, bool writable) {
    auto* buffer = static_cast<unsigned char*>(ff().av_malloc(kIoBufferSize));
    AVIOContext* io = buffer == nullptr ? nullptr
                      : writable
                          ? ff().avio_alloc_context(buffer, kIoBufferSize, 1, opaque, nullptr, writeFile, seekWritten)
                          : ff().avio_alloc_context(buffer, kIoBufferSize, 0, opaque, readFile, nullptr, seekFile);
    if (io == nullptr) {
        ff().av_free(buffer);
    }
    return io;
}

void freeIo(AVIOContext** io) {
    if (*io != nullptr) {
        ff().av_freep(&(*io)->buffer);
        ff().avio_context_free(io);
    }
}

// The new file, written beside the old one. Unnamed (O_TMPFILE) where the file system allows it, so that a kill while
// it is written leaves nothing behind; it gets a hidden name only for the instant before the rename.
class Replacement {
public:
    Replacement(std::string path, mode_t mode) : path_(std::move(path)) {
        const size_t slash = path_.find_last_of('/');
        directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
        base_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        directoryFd_ = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directoryFd_ < 0) {
            error_ = errno;
            return;
        }
        output_.fd = ::openat(directoryFd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (output_.fd < 0) {
            std::string pattern = hiddenName() + "XXXXXX";
            output_.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
            if (output_.fd < 0) {
                error_ = errno;
                return;
            }
            name_ = std::move(pattern);
        }
        if (::fchmod(output_.fd, mode) != 0) { // the umask, or mkostemp's 0600, would otherwise set the mode
            error_ = errno;
        }
    }
    ~Replacement() {
        if (output_.fd >= 0) {
            ::close(output_.fd);
        }
        if (!name_.empty()) {
            ::unlink(name_.c_str());
        }
        if (directoryFd_ >= 0) {
            ::close(directoryFd_);
        }
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    [[nodiscard]] int error() const { return error_; }
    [[nodiscard]] Output* output() { return &output_; }

    // Flushes the written file to disk, names it, renames it over `path_` if that is still `expected`, and flushes the
    // directory. Returns 0 or an errno value.
    int commit(dev_t device, ino_t inode) {
        if (::fsync(output_.fd) != 0) {
            return errno;
        }
        if (name_.empty()) {
            std::random_device random;
            for (int attempt = 0; attempt < 8 && name_.empty(); ++attempt) {
                char suffix[16];
                std::snprintf(suffix, sizeof suffix, "%08x", random());
                std::string candidate = hiddenName() + suffix;
                const std::string self = "/proc/self/fd/" + std::to_string(output_.fd);
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    name_ = std::move(candidate);
                } else if (errno != EEXIST) {
                    return errno;
                }
            }
            if (name_.empty()) {
                return EEXIST;
            }
        }
        struct stat st {};
        if (::lstat(path_.c_str(), &st) != 0) {
            return errno;
        }
        if (st.st_dev != device || st.st_ino != inode) {
            return EEXIST; // someone else's file is at the path now: it is not ours to replace
        }
        if (::rename(name_.c_str(), path_.c_str()) != 0) {
            return errno;
        }
        name_.clear();
        const int fd = std::exchange(output_.fd, -1);
        if (::close(fd) != 0 && errno != EINTR) {
            return errno;
        }
        return ::fsync(directoryFd_) == 0 || errno == EINVAL ? 0 : errno;
    }

private:
    [[nodiscard]] std::string hiddenName() const { return directory_ + "/." + base_ + "."; }

    std::string path_;
    std::string directory_;
    std::string base_;
    std::string name_; // the temporary name, while there is one
    int directoryFd_ = -1;
    Output output_;
    int error_ = 0;
};

// FFmpeg's state for the copy.
struct Remux {
    Reader reader;
    AVIOContext* inIo = nullptr;
    AVFormatContext* in = nullptr;
    AVIOContext* outIo = nullptr;
    AVFormatContext* out = nullptr;
    AVPacket* packet = nullptr;
    AVPacket* held = nullptr;

    Remux() = default;
    Remux(const Remux&) = delete;
    Remux& operator=(const Remux&) = delete;
    ~Remux() {
        ff().av_packet_free(&packet);
        ff().av_packet_free(&held);
        ff().avformat_close_input(&in);
        freeIo(&inIo);
        if (out != nullptr) {
            out->pb = nullptr;
            ff().avformat_free_context(out);
        }
        freeIo(&outIo);
    }
};

// Copies every packet, shifted so that the priming lies before time zero (which makes the muxer write the edit list
// that hides it), and ends the last one where the audio ends. Durations are taken from the distance to the next
// packet: a fragmented file's index need not carry them. Returns 0 or an FFmpeg error.
int copyPackets(Remux& r, int64_t primingFrames, int64_t frameCount) {
    AVStream* source = r.in->streams[0];
    AVStream* target = r.out->streams[0];
    std::optional<int64_t> first;
    bool holding = false;
    int result = 0;
    while ((result = ff().av_read_frame(r.in, r.packet)) >= 0) {
        if (r.packet->stream_index != source->index) {
            ff().av_packet_unref(r.packet);
            continue;
        }
        const int64_t at = ff().av_rescale_q(r.packet->dts, source->time_base, target->time_base);
        first = first.value_or(at);
        r.packet->dts = at - *first - primingFrames;
        r.packet->pts = r.packet->dts;
        r.packet->duration = ff().av_rescale_q(r.packet->duration, source->time_base, target->time_base);
        r.packet->pos = -1;
        r.packet->stream_index = 0;
        if (holding) {
            r.held->duration = r.packet->dts - r.held->dts;
            if ((result = ff().av_write_frame(r.out, r.held)) < 0) {
                return result;
            }
        }
        ff().av_packet_unref(r.held);
        ff().av_packet_move_ref(r.held, r.packet);
        holding = true;
    }
    if (result != AVERROR_EOF) {
        return result;
    }
    if (!holding) {
        return 0;
    }
    // The encoder padded the last frame; the audio itself ends at frameCount.
    if (frameCount > r.held->dts) {
        r.held->duration = frameCount - r.held->dts;
    } else if (r.held->duration <= 0) {
        r.held->duration = source->codecpar->frame_size > 0 ? source->codecpar->frame_size : 1024;
    }
    return ff().av_write_frame(r.out, r.held);
}

} // namespace

MaybeError finishAsM4a(const FragmentedFile& file, int64_t primingFrames, int64_t frameCount) {
    if (const Result<const FfmpegFunctions*> ffmpeg = loadedFfmpeg(); !ffmpeg.ok()) {
        return ffmpeg.error();
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) {
        return Error{describeErrno(errno)};
    }
    Replacement replacement(file.path, st.st_mode & 07777);
    if (replacement.error() != 0) {
        return Error{describeErrno(replacement.error())};
    }

    Remux r;
    r.reader.fd = file.fd;
    r.inIo = makeIo(&r.reader, false);
    r.in = ff().avformat_alloc_context();
    r.packet = ff().av_packet_alloc();
    r.held = ff().av_packet_alloc();
    r.outIo = makeIo(replacement.output(), true);
    const AVOutputFormat* container = ff().av_guess_format("ipod", nullptr, nullptr); // MPEG-4 audio, brand "M4A "
    if (r.inIo == nullptr || r.in == nullptr || r.packet == nullptr || r.held == nullptr || r.outIo == nullptr ||
        container == nullptr || ff().avformat_alloc_output_context2(&r.out, container, nullptr, nullptr) < 0) {
        return Error{describeErrno(ENOMEM)};
    }
    r.in->pb = r.inIo;
    r.in->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (const int result = ff().avformat_open_input(&r.in, nullptr, ff().av_find_input_format("mp4"), nullptr);
        result < 0) {
        return Error{describeAvError(result)};
    }
    if (r.in->nb_streams != 1 || r.in->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
        return Error{describeAvError(AVERROR_INVALIDDATA)};
    }
    const AVCodecParameters* parameters = r.in->streams[0]->codecpar;
    AVStream* stream = ff().avformat_new_stream(r.out, nullptr);
    if (stream == nullptr) {
        return Error{describeErrno(ENOMEM)};
    }
    if (const int result = ff().avcodec_parameters_copy(stream->codecpar, parameters); result < 0) {
        return Error{describeAvError(result)};
    }
    stream->codecpar->codec_tag = 0;
    if (stream->codecpar->codec_id == AV_CODEC_ID_AAC && stream->codecpar->frame_size == 0) {
        stream->codecpar->frame_size = 1024; // AAC-LC's; a fragmented file's index does not carry it
    }
    stream->time_base = AVRational{1, parameters->sample_rate};
    r.out->pb = r.outIo;
    r.out->flush_packets = 0; // else a custom output is flushed at every packet: a write and a seek each
    // The edit list's length is counted in the movie's time scale: in frames, it ends exactly with the audio.
    AVDictionary* options = nullptr;
    ff().av_dict_set_int(&options, "movie_timescale", parameters->sample_rate, 0);
    int result = ff().avformat_write_header(r.out, &options);
    ff().av_dict_free(&options);
    if (result >= 0) {
        result = copyPackets(r, primingFrames, frameCount);
    }
    if (result >= 0) {
        result = ff().av_write_trailer(r.out);
    }
    if (result >= 0) {
        ff().avio_flush(r.outIo);
        result = r.outIo->error;
    }
    if (result < 0) {
        return Error{describeAvError(result)};
    }
    if (const int error = replacement.commit(file.device, file.inode); error != 0) {
        return Error{describeErrno(error)};
    }
    return std::nullopt;
}

} // namespace qfx::platform::linux_backend
