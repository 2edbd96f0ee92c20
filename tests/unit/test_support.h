// Small helpers shared by the unit tests: stand-in standard streams and a private scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

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

    /// Everything written to it so far.
    [[nodiscard]] std::string contents() const {
        std::fflush(file_);
        const long end = std::ftell(file_);
        std::rewind(file_);
        std::string text;
        for (int c = std::getc(file_); c != EOF; c = std::getc(file_)) {
            text.push_back(static_cast<char>(c));
        }
        std::fseek(file_, end, SEEK_SET);
        return text;
    }

    /// What has reached the file itself, without flushing the stream's buffer: what a parent reading the other end
    /// of a pipe would have received by now.
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

/// A pipe, closed on destruction.
class Pipe {
public:
    Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
    ~Pipe() {
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    [[nodiscard]] int readEnd() const { return fds_[0]; }
    void write(const std::string& text) const {
        EXPECT_EQ(::write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    /// Everything left in the pipe; closes the write end first so that the read ends.
    [[nodiscard]] std::string rest() {
        ::close(std::exchange(fds_[1], -1));
        std::string text;
        char chunk[256];
        for (ssize_t n = 0; (n = ::read(fds_[0], chunk, sizeof chunk)) > 0;) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int fds_[2] = {-1, -1};
};

/// A fresh directory under the system's temporary directory, removed with everything in it afterwards.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qfx-unit-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

} // namespace qfx::testing
