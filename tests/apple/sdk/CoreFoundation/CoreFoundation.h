// Declarations for type-checking the macOS backend on Linux (CoreFoundation): only what the backend uses.
#pragma once

#include <MacTypes.h>
#include <os/availability.h>
#include <stddef.h>

#define CF_EXPORT extern "C"

typedef signed long CFIndex;
typedef double CFTimeInterval;
typedef const void* CFTypeRef;

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

inline CFRange CFRangeMake(CFIndex loc, CFIndex len) {
    CFRange range;
    range.location = loc;
    range.length = len;
    return range;
}

typedef const struct __attribute__((objc_bridge(id))) __CFAllocator* CFAllocatorRef;
CF_EXPORT const CFAllocatorRef kCFAllocatorDefault;

typedef const struct __attribute__((objc_bridge(NSString))) __CFString* CFStringRef;
typedef const struct __attribute__((objc_bridge(NSDictionary))) __CFDictionary* CFDictionaryRef;

CF_EXPORT void CFRelease(CFTypeRef cf);

// CFRunLoop.h
typedef CFStringRef CFRunLoopMode;
CF_EXPORT const CFRunLoopMode kCFRunLoopDefaultMode;

enum CFRunLoopRunResult : SInt32 {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4
};

CF_EXPORT CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                                Boolean returnAfterSourceHandled);
