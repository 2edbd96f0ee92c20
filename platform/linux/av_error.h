// The one place where FFmpeg's codes, and the system's errno values (as AVERROR(errno)), become text.
#pragma once

#include <cstdint>
#include <string>

namespace qfx::platform::linux_backend {

/// The text of an FFmpeg error code; a system error's text when the code wraps an errno value.
std::string describeAvError(int averror);

/// The text of an errno value, worded as FFmpeg words it.
std::string describeErrno(int error);

/// Writes all `size` bytes to `fd`, as an AVIO write callback must: `size`, or the failure as AVERROR(errno).
int writeAll(int fd, const uint8_t* data, int size);

} // namespace qfx::platform::linux_backend
