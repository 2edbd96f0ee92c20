// FFmpeg's libraries, loaded when the writer first needs them rather than before main.
//
// Debian's libavcodec and libavformat bring well over a hundred shared libraries with them (every codec and protocol
// the distribution packages, and what those need). Loading and relocating them takes 50-100 ms on a small machine,
// several times everything else a start does; linked as usual, all of it would come before main, and so before
// READY. Nor can it usefully overlap the start: while a library loads, the dynamic loader holds a lock that creating
// a thread also takes, and the start creates several. So the writer loads them once the start is over, when it opens
// its encoder (platform/linux/ffmpeg_writer.cpp); the capture's first audio waits on the sample queue meanwhile.
//
// The libraries are those of the FFmpeg the program was built against, named by their sonames, so the functions
// called are the ones the headers it was compiled with declare.
//
// Threads: loadedFfmpeg() from any thread; the first call loads, and calls made meanwhile wait for it. Nothing here
// writes to standard output or standard error, and FFmpeg's own logging is silenced before any other of its
// functions can run.
#pragma once

#include "platform/error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace qfx::platform::linux_backend {

// Every FFmpeg function the backend calls, by library.
#define QFX_AVUTIL_FUNCTIONS(X)                                                                                        \
    X(av_log_set_level)                                                                                                \
    X(av_strerror)                                                                                                     \
    X(av_malloc)                                                                                                       \
    X(av_free)                                                                                                         \
    X(av_freep)                                                                                                        \
    X(av_dict_set)                                                                                                     \
    X(av_dict_set_int)                                                                                                 \
    X(av_dict_free)                                                                                                    \
    X(av_opt_set_int)                                                                                                  \
    X(av_rescale_q)                                                                                                    \
    X(av_channel_layout_default)                                                                                       \
    X(av_channel_layout_compare)                                                                                       \
    X(av_channel_layout_copy)                                                                                          \
    X(av_channel_layout_uninit)                                                                                        \
    X(av_frame_alloc)                                                                                                  \
    X(av_frame_free)                                                                                                   \
    X(av_frame_get_buffer)                                                                                             \
    X(av_frame_make_writable)
#define QFX_SWRESAMPLE_FUNCTIONS(X)                                                                                    \
    X(swr_alloc_set_opts2)                                                                                             \
    X(swr_init)                                                                                                        \
    X(swr_free)                                                                                                        \
    X(swr_convert)                                                                                                     \
    X(swr_get_out_samples)                                                                                             \
    X(swr_get_delay)                                                                                                   \
    X(swr_set_compensation)
#define QFX_AVCODEC_FUNCTIONS(X)                                                                                       \
    X(avcodec_find_encoder_by_name)                                                                                    \
    X(avcodec_alloc_context3)                                                                                          \
    X(avcodec_open2)                                                                                                   \
    X(avcodec_free_context)                                                                                            \
    X(avcodec_send_frame)                                                                                              \
    X(avcodec_receive_packet)                                                                                          \
    X(avcodec_parameters_from_context)                                                                                 \
    X(avcodec_parameters_copy)                                                                                         \
    X(av_packet_alloc)                                                                                                 \
    X(av_packet_free)                                                                                                  \
    X(av_packet_unref)                                                                                                 \
    X(av_packet_move_ref)                                                                                              \
    X(av_packet_rescale_ts)
#define QFX_AVFORMAT_FUNCTIONS(X)                                                                                      \
    X(av_guess_format)                                                                                                 \
    X(av_find_input_format)                                                                                            \
    X(avformat_alloc_context)                                                                                          \
    X(avformat_alloc_output_context2)                                                                                  \
    X(avformat_free_context)                                                                                           \
    X(avformat_new_stream)                                                                                             \
    X(avformat_write_header)                                                                                           \
    X(avformat_open_input)                                                                                             \
    X(avformat_close_input)                                                                                            \
    X(av_read_frame)                                                                                                   \
    X(av_write_frame)                                                                                                  \
    X(av_write_trailer)                                                                                                \
    X(avio_alloc_context)                                                                                              \
    X(avio_context_free)                                                                                               \
    X(avio_flush)                                                                                                      \
    X(avio_seek)

/// The loaded functions, each under its own name: `ff().avcodec_open2(...)`.
struct FfmpegFunctions {
// NOLINTNEXTLINE(bugprone-macro-parentheses): a declaration, not an expression
#define QFX_FFMPEG_POINTER(name) decltype(&::name) name = nullptr;
    QFX_AVUTIL_FUNCTIONS(QFX_FFMPEG_POINTER)
    QFX_SWRESAMPLE_FUNCTIONS(QFX_FFMPEG_POINTER)
    QFX_AVCODEC_FUNCTIONS(QFX_FFMPEG_POINTER)
    QFX_AVFORMAT_FUNCTIONS(QFX_FFMPEG_POINTER)
#undef QFX_FFMPEG_POINTER
};

/// The functions, loaded on the first call; or an Error saying which library or function is missing and why.
Result<const FfmpegFunctions*> loadedFfmpeg();

/// The functions of a load that has succeeded: only for code that runs after loadedFfmpeg() returned them.
const FfmpegFunctions& ff();

} // namespace qfx::platform::linux_backend
