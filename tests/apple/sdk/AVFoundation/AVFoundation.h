// Declarations for type-checking the macOS backend on Linux (AVFoundation: AVMediaFormat.h, AVAssetWriter.h,
// AVAssetWriterInput.h, AVFAudio/AVAudioSettings.h): only what the backend uses, written from the SDK's headers.
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

NS_ASSUME_NONNULL_END
