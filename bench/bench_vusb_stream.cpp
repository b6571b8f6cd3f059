// Channel B through the real libftdi backend (libftdi1, the backend's queued
// reads and receive buffer) on the virtual FT2232H on USB, the stand-in
// preloaded in front of libusb. Two runs, each in a process of its own
// because the board reads its options once:
//   - full speed: the stream source as fast as it is read; MB/s and the
//     process's CPU time per 1316-byte chunk (the virtual chip's included);
//   - a 1 s stall at 8 MB/s: the reader stops taking chunks for a second, as
//     the window does during a link test, then drains; the generated stream's
//     packet counter shows whether anything was lost.
//
//   bench_vusb_stream [SECONDS]    (default 3 s at full speed)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ftdi_api.h"
#include "platform/libftdi_d2xx.h"
#include "sim/ts_source.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t Chunk = 1316;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::uint64_t be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// Packets of the payload PID missing between one chunk and the next.
class Counter {
public:
    void feed(const std::uint8_t* data, std::size_t size) {
        for (std::size_t off = 0; off + sim::TsPacketSize <= size; off += sim::TsPacketSize) {
            const std::uint8_t* p = data + off;
            if (p[0] != 0x47) {
                ++broken;
                continue;
            }
            if (((p[1] & 0x1F) << 8 | p[2]) != sim::TsPayloadPid) continue;
            const std::uint64_t c = be64(p + ((p[3] & 0x20) ? 5 + p[4] : 4));
            if (last_ && c > *last_ + 1) lost += c - *last_ - 1;
            last_ = c;
        }
    }
    std::uint64_t lost = 0;
    std::uint64_t broken = 0;

private:
    std::optional<std::uint64_t> last_;
};

struct Channel {
    platform::LibFtdiD2xx lib{platform::makeLibFtdiApi()};
    usb::FT_HANDLE handle = 0;
    bool open() {
        std::uint32_t n = 0;
        if (lib.FT_ListDevices(&n, nullptr, usb::FT_LIST_NUMBER_ONLY) != usb::FT_OK || n < 2) return false;
        if (lib.FT_Open(1, &handle) != usb::FT_OK) return false;
        lib.FT_SetTimeouts(handle, 100, 100);
        lib.FT_StopInTask(handle);
        lib.FT_Purge(handle, usb::FT_PURGE_RX);
        lib.FT_RestartInTask(handle);
        return true;
    }
    std::uint32_t read(std::uint8_t* dst) {
        std::uint32_t got = 0;
        if (lib.FT_Read(handle, dst, Chunk, &got) != usb::FT_OK) return 0;
        return got;
    }
};

int fullSpeed(double seconds) {
    Channel c;
    if (!c.open()) return std::fprintf(stderr, "no virtual board\n"), 1;
    std::vector<std::uint8_t> buf(Chunk);
    Counter counter;
    std::uint64_t chunks = 0;
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
        if (c.read(buf.data()) != Chunk) break;
        counter.feed(buf.data(), Chunk);
        ++chunks;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    std::printf("full speed: %.1f MB/s over %.1f s, %llu chunks, %.2f us CPU per chunk "
                "(%.0f%% of one core), %llu packets lost\n",
                static_cast<double>(chunks) * Chunk / wall / 1e6, wall,
                static_cast<unsigned long long>(chunks), cpu / static_cast<double>(chunks) * 1e6,
                cpu / wall * 100, static_cast<unsigned long long>(counter.lost + counter.broken));
    return 0;
}

int stall() {
    Channel c;
    if (!c.open()) return std::fprintf(stderr, "no virtual board\n"), 1;
    std::vector<std::uint8_t> buf(Chunk);
    Counter counter;
    std::uint64_t chunks = 0;
    auto readFor = [&](double seconds) {
        const auto t0 = Clock::now();
        while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
            if (c.read(buf.data()) != Chunk) return false;
            counter.feed(buf.data(), Chunk);
            ++chunks;
        }
        return true;
    };
    readFor(0.5);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::uint32_t queued = 0;
    c.lib.FT_GetQueueStatus(c.handle, &queued);
    const auto t0 = Clock::now();
    const std::uint64_t before = chunks;
    readFor(1.5);
    std::printf("1 s stall at 8 MB/s: %.1f MB queued after the stall, drained at %.1f MB/s, "
                "%llu packets lost\n",
                queued / 1e6,
                static_cast<double>(chunks - before) * Chunk /
                    std::chrono::duration<double>(Clock::now() - t0).count() / 1e6,
                static_cast<unsigned long long>(counter.lost + counter.broken));
    return counter.lost + counter.broken == 0 ? 0 : 3;
}

// Runs this program again with the stand-in preloaded and the board's options.
int again(const char* self, const std::string& scenario, const std::string& options,
          const std::string& seconds) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) && std::strncmp(*e, "VESPER_VUSB_OPTIONS=", 20))
            env.emplace_back(*e);
    env.push_back(std::string("LD_PRELOAD=") + VESPER_VUSB_LIB);
    env.push_back("VESPER_VUSB_OPTIONS=" + options);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string s = scenario, t = seconds;
    char* argv[] = {const_cast<char*>(self), s.data(), t.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return 1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--run-full") return fullSpeed(argc > 2 ? std::atof(argv[2]) : 3.0);
    if (first == "--run-stall") return stall();
    const std::string seconds = first.empty() ? "3" : first;
    const int a = again(argv[0], "--run-full", "--ts-rate=max", seconds);
    // 64 Mbit/s: the FIFO's ceiling.
    const int b = again(argv[0], "--run-stall", "--ts-rate=64", seconds);
    return a ? a : b;
}
