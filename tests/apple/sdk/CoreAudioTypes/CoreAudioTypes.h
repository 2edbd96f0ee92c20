// Declarations for type-checking the macOS backend on Linux (CoreAudioTypes/CoreAudioBaseTypes.h): only what the
// backend uses, written from the SDK's headers.
#pragma once

#include <MacTypes.h>

typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
typedef struct AudioStreamBasicDescription AudioStreamBasicDescription;

struct AudioStreamPacketDescription;
typedef struct AudioStreamPacketDescription AudioStreamPacketDescription;

enum : AudioFormatID {
    kAudioFormatLinearPCM = 0x6C70636D, // 'lpcm'
};

enum : AudioFormatFlags {
    kAudioFormatFlagIsFloat = (1U << 0),
    kAudioFormatFlagIsSignedInteger = (1U << 2),
    kAudioFormatFlagIsNonInterleaved = (1U << 5),
};
