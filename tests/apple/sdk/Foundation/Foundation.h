// Declarations for type-checking the macOS backend on Linux (Foundation): only what the backend uses, written
// from the SDK's headers.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/NSObject.h>
#include <os/availability.h>

#define NS_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define NS_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
#define NS_DESIGNATED_INITIALIZER __attribute__((objc_designated_initializer))
#define NS_UNAVAILABLE __attribute__((unavailable))
#define NS_SWIFT_NAME(...)
#define NS_SWIFT_ASYNC(...)
#define NS_SWIFT_ASYNC_NAME(...)
#define NS_EXTENSIBLE_STRING_ENUM
#define NS_RETURNS_INNER_POINTER __attribute__((objc_returns_inner_pointer))

typedef long NSInteger;
typedef unsigned long NSUInteger;

NS_ASSUME_NONNULL_BEGIN

@class NSString;
typedef struct _NSZone NSZone;

@protocol NSCopying
- (id)copyWithZone:(nullable NSZone*)zone;
@end

// NSEnumerator.h
typedef struct {
    unsigned long state;
    id __unsafe_unretained _Nullable* _Nullable itemsPtr;
    unsigned long* _Nullable mutationsPtr;
    unsigned long extra[5];
} NSFastEnumerationState;

@protocol NSFastEnumeration
- (NSUInteger)countByEnumeratingWithState:(NSFastEnumerationState*)state
                                  objects:(id __unsafe_unretained _Nullable[_Nonnull])buffer
                                    count:(NSUInteger)len;
@end

// NSString.h
@interface NSString : NSObject <NSCopying>
+ (nullable instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
@property(nullable, readonly) const char* UTF8String NS_RETURNS_INNER_POINTER;
@end

// NSArray.h
@interface NSArray<__covariant ObjectType> : NSObject <NSFastEnumeration>
+ (instancetype)arrayWithObjects:(const ObjectType _Nonnull[_Nonnull])objects count:(NSUInteger)cnt;
@end

// NSDictionary.h
@interface NSDictionary<__covariant KeyType, __covariant ObjectType> : NSObject <NSFastEnumeration>
@end

@interface NSMutableDictionary<KeyType, ObjectType> : NSDictionary <KeyType, ObjectType>
+ (instancetype)dictionaryWithCapacity:(NSUInteger)numItems;
- (void)setObject:(ObjectType)anObject forKey:(KeyType<NSCopying>)aKey;
@end

// NSValue.h
@interface NSValue : NSObject
@end

@interface NSNumber : NSValue
+ (NSNumber*)numberWithUnsignedInt:(unsigned int)value;
+ (NSNumber*)numberWithLongLong:(long long)value;
@end

// NSURL.h
@interface NSURL : NSObject
+ (NSURL*)fileURLWithPath:(NSString*)path isDirectory:(BOOL)isDir API_AVAILABLE(macos(10.5), ios(2.0));
@end

// NSError.h
@interface NSError : NSObject
@property(readonly, copy) NSString* localizedDescription;
@end

// NSException.h
@interface NSException : NSObject
@property(nullable, readonly, copy) NSString* reason;
@end

// NSThread.h
@interface NSThread : NSObject
@property(class, readonly) BOOL isMainThread API_AVAILABLE(macos(10.5), ios(2.0));
@end

NS_ASSUME_NONNULL_END
