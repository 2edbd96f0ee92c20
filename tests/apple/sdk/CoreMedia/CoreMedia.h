// Declarations for type-checking the macOS backend on Linux (CoreMedia: CMTime.h, CMBlockBuffer.h,
// CMFormatDescription.h, CMSampleBuffer.h, CMSync.h): only what the backend and its framework test use, written
// from the SDK's headers.
#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>
#include <os/availability.h>
#include <stddef.h>
#include <stdint.h>

#define CM_EXPORT extern "C"
#define CM_NULLABLE _Nullable
#define CM_NONNULL _Nonnull
#define CM_RETURNS_RETAINED_PARAMETER __attribute__((cf_returns_retained))

// CMBase.h
typedef CFIndex CMItemCount;

// CMTime.h (#pragma pack(push, 4) in the SDK)
#pragma pack(push, 4)
typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef int64_t CMTimeEpoch;
typedef uint32_t CMTimeFlags; // CF_OPTIONS(uint32_t, CMTimeFlags): in C++, the integer type itself
typedef struct {
    CMTimeValue value;
    CMTimeScale timescale;
    CMTimeFlags flags;
    CMTimeEpoch epoch;
} CMTime;
#pragma pack(pop)

CM_EXPORT CMTime CMTimeMake(int64_t value, int32_t timescale) API_AVAILABLE(macos(10.7), ios(4.0));
CM_EXPORT CMTime CMTimeAdd(CMTime lhs, CMTime rhs) API_AVAILABLE(macos(10.7), ios(4.0));
CM_EXPORT CMTime CMTimeSubtract(CMTime lhs, CMTime rhs) API_AVAILABLE(macos(10.7), ios(4.0));

// CMBlockBuffer.h
typedef uint32_t CMBlockBufferFlags;
enum : CMBlockBufferFlags {
    kCMBlockBufferAssureMemoryNowFlag = (1L << 0),
};
typedef struct __attribute__((objc_bridge(id))) OpaqueCMBlockBuffer* CMBlockBufferRef;
typedef struct CMBlockBufferCustomBlockSource CMBlockBufferCustomBlockSource;

CM_EXPORT OSStatus CMBlockBufferCreateWithMemoryBlock(
    CFAllocatorRef CM_NULLABLE structureAllocator, void* CM_NULLABLE memoryBlock, size_t blockLength,
    CFAllocatorRef CM_NULLABLE blockAllocator, const CMBlockBufferCustomBlockSource* CM_NULLABLE customBlockSource,
    size_t offsetToData, size_t dataLength, CMBlockBufferFlags flags,
    CM_RETURNS_RETAINED_PARAMETER CMBlockBufferRef CM_NULLABLE* CM_NONNULL blockBufferOut)
    API_AVAILABLE(macos(10.7), ios(4.0));

CM_EXPORT OSStatus CMBlockBufferCreateWithBufferReference(
    CFAllocatorRef CM_NULLABLE structureAllocator, CMBlockBufferRef CM_NONNULL bufferReference, size_t offsetToData,
    size_t dataLength, CMBlockBufferFlags flags,
    CM_RETURNS_RETAINED_PARAMETER CMBlockBufferRef CM_NULLABLE* CM_NONNULL blockBufferOut)
    API_AVAILABLE(macos(10.7), ios(4.0));

// CMBlockBuffer.h: the pointer may be null (then not returned); a block made with
// kCMBlockBufferAssureMemoryNowFlag is contiguous, so the pointer reaches all of it.
CM_EXPORT OSStatus CMBlockBufferGetDataPointer(CMBlockBufferRef CM_NONNULL theBuffer, size_t offset,
                                               size_t* CM_NULLABLE lengthAtOffsetOut,
                                               size_t* CM_NULLABLE totalLengthOut,
                                               char* CM_NULLABLE* CM_NULLABLE dataPointerOut)
    API_AVAILABLE(macos(10.7), ios(4.0));

