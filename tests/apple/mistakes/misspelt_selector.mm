// Must fail the type-check: a selector that AVAssetWriterInput does not declare (one letter short).
#include <AVFoundation/AVFoundation.h>

bool append(AVAssetWriterInput* input, CMSampleBufferRef buffer) {
    return [input appendSampleBufer:buffer];
}
