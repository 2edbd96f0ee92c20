// The Linux capture's fragment size against its costs: CPU of this process and of the sound server while a tone
// plays, and how much audio from before a stop request is missing when the stream is disconnected at once or after
// the tail wait. Runs against the server the environment names (for example after
// `eval "$(scripts/sound-server.sh start pulseaudio DIR)"`); QFX_TEST_SERVER_PIDS, when set, names the server's
// processes whose CPU is counted.
//
//   qfx_capture_bench [seconds per size (10)] [stops per size (6)] [fragment sizes in ms (20,50,100,200)]
//                     [fragment at stop in ms (the default; 0: keep)] [timing snapshot interval in ms (the default)]
//                     [seconds recorded before each stop (2.5)]
//
// Also counts this process's wakeups (voluntary context switches) per second while the tone plays, in all and per
// thread: the fragment size sets how often the main loop and the output queue wake, the snapshots add one wakeup of
// the main loop each. And the jumps in the delivered times over that stretch (each one a re-anchored clock: a
// snapshot that disagreed with the sample count by more than the loss threshold, which leaves a silence).
#include "platform/linux/capture_clock.h"
#include "platform/linux/pcm_buffer.h"
#include "platform/linux/pulse_capture.h"
#include "platform/thread_serial_queue.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace qfx::platform;
using namespace qfx::platform::linux_backend;

class LastEnd final : public StreamOutput, public StreamDelegate {
public:
    void didOutputSampleBuffer(Stream& /*stream*/, const SampleBuffer& buffer, StreamOutputType /*type*/) override {
        const auto& pcm = static_cast<const PcmBuffer&>(buffer);
        const std::lock_guard lock(mutex_);
        const int64_t time = buffer.presentationTimeStamp().value;
        // Not the wait for the first fragment after the empty buffer that marks the start.
        if (end_ != 0 && !afterMark_ && time > end_ + 1'000'000) {
            ++jumps_;
            jumpedNs_ += time - end_;
        }
        end_ = time + pcm.frameCount() * 1'000'000'000 / pcm.sampleRate();
        afterMark_ = pcm.frameCount() == 0;
    }
    void didStopWithError(Stream& /*stream*/, const Error& error) override {
        std::fprintf(stderr, "stream ended: %s\n", error.description.c_str());
    }
    int64_t end() {
        const std::lock_guard lock(mutex_);
        return end_;
    }
    /// Jumps forward in the times since the last call, and their total length.
    std::pair<int, int64_t> takeJumps() {
        const std::lock_guard lock(mutex_);
        return {std::exchange(jumps_, 0), std::exchange(jumpedNs_, 0)};
    }

private:
    std::mutex mutex_;
    int64_t end_ = 0;
    bool afterMark_ = false;
    int jumps_ = 0;
    int64_t jumpedNs_ = 0;
};

double processSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// Voluntary context switches of each of this process's threads, by thread id, with the thread's name.
std::map<int, std::pair<std::string, long>> threadWakeups() {
    std::map<int, std::pair<std::string, long>> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string name;
        long switches = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("Name:")) {
                name = line.substr(line.find_first_not_of(" \t", 5));
            } else if (line.starts_with("voluntary_ctxt_switches:")) {
                switches = std::stol(line.substr(24));
            }
        }
        threads[std::stoi(task.path().filename().string())] = {name, switches};
    }
    return threads;
}

