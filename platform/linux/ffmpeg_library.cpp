#include "platform/linux/ffmpeg_library.h"

#include <dlfcn.h>

#include <string>

namespace qfx::platform::linux_backend {
namespace {

#define QFX_SONAME(library, major) "lib" library ".so." QFX_STRINGIFY(major)
#define QFX_STRINGIFY(text) QFX_STRINGIFY_(text)
#define QFX_STRINGIFY_(text) #text

// Opens one library; RTLD_LAZY leaves the binding of its own calls to their first use.
void* open(const char* soname, MaybeError& error) {
    void* handle = error ? nullptr : ::dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr && !error) {
        const char* reason = ::dlerror(); // NOLINT(concurrency-mt-unsafe): glibc keeps it per thread
        error = Error{std::string("Cannot load FFmpeg (") + (reason != nullptr ? reason : soname) + ")"};
    }
    return handle;
}

template <class Function>
void find(void* library, const char* name, Function& function, MaybeError& error) {
    if (error) {
        return;
    }
    function = reinterpret_cast<Function>(::dlsym(library, name)); // NOLINT: how dlsym's results are used
    if (function == nullptr) {
        error = Error{std::string("Cannot load FFmpeg (") + name + " is missing)"};
    }
}

void load(FfmpegFunctions& f, MaybeError& error) {
    // Each library after those it depends on, so that a missing one is named as itself.
    void* avutil = open(QFX_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), error);
    void* swresample = open(QFX_SONAME("swresample", LIBSWRESAMPLE_VERSION_MAJOR), error);
    void* avcodec = open(QFX_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR), error);
    void* avformat = open(QFX_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR), error);
#define QFX_FIND(name) find(library, #name, f.name, error);
    void* library = avutil;
    QFX_AVUTIL_FUNCTIONS(QFX_FIND)
    library = swresample;
    QFX_SWRESAMPLE_FUNCTIONS(QFX_FIND)
    library = avcodec;
    QFX_AVCODEC_FUNCTIONS(QFX_FIND)
    library = avformat;
    QFX_AVFORMAT_FUNCTIONS(QFX_FIND)
#undef QFX_FIND
    if (!error) {
        f.av_log_set_level(AV_LOG_QUIET);
    }
}

struct Load {
    FfmpegFunctions functions;
    MaybeError error;
};

const Load& theLoad() {
    static const Load loaded = [] {
        Load result;
        load(result.functions, result.error);
        return result;
    }();
    return loaded;
}

} // namespace

Result<const FfmpegFunctions*> loadedFfmpeg() {
    const Load& loaded = theLoad();
    if (loaded.error) {
        return *loaded.error;
    }
    return &loaded.functions;
}

const FfmpegFunctions& ff() {
    return theLoad().functions;
}

} // namespace qfx::platform::linux_backend
