// Turns the writer's fragmented recording into an ordinary M4A file in its place, without re-encoding.
//
// While recording, the writer keeps a fragmented MPEG-4 file at the path, so that a kill leaves a playable file. Some
// players and editors handle fragmented files poorly, and such a file cannot say where the encoder's priming ends
// or how long the audio exactly is. At the end its audio packets are copied into a new file with one index at the
// end, an edit list hiding the priming and the last frame's padding, and major brand "M4A ". The new file is made
// beside the old one (same directory, so the same file system), unnamed while it is written where the file system
// allows it (else under a hidden temporary name), flushed to disk, and renamed over the fragmented file; the
// directory is flushed last. A kill at any moment leaves either the fragmented file or the finished one at the path.
//
// Called on the writer's thread (the task that runs stop), with the writer's lock held.
#pragma once

#include "platform/error.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace qfx::platform::linux_backend {

/// The fragmented file to finish: open for reading at `fd`, named `path`, whose name must still point to it
/// (`device`, `inode`) when the finished file replaces it.
struct FragmentedFile {
    int fd = -1;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

/// Copies the audio of `file` into an ordinary M4A at its path. `primingFrames`: the encoder's delay, which the
/// fragmented file holds at its start; `frameCount`: how many frames of audio the encoder was given. Returns none
/// on success. On failure the fragmented file is left as it was, nothing else is left behind, and the error says
/// why (a full disk, the path replaced meanwhile).
MaybeError finishAsM4a(const FragmentedFile& file, int64_t primingFrames, int64_t frameCount);

} // namespace qfx::platform::linux_backend
