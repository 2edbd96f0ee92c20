// Declarations for type-checking the macOS backend on Linux (dispatch, with os/object.h in its Objective-C form):
// only what the backend uses, written from the SDK's headers. Under ARC, dispatch objects are Objective-C objects.
#pragma once

#include <objc/NSObject.h>
#include <os/availability.h>
#include <stddef.h>

#define DISPATCH_EXPORT extern "C"
#define DISPATCH_NONNULL1 __attribute__((__nonnull__(1)))
#define DISPATCH_NONNULL3 __attribute__((__nonnull__(3)))
#define DISPATCH_NOTHROW __attribute__((__nothrow__))
#define DISPATCH_MALLOC __attribute__((__malloc__))
#define DISPATCH_WARN_RESULT __attribute__((__warn_unused_result__))
#define DISPATCH_RETURNS_RETAINED __attribute__((__ns_returns_retained__))

// os/object.h: OS_OBJECT_DECL_CLASS and DISPATCH_DECL under OS_OBJECT_USE_OBJC.
@protocol OS_object <NSObject>
@end
@protocol OS_dispatch_object <OS_object>
@end
typedef NSObject<OS_dispatch_object>* dispatch_object_t;
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

typedef void (*dispatch_function_t)(void* _Nullable);

#define DISPATCH_QUEUE_SERIAL NULL

API_AVAILABLE(macos(10.6), ios(4.0))
DISPATCH_EXPORT DISPATCH_MALLOC DISPATCH_RETURNS_RETAINED DISPATCH_WARN_RESULT DISPATCH_NOTHROW dispatch_queue_t
dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);

API_AVAILABLE(macos(10.6), ios(4.0))
DISPATCH_EXPORT DISPATCH_NONNULL1 DISPATCH_NONNULL3 DISPATCH_NOTHROW void
dispatch_async_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);

API_AVAILABLE(macos(10.6), ios(4.0))
DISPATCH_EXPORT DISPATCH_NONNULL1 DISPATCH_NONNULL3 DISPATCH_NOTHROW void
dispatch_sync_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);