double serverSeconds() {
    const char* pids = std::getenv("QFX_TEST_SERVER_PIDS");
    if (pids == nullptr) {
        return 0.0;
    }
    double seconds = 0.0;
    std::istringstream list(pids);
    for (std::string pid; list >> pid;) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0.0;
        for (int i = 3; fields >> field && i <= 15; ++i) {
            if (i == 14 || i == 15) {
                ticks += std::stod(field);
            }
        }
        seconds += ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

template <class Call>
MaybeError await(Call call) {
    std::promise<MaybeError> done;
    call([&done](MaybeError error) { done.set_value(std::move(error)); });
    return done.get_future().get();
}

struct Run {
    std::shared_ptr<LastEnd> output = std::make_shared<LastEnd>();
    std::shared_ptr<ThreadSerialQueue> queue = std::make_shared<ThreadSerialQueue>("qfx.bench.system-audio");
    std::shared_ptr<Stream> stream;

    bool start(PulseCaptureService& service) {
        std::promise<std::shared_ptr<ShareableContent>> content;
        service.getShareableContent(false, false, [&content](std::shared_ptr<ShareableContent> c, MaybeError error) {
            if (error) {
                std::fprintf(stderr, "%s\n", error->description.c_str());
            }
            content.set_value(std::move(c));
        });
        const std::shared_ptr<ShareableContent> found = content.get_future().get();
        if (found == nullptr || found->displays.empty()) {
            return false;
        }
        stream = service.makeStream(service.makeContentFilter(found->displays[0], {}, {}),
                                    service.makeStreamConfiguration(), output);
        stream->addStreamOutput(output, kStreamOutputTypeAudio, queue);
        return !await([this](CaptureCompletion done) { stream->startCapture(std::move(done)); });
    }
    struct Stop {
        bool audio = false;
        double pastMs = 0; ///< how far past the request the delivered audio reaches (negative: missing)
        double tookMs = 0; ///< from the request to the completion
    };
    Stop stop() {
        const int64_t requestedAt = CaptureClock::monotonicNowNs();
        await([this](CaptureCompletion done) { stream->stopCapture(std::move(done)); });
        const int64_t completedAt = CaptureClock::monotonicNowNs();
        queue->sync([] {});
        const int64_t end = output->end();
        return {end != 0, static_cast<double>(end - requestedAt) / 1e6,
                static_cast<double>(completedAt - requestedAt) / 1e6};
    }
};

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int stops = argc > 2 ? std::atoi(argv[2]) : 6;
    std::vector<int64_t> fragments;
    std::istringstream sizes(argc > 3 ? argv[3] : "20,50,100,200");
    PulseCaptureService::Tuning base;
    if (argc > 4) {
        base.stopFragmentNs = std::stoll(argv[4]) * 1'000'000;
    }
    if (argc > 5) {
        base.snapshotIntervalNs = std::stoll(argv[5]) * 1'000'000;
    }
    const double recordedBeforeStop = argc > 6 ? std::atof(argv[6]) : 2.5;
    for (std::string size; std::getline(sizes, size, ',');) {
        fragments.push_back(std::stoll(size));
    }
    // A tone keeps the sink busy, as music would.
    if (std::system("sox -q -n -r 48000 -c 2 -b 16 /tmp/qfx-bench-tone.wav synth 300 sine 440 vol 0.3") != 0) {
        std::fprintf(stderr, "sox is needed for the test signal\n");
        return 1;
    }
    const pid_t player = fork();
    if (player == 0) {
        execlp("paplay", "paplay", "/tmp/qfx-bench-tone.wav", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::printf("How far past the stop request the delivered audio reaches (negative: that much is missing), worst "
                "and mean, and how long the stop takes, without and with the tail wait.\n");
    std::printf("fragment at stop: %lld ms, timing snapshots every %lld ms\n",
                static_cast<long long>(base.stopFragmentNs / 1'000'000),
                static_cast<long long>(base.snapshotIntervalNs / 1'000'000));
    std::printf("fragment  client CPU  wakeups/s (per thread)      jumps  server CPU | no wait: past request   stop    "
                "| tail wait: past request  stop\n");
    for (const int64_t fragmentMs : fragments) {
        PulseCaptureService::Tuning tuning = base;
        tuning.fragmentNs = fragmentMs * 1'000'000;
        double cpu = 0.0;
        double wakes = 0.0;
        double server = 0.0;
        std::string perThread;
        std::string jumps;
        {
            PulseCaptureService service(tuning);
            Run run;
            if (!run.start(service)) {
                std::fprintf(stderr, "capture did not start\n");
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1)); // past the first fragment's delay
            run.output->takeJumps();
            const double cpu0 = processSeconds();
            const auto wakes0 = threadWakeups();
            const double server0 = serverSeconds();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            cpu = (processSeconds() - cpu0) / seconds * 100.0;
            const auto wakes1 = threadWakeups();
            server = (serverSeconds() - server0) / seconds * 100.0;
            std::vector<double> rates;
            for (const auto& [tid, thread] : wakes1) {
                const auto before = wakes0.find(tid);
                const double rate =
                    static_cast<double>(thread.second - (before != wakes0.end() ? before->second.second : 0)) / seconds;
                wakes += rate;
                if (rate >= 0.5) {
                    rates.push_back(rate);
                }
            }
            std::sort(rates.rbegin(), rates.rend());
            for (const double rate : rates) {
                if (!perThread.empty()) {
                    perThread += ' ';
                }
                perThread += std::to_string(std::lround(rate));
            }
            const auto [count, lengthNs] = run.output->takeJumps();
            jumps = std::to_string(count) + " (" + std::to_string(lengthNs / 1'000'000) + " ms)";
            run.stop();
        }
        std::string columns[2];
        for (int wait = 0; wait < 2; ++wait) {
            tuning.tailWaitNs = wait == 0 ? 0 : PulseCaptureService::Tuning{}.tailWaitNs;
            PulseCaptureService service(tuning);
            double worst = 1e9;
            double sum = 0.0;
            double took = 0.0;
            int counted = 0;
            for (int i = 0; i < stops; ++i) {
                Run run;
                if (!run.start(service)) {
                    return 1;
                }
                // By default past the first fragment, which a null sink can hold back for two seconds.
                std::this_thread::sleep_for(std::chrono::duration<double>(recordedBeforeStop + 0.037 * i));
                const Run::Stop stop = run.stop();
                if (stop.audio) {
                    worst = std::min(worst, stop.pastMs);
                    sum += stop.pastMs;
                    took += stop.tookMs;
                    ++counted;
                }
            }
            char text[96];
            std::snprintf(text, sizeof text, "%6.1f / %5.1f ms  %5.1f ms", worst, sum / std::max(1, counted),
                          took / std::max(1, counted));
            columns[wait] = text;
            if (counted < stops) {
                columns[wait] += " (" + std::to_string(stops - counted) + " without audio)";
            }
        }
        std::printf("%5lld ms  %8.2f %%  %5.1f (%-16s)  %-6s %8.2f %% | %-30s | %s\n",
                    static_cast<long long>(fragmentMs), cpu, wakes, perThread.c_str(), jumps.c_str(), server,
                    columns[0].c_str(), columns[1].c_str());
        std::fflush(stdout);
    }
    kill(player, SIGTERM);
    waitpid(player, nullptr, 0);
    std::remove("/tmp/qfx-bench-tone.wav");
    return 0;
}
