// Declarations for type-checking the macOS backend on Linux (os/availability.h). Availability annotations are
// kept in the declarations for the reader; on a Linux target they have no effect, so they expand to nothing.
#pragma once

#define API_AVAILABLE(...)
#define API_UNAVAILABLE(...)
#define API_DEPRECATED(...)
