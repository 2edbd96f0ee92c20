// The run sequence as the parent sees it: exit statuses, exactly what goes to each standard stream, how much input is
// consumed, the output location, and what the clearing removes.
#include "front/quillfern_system_audio_main.h"
#include "tests/fakes/fake_platform.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace qfx {
namespace {

namespace fs = std::filesystem;
using fakes::Completion;
using fakes::FakePlatform;
using platform::Error;
using testing::StreamFile;

struct Outcome {
    int status = -1;
    std::string output;
    std::string error;
    int platformRequests = 0;
};

class FrontTest : public ::testing::Test {
protected:
    Outcome run(std::vector<std::string> arguments, const std::string& input = "\n") {
        const StreamFile in(input);
        return run(std::move(arguments), fileno(in.get()));
    }

    Outcome run(std::vector<std::string> arguments, int in) {
        const StreamFile out;
        const StreamFile err;
        Outcome result = run(std::move(arguments), in, out.get(), err.get());
        result.output = out.contents();
        result.error = err.contents();
        return result;
    }

    Outcome run(std::vector<std::string> arguments, int in, std::FILE* out, std::FILE* err) {
        arguments.insert(arguments.begin(), "qfx_system_audio");
        std::vector<const char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(argument.c_str());
        }
        argv.push_back(nullptr);
        Outcome result;
        result.status = QuillfernSystemAudioMain::main(static_cast<int>(arguments.size()), argv.data(), {in, out, err},
                                                       [&]() -> platform::Platform& {
                                                           ++result.platformRequests;
                                                           return fake;
                                                       });
        fake.settle();
        return result;
    }

    // The tool keeps its stop signals caught for the rest of the process; this one must stay killable.
    void TearDown() override {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            std::signal(signal, SIG_DFL);
        }
    }

    static void makeFile(const fs::path& path) { std::ofstream(path) << "old recording"; }

    FakePlatform fake;
    testing::ScratchDirectory scratch;
};

