// Declarations for type-checking the macOS backend on Linux (CoreGraphics): only what the backend uses, written
// from the SDK's headers.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stdint.h>

#define CG_EXTERN extern "C"

// CGDirectDisplay.h
typedef uint32_t CGDirectDisplayID;
CG_EXTERN CGDirectDisplayID CGMainDisplayID(void);
