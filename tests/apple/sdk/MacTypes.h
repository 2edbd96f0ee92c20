// Declarations for type-checking the macOS backend on Linux (MacTypes.h): only what the backend uses.
#pragma once

#include <stdint.h>

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef double Float64;
typedef SInt32 OSStatus;

enum { noErr = 0 };
