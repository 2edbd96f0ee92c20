// Declarations for type-checking the macOS backend on Linux (objc/NSObject.h): only what the backend uses.
#pragma once

#include <objc/objc.h>

@protocol NSObject
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject>
+ (instancetype)alloc;
+ (instancetype)new;
- (instancetype)init __attribute__((objc_designated_initializer));
@end