CM_EXPORT OSStatus CMBlockBufferFillDataBytes(char fillByte, CMBlockBufferRef CM_NONNULL destinationBuffer,
                                              size_t offsetIntoDestination, size_t dataLength)
    API_AVAILABLE(macos(10.7), ios(4.0));

// CMFormatDescription.h
typedef const struct __attribute__((objc_bridge(id))) opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;

CM_EXPORT OSStatus CMAudioFormatDescriptionCreate(
    CFAllocatorRef CM_NULLABLE allocator, const AudioStreamBasicDescription* CM_NONNULL asbd, size_t layoutSize,
    const AudioChannelLayout* CM_NULLABLE layout, size_t magicCookieSize, const void* CM_NULLABLE magicCookie,
    CFDictionaryRef CM_NULLABLE extensions,
    CM_RETURNS_RETAINED_PARAMETER CMAudioFormatDescriptionRef CM_NULLABLE* CM_NONNULL formatDescriptionOut)
    API_AVAILABLE(macos(10.7), ios(4.0));

CM_EXPORT const AudioStreamBasicDescription* CM_NULLABLE CMAudioFormatDescriptionGetStreamBasicDescription(
    CMAudioFormatDescriptionRef CM_NONNULL desc) API_AVAILABLE(macos(10.7), ios(4.0));

// CMSampleBuffer.h
typedef struct __attribute__((objc_bridge(id))) opaqueCMSampleBuffer* CMSampleBufferRef;

CM_EXPORT Boolean CMSampleBufferIsValid(CMSampleBufferRef CM_NONNULL sbuf) API_AVAILABLE(macos(10.7), ios(4.0));
CM_EXPORT Boolean CMSampleBufferDataIsReady(CMSampleBufferRef CM_NONNULL sbuf) API_AVAILABLE(macos(10.7), ios(4.0));
CM_EXPORT CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef CM_NONNULL sbuf)
    API_AVAILABLE(macos(10.7), ios(4.0));
CM_EXPORT CMItemCount CMSampleBufferGetNumSamples(CMSampleBufferRef CM_NONNULL sbuf)
    API_AVAILABLE(macos(10.7), ios(4.0));
CM_EXPORT CMFormatDescriptionRef CM_NULLABLE CMSampleBufferGetFormatDescription(CMSampleBufferRef CM_NONNULL sbuf)
    API_AVAILABLE(macos(10.7), ios(4.0));

CM_EXPORT OSStatus CMAudioSampleBufferCreateReadyWithPacketDescriptions(
    CFAllocatorRef CM_NULLABLE allocator, CMBlockBufferRef CM_NONNULL dataBuffer,
    CMFormatDescriptionRef CM_NONNULL formatDescription, CMItemCount numSamples, CMTime presentationTimeStamp,
    const AudioStreamPacketDescription* CM_NULLABLE packetDescriptions,
    CM_RETURNS_RETAINED_PARAMETER CMSampleBufferRef CM_NULLABLE* CM_NONNULL sampleBufferOut)
    API_AVAILABLE(macos(10.7), ios(4.0));

// CMSampleBuffer.h: copies `numFrames` frames from `frameOffset` on into the list, which must have one buffer per
// plane of the buffer's format (one per channel when non-interleaved), each large enough. PCM only. (The SDK's
// CMSampleBufferCopySampleBufferForRange is left out on purpose: it cannot subdivide non-interleaved audio.)
CM_EXPORT OSStatus CMSampleBufferCopyPCMDataIntoAudioBufferList(CMSampleBufferRef CM_NONNULL sbuf, int32_t frameOffset,
                                                                int32_t numFrames,
                                                                AudioBufferList* CM_NONNULL bufferList)
    API_AVAILABLE(macos(10.9), ios(7.0));

// CMSync.h
typedef struct __attribute__((objc_bridge(id))) OpaqueCMClock* CMClockRef;

CM_EXPORT CMClockRef CM_NONNULL CMClockGetHostTimeClock(void) API_AVAILABLE(macos(10.8), ios(6.0));
CM_EXPORT CMTime CMClockGetTime(CMClockRef CM_NONNULL clock) API_AVAILABLE(macos(10.8), ios(6.0));