TEST_F(FrontTest, AWrongArgumentCountIsAUsageErrorThatTouchesNothing) {
    const fs::path existing = scratch / "out.m4a";
    makeFile(existing);
    const std::vector<std::vector<std::string>> commandLines{{}, {existing, "extra"}, {existing, "-v", "extra"}};
    for (const auto& arguments : commandLines) {
        SCOPED_TRACE(arguments.size());
        const Outcome result = run(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(result.error, "Usage: qfx_system_audio <output.m4a>\n");
        EXPECT_EQ(result.platformRequests, 0);
        EXPECT_TRUE(fs::exists(existing));
    }
}

TEST_F(FrontTest, ExitStatusAndStreamsForEachOutcome) {
    struct Case {
        const char* name;
        std::function<void(FakePlatform::Script&)> arrange;
        std::string input;
        int status;
        std::string output;
        std::string error;
        bool stopped;
    };
    const std::vector<Case> cases{
        {"a line ends the recording", [](auto&) {}, "stop\n", 0, "READY\n", "", true},
        {"so does input already at its end", [](auto&) {}, "", 0, "READY\n", "", true},
        {"a service failure is passed on in its own words",
         [](auto& s) { s.contentError = Error{"Screen recording is not permitted."}; }, "\n", 4, "",
         "Screen recording is not permitted.\n", false},
        {"a stop that cannot stop the capture still ends well",
         [](auto& s) { s.stopCaptureError = Error{"Could not stop."}; }, "\n", 0, "READY\n", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.script = {};
        c.arrange(fake.script);
        fake.clearCalls();

        const Outcome result = run({(scratch / "out.m4a").string()}, c.input);

        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.platformRequests, 1);
        EXPECT_EQ(fake.count("stopCapture"), c.stopped ? 1U : 0U);
    }
}

TEST_F(FrontTest, AFailedFinishExitsWithStatus5AfterReadyWithTheWritersReasonOrAnUnknownOne) {
    for (const platform::MaybeError& reason : {platform::MaybeError{Error{"Disk full."}}, platform::MaybeError{}}) {
        fake.script.finishFails = true;
        fake.script.writerError = reason;
        // Audio arrives while the capture is stopping, so there is a session to finish.
        fake.hold(Completion::stopCapture);
        auto running = std::async(std::launch::async, [this] { return run({(scratch / "out.m4a").string()}); });
        ASSERT_TRUE(fake.waitUntilPending(Completion::stopCapture));
        ASSERT_TRUE(fake.deliver({platform::MediaTime::make(1, 48000)}));
        fake.release(Completion::stopCapture);
        ASSERT_EQ(running.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        const Outcome result = running.get();
        EXPECT_EQ(result.status, 5);
        EXPECT_EQ(result.output, "READY\n");
        EXPECT_EQ(result.error, "Unable to finish audio writer: " +
                                    (reason ? reason->description : std::string("Unknown AVAssetWriter error")) + "\n");
        EXPECT_EQ(fake.count("cancelWriting"), 0U);
    }
}

TEST_F(FrontTest, ReadyIsFlushedAndTheStreamEndedLineDoesNotEndTheRun) {
    const StreamFile in("\n");
    const StreamFile out;
    const StreamFile err;
    fake.hold(Completion::stopCapture);
    auto running = std::async(std::launch::async, [&] {
        return run({(scratch / "out.m4a").string()}, fileno(in.get()), out.get(), err.get());
    });
    ASSERT_TRUE(fake.waitUntilPending(Completion::stopCapture));
    // The parent has READY before the tool goes on to read its input.
    EXPECT_EQ(out.delivered(), "READY\n");
    // A server's text with a line break in it still makes one line.
    fake.endByItself(Error{"Lost\r\nreconnect"});
    fake.settle();
    fake.release(Completion::stopCapture);

    const Outcome result = running.get();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(out.contents(), "READY\n");
    EXPECT_EQ(err.contents(), "ScreenCaptureKit stopped: Lost\\r\\nreconnect\n");
}

// Whatever follows the stop line belongs to the input's next reader, from a file and from a pipe (the parent's
// usual case), in blocking and in non-blocking mode.
TEST_F(FrontTest, NothingAfterTheStopLineIsConsumed) {
    for (const bool nonBlocking : {false, true}) {
        SCOPED_TRACE(nonBlocking ? "non-blocking pipe" : "pipe");
        testing::Pipe in;
        if (nonBlocking) {
            ASSERT_EQ(::fcntl(in.readEnd(), F_SETFL, O_NONBLOCK), 0);
        }
        in.write("first");
        auto running =
            std::async(std::launch::async, [&] { return run({(scratch / "out.m4a").string()}, in.readEnd()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the rest of the line comes later
        in.write("\nsecond\nthird");
        EXPECT_EQ(running.get().status, 0);
        EXPECT_EQ(in.rest(), "second\nthird");
    }
    const StreamFile file("first\nsecond\n");
    EXPECT_EQ(run({(scratch / "out.m4a").string()}, fileno(file.get())).status, 0);
    EXPECT_EQ(::lseek(fileno(file.get()), 0, SEEK_CUR), 6);
}

// A terminal's Ctrl-C, a parent's kill, a hang-up while the tool is still starting end the recording as the end of
// input does, once it has started (while it waits for its line, they are seen end to end). The input is left as it
// was.
TEST_F(FrontTest, StopSignalsDuringTheStartEndTheRecordingLikeTheEndOfInput) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        fake.clearCalls();
        testing::Pipe in;
        const StreamFile out;
        const StreamFile err;
        fake.hold(Completion::contentQuery);
        auto running = std::async(std::launch::async, [&] {
            return run({(scratch / "out.m4a").string()}, in.readEnd(), out.get(), err.get());
        });
        ASSERT_TRUE(fake.waitUntilPending(Completion::contentQuery));
        ASSERT_EQ(::kill(::getpid(), signal), 0);
        fake.release(Completion::contentQuery);
        ASSERT_EQ(running.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(running.get().status, 0);
        EXPECT_EQ(out.contents(), "READY\n");
        EXPECT_EQ(err.contents(), "");
        EXPECT_EQ(fake.count("stopCapture"), 1U);
        in.write("unread\n");
        EXPECT_EQ(in.rest(), "unread\n");
    }
}

TEST_F(FrontTest, StartAndStopRunAwayFromTheMainThreadWhichWaitsThroughThePlatform) {
    EXPECT_EQ(run({(scratch / "out.m4a").string()}).status, 0);
    EXPECT_EQ(fake.count("waitOnMainThread"), 2U);
    EXPECT_EQ(fake.threadOf("waitOnMainThread"), std::this_thread::get_id());
    EXPECT_NE(fake.threadOf("getShareableContent"), std::this_thread::get_id());
    EXPECT_NE(fake.threadOf("stopCapture"), std::this_thread::get_id());
}

TEST_F(FrontTest, TheOutputLocationIsTheArgumentMadeAbsolute) {
    // Relative paths land in the scratch directory, so nothing of the test's own directory can be cleared.
    const fs::path previous = fs::current_path();
    fs::current_path(scratch / ".");
    const std::string cwd = fs::current_path().string();
    const struct {
        std::string argument;
        std::string location;
    } cases[] = {
        {"/abs/out.m4a", "/abs/out.m4a"},
        {"qfx-unit-missing/out.m4a", cwd + "/qfx-unit-missing/out.m4a"},
        {"-v", cwd + "/-v"}, // an argument that looks like an option is a path like any other
        {"", cwd},           // the current directory itself, which the clearing leaves alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        fake.script.canAddInput = false; // stops the run right after the writer is made
        fake.clearCalls();
        EXPECT_EQ(run({c.argument}).status, 4);
        EXPECT_EQ(fake.count("makeWriter(" + c.location + ", com.apple.m4a-audio)"), 1U);
    }
    EXPECT_TRUE(fs::is_directory(cwd));
    fs::current_path(previous);
}

TEST_F(FrontTest, ClearingRemovesOnlyAFileOrALink) {
    const fs::path target = scratch / "target.m4a";
    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        bool removed;
    } cases[] = {
        {"regular file", [](const fs::path& p) { makeFile(p); }, true},
        {"link to a file", [&](const fs::path& p) { fs::create_symlink(target, p); }, true},
        {"dangling link", [&](const fs::path& p) { fs::create_symlink(scratch / "nowhere", p); }, true},
        {"directory with contents",
         [](const fs::path& p) {
             fs::create_directory(p);
             makeFile(p / "keep.txt");
         },
         false},
        {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
        {"nothing", [](const fs::path&) {}, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeFile(target);
        const fs::path path = scratch / ("entry" + std::to_string(n++));
        c.make(path);
        const bool existed = fs::exists(fs::symlink_status(path));
        fake.script.contentError = Error{"stop here"}; // clearing comes before the start

        EXPECT_EQ(run({path.string()}).status, 4);

        EXPECT_EQ(fs::exists(fs::symlink_status(path)), existed && !c.removed);
        EXPECT_TRUE(fs::exists(target)); // a link's target is never removed
    }
}

} // namespace
} // namespace qfx
