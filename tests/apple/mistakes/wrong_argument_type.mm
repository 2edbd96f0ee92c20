// Must fail the type-check: the output type passed as a pointer where SCStreamOutputType is declared.
#include <ScreenCaptureKit/ScreenCaptureKit.h>

BOOL add(SCStream* stream, id<SCStreamOutput> output, dispatch_queue_t queue) {
    NSError* error = nil;
    return [stream addStreamOutput:output type:"audio" sampleHandlerQueue:queue error:&error];
}
