// Must fail the type-check: a class method that SCShareableContent does not declare.
#include <ScreenCaptureKit/ScreenCaptureKit.h>

void query() {
    [SCShareableContent getShareableContentExcludingDesktopWindow:NO
                                              onScreenWindowsOnly:NO
                                                completionHandler:^(SCShareableContent* content, NSError* error) {
                                                  (void)content;
                                                  (void)error;
                                                }];
}
