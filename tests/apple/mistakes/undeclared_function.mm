// Must fail the type-check: a CoreMedia function the declarations do not have (the backend does not use it).
#include <CoreMedia/CoreMedia.h>

CMTime duration(CMSampleBufferRef buffer) {
    return CMSampleBufferGetDuration(buffer);
}
