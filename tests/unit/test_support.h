// Stand-in standard streams for the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qfx::testing {

/// An anonymous temporary file standing in for one of the standard streams.
class StreamFile {
public:
    explicit StreamFile(const std::string& contents = {}) : file_(std::tmpfile()) {
        EXPECT_NE(file_, nullptr);
        std::fputs(contents.c_str(), file_);
        std::rewind(file_);
    }
    ~StreamFile() { std::fclose(file_); }
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;

    [[nodiscard]] std::FILE* get() const { return file_; }

    /// Everything written so far, as a reader of the file sees it once the stream is flushed.
    [[nodiscard]] std::string contents() const {
        std::fflush(file_);
        return delivered();
    }
    [[nodiscard]] std::string delivered() const {
        std::string text;
        char chunk[256];
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fileno(file_), chunk, sizeof chunk, at);
            if (n <= 0) {
                return text;
            }
            text.append(chunk, static_cast<std::size_t>(n));
            at += n;
        }
    }

private:
    std::FILE* file_;
};

} // namespace qfx::testing
