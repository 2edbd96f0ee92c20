// Declarations for type-checking the macOS backend on Linux (ScreenCaptureKit: SCShareableContent.h,
// SCContentFilter in SCStream.h, SCStreamConfiguration, SCStream, the two protocols): only what the backend uses,
// written from the macOS 26.0 SDK's headers.
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <os/availability.h>

NS_ASSUME_NONNULL_BEGIN

// SCShareableContent.h
API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCRunningApplication : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCWindow : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCDisplay : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCShareableContent : NSObject
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:(void (^)(SCShareableContent* _Nullable shareableContent,
                                                             NSError* _Nullable error))completionHandler;
@property(readonly) NSArray<SCDisplay*>* displays;
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

// SCStream.h
enum SCStreamOutputType : NSInteger {
    SCStreamOutputTypeScreen,
    SCStreamOutputTypeAudio API_AVAILABLE(macos(13.0), macCatalyst(18.2)),
    SCStreamOutputTypeMicrophone API_AVAILABLE(macos(15.0), macCatalyst(18.2))
} API_AVAILABLE(macos(12.3), macCatalyst(18.2));

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay*)display
          excludingApplications:(NSArray<SCRunningApplication*>*)applications
               exceptingWindows:(NSArray<SCWindow*>*)exceptingWindows;
@end

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCStreamConfiguration : NSObject
@property(nonatomic, assign) BOOL capturesAudio API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger sampleRate API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger channelCount API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) BOOL excludesCurrentProcessAudio API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger queueDepth;
@end

@class SCStream;

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@protocol SCStreamOutput <NSObject>
@optional
- (void)stream:(SCStream*)stream didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer ofType:(SCStreamOutputType)type;
@end

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@protocol SCStreamDelegate <NSObject>
@optional
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@end

API_AVAILABLE(macos(12.3), macCatalyst(18.2))
@interface SCStream : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
- (instancetype)initWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)streamConfig
                      delegate:(id<SCStreamDelegate> _Nullable)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                   type:(SCStreamOutputType)type
     sampleHandlerQueue:(dispatch_queue_t _Nullable)sampleHandlerQueue
                  error:(NSError**)error;
- (void)startCaptureWithCompletionHandler:(nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)stopCaptureWithCompletionHandler:(nullable void (^)(NSError* _Nullable error))completionHandler;
@end

NS_ASSUME_NONNULL_END
