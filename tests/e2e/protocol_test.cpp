// The protocol's edges, end to end: the command line, clearing the output location, recordings that cannot
// start, the ways a parent ends a recording, and a file that cannot be finished.
#include "tests/e2e/audio_analysis.h"
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

namespace e2e {
namespace {

namespace fs = std::filesystem;

const std::string kUsage = "Usage: qfx_system_audio <output.m4a>\n";
const std::string kNoDisplay = "No display is available for ScreenCaptureKit audio capture.\n";
const std::string kWriterCreation = "Unable to create audio writer: ";
const std::string kWriterFinish = "Unable to finish audio writer: ";

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path) << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool isOneLine(const std::string& text) {
    return text.size() > 1 && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

// A client environment that reaches no server at all (and never spawns one).
Environment unreachableServer(const TemporaryDirectory& directory) {
    writeFile(directory / "client.conf", "autospawn = no\n");
    return {{"PULSE_SERVER", "unix:" + (directory / "no-server" / "native").string()},
            {"PULSE_CLIENTCONFIG", (directory / "client.conf").string()},
            {"PULSE_RUNTIME_PATH", (directory / "no-server").string()},
            {"XDG_RUNTIME_DIR", directory.path().string()},
            {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
}

::testing::AssertionResult looksLikeOurFile(const fs::path& path) {
    auto description = probe(path);
    if (description["streams.stream.0.codec_name"] == "aac" && description["format.tags.major_brand"] == "M4A ") {
        return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure() << path << " is not an AAC .m4a file: ffprobe says";
    for (const auto& [key, value] : description) {
        failure << " " << key << "=" << value;
    }
    return failure;
}

// A recording of about `seconds` with a tone playing, stopped by an empty line. Gives the exit status.
ExitStatus recordBriefly(ToolRun& tool, double seconds = 1.5) {
    if (!tool.waitReady()) {
        ADD_FAILURE() << "no READY; stdout \"" << tool.output() << "\", stderr \"" << tool.errorOutput() << "\"";
        return tool.finish(Seconds(10));
    }
    Player player(mainServer().environment(), tone(1000, 0.3, 0.3), seconds + 1);
    sleepFor(seconds);
    tool.sendLine();
    return tool.finish();
}

TEST(CommandLine, NotExactlyOneArgumentIsRefusedAndNothingIsTouched) {
    const std::vector<std::vector<std::string>> cases = {{}, {"first.m4a", "second.m4a"}, {"a", "b", "c"}};
    for (const auto& arguments : cases) {
        SCOPED_TRACE("arguments: " + std::to_string(arguments.size()));
        TemporaryDirectory directory;
        for (const auto& name : arguments) {
            writeFile(directory / name, "keep me");
        }
        ToolRun tool(arguments, unreachableServer(directory), directory.path());
        auto status = tool.finish(Seconds(20));
        EXPECT_TRUE(status.exited && status.code == 2) << status.describe();
        EXPECT_EQ(tool.output(), "");
        EXPECT_EQ(tool.errorOutput(), kUsage);
        for (const auto& name : arguments) {
            EXPECT_EQ(readFile(directory / name), "keep me") << name;
        }
    }
}

TEST(StartFailure, UnreachableServerIsOneLineAndExit4) {
    TemporaryDirectory directory;
    ToolRun tool({(directory / "out.m4a").string()}, unreachableServer(directory));
    auto status = tool.finish(Seconds(30));
    EXPECT_TRUE(status.exited && status.code == 4) << status.describe();
    EXPECT_EQ(tool.output(), "");
    EXPECT_TRUE(isOneLine(tool.errorOutput())) << tool.errorOutput();
    EXPECT_FALSE(fs::exists(directory / "out.m4a"));
}

TEST(StartFailure, ServerWithoutSinksHasNoDisplay) {
    SoundServer server(serverKindUnderTest(), SoundServer::Sinks::none);
    TemporaryDirectory directory;
    ToolRun tool({(directory / "out.m4a").string()}, server.environment());
    auto status = tool.finish(Seconds(30));
    EXPECT_TRUE(status.exited && status.code == 4) << status.describe();
    EXPECT_EQ(tool.output(), "");
    EXPECT_EQ(tool.errorOutput(), kNoDisplay);
    EXPECT_FALSE(fs::exists(fs::symlink_status(directory / "out.m4a")));
}

TEST(OutputLocation, FileOrLinkInTheWayIsReplacedAndALinkTargetKept) {
    struct Case {
        std::string name;
        std::function<void(const TemporaryDirectory&)> prepare;
    };
    const std::vector<Case> cases = {
        {"regular file", [](const TemporaryDirectory& d) { writeFile(d / "out.m4a", "old content"); }},
        {"link to a file",
         [](const TemporaryDirectory& d) {
             writeFile(d / "target", "target content");
             fs::create_symlink(d / "target", d / "out.m4a");
         }},
        {"dangling link", [](const TemporaryDirectory& d) { fs::create_symlink(d / "nowhere", d / "out.m4a"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        c.prepare(directory);
        ToolRun tool({(directory / "out.m4a").string()}, mainServer().environment());
        auto status = recordBriefly(tool);
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe() << "; stderr: " << tool.errorOutput();
        EXPECT_EQ(tool.errorOutput(), "");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(directory / "out.m4a")));
        EXPECT_TRUE(looksLikeOurFile(directory / "out.m4a"));
        if (fs::exists(directory / "target")) {
            EXPECT_EQ(readFile(directory / "target"), "target content");
        }
    }
}

TEST(OutputLocation, DirectoryFifoOrEmptyPathIsLeftInPlaceAndExit4) {
    struct Case {
        std::string name;
        std::string path; // relative to the test's directory, which is the tool's working directory
        std::function<void(const TemporaryDirectory&)> prepare;
        std::function<bool(const TemporaryDirectory&)> leftInPlace;
    };
    const std::vector<Case> cases = {
        {"directory", "out.m4a",
         [](const TemporaryDirectory& d) {
             fs::create_directory(d / "out.m4a");
             writeFile(d / "out.m4a" / "inside", "x");
         },
         [](const TemporaryDirectory& d) {
             return fs::is_directory(d / "out.m4a") && fs::exists(d / "out.m4a" / "inside");
         }},
        {"fifo", "out.m4a", [](const TemporaryDirectory& d) { mkfifo((d / "out.m4a").c_str(), 0600); },
         [](const TemporaryDirectory& d) { return fs::is_fifo(fs::symlink_status(d / "out.m4a")); }},
        {"empty path", "", [](const TemporaryDirectory& d) { writeFile(d / "bystander", "x"); },
         [](const TemporaryDirectory& d) { return fs::is_directory(d.path()) && fs::exists(d / "bystander"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        c.prepare(directory);
        ToolRun tool({c.path}, mainServer().environment(), directory.path());
        auto status = tool.finish(Seconds(30));
        EXPECT_TRUE(status.exited && status.code == 4) << status.describe();
        EXPECT_EQ(tool.output(), "");
        EXPECT_TRUE(isOneLine(tool.errorOutput())) << tool.errorOutput();
        EXPECT_EQ(tool.errorOutput().rfind(kWriterCreation, 0), 0U) << tool.errorOutput();
        EXPECT_TRUE(c.leftInPlace(directory));
    }
}

TEST(Ending, EndOfInputAtOnceStopsCleanly) {
    TemporaryDirectory directory;
    ToolRun tool({(directory / "out.m4a").string()}, mainServer().environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();
    tool.closeInput();
    auto status = tool.finish();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_EQ(tool.output(), "READY\n");
    EXPECT_EQ(tool.errorOutput(), "");
    // No audio may have arrived yet (the writing is then cancelled and nothing is left); what is left is a file.
    if (fs::exists(fs::symlink_status(directory / "out.m4a"))) {
        EXPECT_TRUE(looksLikeOurFile(directory / "out.m4a"));
    }
}

TEST(Ending, EmptyLineStopsAndLaterInputStaysUnread) {
    TemporaryDirectory directory;
    ToolRun tool({(directory / "out.m4a").string()}, mainServer().environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();
    sleepFor(1.5);
    tool.sendLine("\nthis line is never read");
    auto status = tool.finish();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_EQ(tool.output(), "READY\n");
    EXPECT_EQ(tool.errorOutput(), "");
    EXPECT_TRUE(looksLikeOurFile(directory / "out.m4a"));
}

// Loud noise, so that the encoder spends its whole bit rate.
Signal noise(float amplitude) {
    return [amplitude](int64_t frame) {
        auto hash = [](uint64_t x) {
            x ^= x >> 33;
            x *= 0xff51afd7ed558ccdULL;
            x ^= x >> 33;
            return static_cast<float>(static_cast<double>(x >> 11) / 9007199254740992.0 * 2 - 1);
        };
        auto index = static_cast<uint64_t>(frame);
        return std::pair<float, float>(amplitude * hash(index * 2 + 1), amplitude * hash(index * 2 + 2));
    };
}

TEST(DiskFull, FileThatCannotBeFinishedIsExit5) {
    TemporaryDirectory directory;
    fs::path mountPoint = directory / "small";
    fs::create_directory(mountPoint);
    // 48 KiB hold the header and about two seconds of audio at 192 kb/s.
    auto mounted = run({"mount", "-t", "tmpfs", "-o", "size=48k", "qfx-e2e-full", mountPoint.string()});
    if (!mounted.ok()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << mounted.errorOutput;
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { run({"umount", path.string()}); }
    } unmount{mountPoint};

    ToolRun tool({(mountPoint / "out.m4a").string()}, mainServer().environment());
    ASSERT_TRUE(tool.waitReady()) << tool.errorOutput();
    {
        Player player(mainServer().environment(), noise(0.5F), 6);
        sleepFor(5);
        tool.sendLine();
        auto status = tool.finish();
        EXPECT_TRUE(status.exited && status.code == 5) << status.describe();
    }
    EXPECT_EQ(tool.output(), "READY\n");
    EXPECT_TRUE(isOneLine(tool.errorOutput())) << tool.errorOutput();
    EXPECT_EQ(tool.errorOutput().rfind(kWriterFinish, 0), 0U) << tool.errorOutput();
}

} // namespace
} // namespace e2e
