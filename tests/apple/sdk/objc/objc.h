// Declarations for type-checking the macOS backend on Linux (objc/objc.h): only what the backend uses.
#pragma once

// arm64: BOOL is bool (OBJC_BOOL_IS_BOOL).
typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no

#define nil nullptr
#define Nil nullptr
