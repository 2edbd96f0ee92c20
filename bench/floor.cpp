// The memory floor: a program that loads the same shared libraries as the tool and does nothing else, so that the
// tool's figures can be read against what merely loading libpulse and FFmpeg costs. It touches one symbol of each
// library (so that no linker drops one as unused), writes READY, and waits for a line or the end of standard input,
// exactly as the tool is driven; bench/compare.py measures it like the tool.
//
//   qfx_floor           the libraries, nothing else
//   qfx_floor encode    also opens the AAC encoder as the tool does and encodes two seconds of noise before READY,
//                       so that the encoder's code, tables and state are resident: the floor of any tool that
//                       encodes with it
//
// Built a second time with libpulse alone (QFX_FLOOR_PULSE_ONLY): what the tool would load before READY if it
// opened FFmpeg's libraries only later.
#ifndef QFX_FLOOR_PULSE_ONLY
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#ifdef QFX_FLOOR_SWRESAMPLE
#include <libswresample/swresample.h>
#endif
}
#endif
#include <pulse/version.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#ifndef QFX_FLOOR_PULSE_ONLY
bool encodeNoise() {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (context == nullptr) {
        return false;
    }
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = 48000;
    av_channel_layout_default(&context->ch_layout, 2);
    context->bit_rate = 192000;
    context->time_base = AVRational{1, 48000};
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    bool ok = frame != nullptr && packet != nullptr && avcodec_open2(context, codec, nullptr) >= 0;
    if (ok) {
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = 48000;
        frame->nb_samples = context->frame_size;
        ok = av_channel_layout_copy(&frame->ch_layout, &context->ch_layout) >= 0 && av_frame_get_buffer(frame, 0) >= 0;
    }
    unsigned noise = 1;
    for (int64_t pts = 0; ok && pts < int64_t{2} * 48000; pts += context->frame_size) {
        ok = av_frame_make_writable(frame) >= 0;
        for (int channel = 0; ok && channel < 2; ++channel) {
            auto* plane = reinterpret_cast<float*>(frame->extended_data[channel]);
            for (int i = 0; i < context->frame_size; ++i) {
                noise = noise * 1103515245U + 12345U;
                plane[i] = (static_cast<float>(noise >> 16U) / 32768.0F - 1.0F) * 0.3F;
            }
        }
        frame->pts = pts;
        ok = ok && avcodec_send_frame(context, frame) >= 0;
        while (ok && avcodec_receive_packet(context, packet) == 0) {
            av_packet_unref(packet);
        }
    }
    // Kept open, as the tool keeps its encoder while it records.
    return ok;
}
#endif

} // namespace

int main(int argc, char** argv) {
    // The versions are summed only so that each call has a use; the value means nothing.
    unsigned sum = static_cast<unsigned>(pa_get_library_version() != nullptr);
#ifndef QFX_FLOOR_PULSE_ONLY
    sum += avcodec_version() + avformat_version() + avutil_version();
#ifdef QFX_FLOOR_SWRESAMPLE
    sum += swresample_version();
#endif
    if (argc > 1 && std::strcmp(argv[1], "encode") == 0 && !encodeNoise()) {
        std::fputs("qfx_floor: the AAC encoder did not open\n", stderr);
        return EXIT_FAILURE;
    }
#else
    (void)argc;
    (void)argv;
#endif
    if (sum == 0) {
        return EXIT_FAILURE;
    }
    std::fputs("READY\n", stdout);
    std::fflush(stdout);
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
    return EXIT_SUCCESS;
}
