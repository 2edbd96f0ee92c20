// Must fail the type-check: CoreMedia cannot subdivide non-interleaved audio (what the capture delivers), so this
// way of trimming a buffer is not declared, and using it again is caught here rather than on a Mac.
#include <CoreMedia/CoreMedia.h>

OSStatus trim(CMSampleBufferRef buffer, CMSampleBufferRef _Nullable* _Nonnull rest) {
    return CMSampleBufferCopySampleBufferForRange(nullptr, buffer, CFRangeMake(1, 1), rest);
}
