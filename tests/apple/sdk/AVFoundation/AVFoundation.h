// Declarations for type-checking the macOS backend on Linux (AVFoundation: AVMediaFormat.h, AVAssetWriter.h,
// AVAssetWriterInput.h, AVFAudio/AVAudioSettings.h, and for the writer's framework test AVFAudio/AVAudioTypes.h,
// AVAudioFormat.h, AVAudioBuffer.h, AVAudioFile.h): only what those use, written from the SDK's headers.
#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <os/availability.h>

#define AVF_EXPORT extern "C"
#define AV_INIT_UNAVAILABLE                                                                                            \
    -(instancetype)init NS_UNAVAILABLE;                                                                                \
    +(instancetype) new NS_UNAVAILABLE;

NS_ASSUME_NONNULL_BEGIN

// AVMediaFormat.h
typedef NSString* AVMediaType NS_EXTENSIBLE_STRING_ENUM;
typedef NSString* AVFileType NS_EXTENSIBLE_STRING_ENUM;
AVF_EXPORT AVMediaType const AVMediaTypeAudio API_AVAILABLE(macos(10.7), ios(4.0), tvos(9.0), watchos(1.0));
AVF_EXPORT AVFileType const AVFileTypeAppleM4A API_AVAILABLE(macos(10.7), ios(4.0), tvos(9.0), watchos(1.0));

// AVFAudio/AVAudioSettings.h
extern NSString* const AVFormatIDKey API_AVAILABLE(macos(10.7), ios(3.0), watchos(3.0), tvos(9.0));
extern NSString* const AVSampleRateKey API_AVAILABLE(macos(10.7), ios(3.0), watchos(3.0), tvos(9.0));
extern NSString* const AVNumberOfChannelsKey API_AVAILABLE(macos(10.7), ios(3.0), watchos(3.0), tvos(9.0));
extern NSString* const AVEncoderBitRateKey API_AVAILABLE(macos(10.7), ios(3.0), watchos(3.0), tvos(9.0));

// AVAssetWriterInput.h
API_AVAILABLE(macos(10.7), ios(4.1), tvos(9.0)) API_UNAVAILABLE(watchos) @interface AVAssetWriterInput : NSObject
AV_INIT_UNAVAILABLE
- (instancetype)initWithMediaType:(AVMediaType)mediaType
                   outputSettings:(nullable NSDictionary<NSString*, id>*)outputSettings;
@property(nonatomic, readonly, getter=isReadyForMoreMediaData) BOOL readyForMoreMediaData;
@property(nonatomic) BOOL expectsMediaDataInRealTime;
- (BOOL)appendSampleBuffer:(CMSampleBufferRef)sampleBuffer;
- (void)markAsFinished;
@end

// AVAssetWriter.h
enum AVAssetWriterStatus : NSInteger {
    AVAssetWriterStatusUnknown = 0,
    AVAssetWriterStatusWriting = 1,
    AVAssetWriterStatusCompleted = 2,
    AVAssetWriterStatusFailed = 3,
    AVAssetWriterStatusCancelled = 4
};

API_AVAILABLE(macos(10.7), ios(4.1), tvos(9.0)) API_UNAVAILABLE(watchos) @interface AVAssetWriter : NSObject
AV_INIT_UNAVAILABLE
- (nullable instancetype)initWithURL:(NSURL*)outputURL
                            fileType:(AVFileType)outputFileType
                               error:(NSError* _Nullable* _Nullable)outError NS_DESIGNATED_INITIALIZER;
@property(readonly) AVAssetWriterStatus status;
@property(readonly, nullable) NSError* error;
- (BOOL)canAddInput:(AVAssetWriterInput*)input;
- (void)addInput:(AVAssetWriterInput*)input;
- (BOOL)startWriting;
- (void)startSessionAtSourceTime:(CMTime)startTime;
- (void)cancelWriting;
- (void)finishWritingWithCompletionHandler:(void (^)(void))handler API_AVAILABLE(macos(10.9), ios(6.0), tvos(9.0))
                                               API_UNAVAILABLE(watchos);
@end

// AVFAudio/AVAudioTypes.h
typedef int64_t AVAudioFramePosition;
typedef uint32_t AVAudioFrameCount;
typedef uint32_t AVAudioChannelCount;

// AVFAudio/AVAudioFormat.h (the class also adopts NSSecureCoding, not declared here)
API_AVAILABLE(macos(10.10), ios(8.0), watchos(2.0), tvos(9.0)) @interface AVAudioFormat : NSObject
@property(nonatomic, readonly) double sampleRate;
@property(nonatomic, readonly) AVAudioChannelCount channelCount;
@property(nonatomic, readonly, getter=isInterleaved) BOOL interleaved;
@end

// AVFAudio/AVAudioBuffer.h (AVAudioBuffer also adopts NSCopying and NSMutableCopying, not declared here)
API_AVAILABLE(macos(10.10), ios(8.0), watchos(2.0), tvos(9.0)) @interface AVAudioBuffer : NSObject
@property(nonatomic, readonly) AVAudioFormat* format;
@end

API_AVAILABLE(macos(10.10), ios(8.0), watchos(2.0), tvos(9.0)) @interface AVAudioPCMBuffer : AVAudioBuffer
- (nullable instancetype)initWithPCMFormat:(AVAudioFormat*)format
                             frameCapacity:(AVAudioFrameCount)frameCapacity NS_DESIGNATED_INITIALIZER;
@property(nonatomic, readonly) AVAudioFrameCount frameCapacity;
@property(nonatomic) AVAudioFrameCount frameLength;
// The SDK spells these __nonnull and __nullable (its own cdefs); glibc's __nonnull means something else.
@property(nonatomic, readonly) float* _Nonnull const* _Nullable floatChannelData;
@end

// AVFAudio/AVAudioFile.h
API_AVAILABLE(macos(10.10), ios(8.0), watchos(2.0), tvos(9.0)) @interface AVAudioFile : NSObject
- (instancetype)init NS_UNAVAILABLE;
- (nullable instancetype)initForReading:(NSURL*)fileURL error:(NSError**)outError;
@property(nonatomic, readonly) AVAudioFormat* processingFormat;
@property(nonatomic, readonly) AVAudioFramePosition length;
- (BOOL)readIntoBuffer:(AVAudioPCMBuffer*)buffer error:(NSError**)outError;
@end

NS_ASSUME_NONNULL_END
