// Workers against the b4k-sim program, so that this process holds nothing
// but the worker and its port: what a worker takes it gives back, and its
// frame loop takes no heap memory at all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <thread>

#include "Simulatorprocess.h"
#include "Tempdir.h"
#include "Testframes.h"
#include "protocol/Zuldownloadprotocolclass.h"

static std::atomic<std::size_t> allocations{0};
static std::atomic<std::ptrdiff_t> live{0};

// Every allocation of the process, of any thread, counted: the library's
// array, sized and nothrow forms of new and delete call these (over-aligned
// ones go uncounted). This executable's own: the replacement holds for all of it.
void* operator new(std::size_t size) {
    ++allocations;
    ++live;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// Not inlined, or GCC sees new's memory go to free and warns of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept {
    live -= p != nullptr ? 1 : 0;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

using Bytes = std::vector<std::uint8_t>;

std::size_t Entries(const char* folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

// A joined thread may linger in the task list for a moment after the join.
std::size_t ThreadsSettledTo(std::size_t expected) {
    for (int i = 0; i < 200 && Entries("/proc/self/task") > expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Entries("/proc/self/task");
}

// One worker created, run on an unpaced device as COM3 to its final status, and destroyed.
TEST(Resources, AThousandWorkersLeaveNothingBehindAndTheirFramesAllocateNothing) {
    Tempdir dir;
    SimulatorProcess sim(B4K_SIM_PATH, {"--port-dir", dir.Path().string(), "--com", "3"});
    setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
    TRS232Class port;
    ASSERT_EQ(port.OpenPort(3), 1);
    port.ConfigurePort(166666, 8, 0, 2);
    const auto download = [&port](const std::string& file) {
        TZULDownloadProtocolClass worker(true);
        TZULDownloadProtocolClass::SetDownloadParameters(file, &port);
        worker.Start();
        for (;;) {
            const std::uint32_t ticket = worker.PublicationTicket();
            if (const std::int32_t status = TZULDownloadProtocolClass::GetStatus(); status != 0) {
                return status;
            }
            worker.AwaitPublication(ticket);
        }
    };
    // No frame, 4 frames, a frame of unknown type and no file at all: each
    // ends its worker another way once connected.
    const std::pair<const char*, std::int32_t> runs[] = {
        {"empty.ctf", 1}, {"frames.ctf", 1}, {"unknown.ctf", -14}, {"missing.ctf", -3}};
    WriteBytes(dir.File(runs[0].first), {});
    Bytes frames; // every kind of exchange: a status reply, an echo, no reply, and one not sent
    for (const Bytes& frame : {MakeFrame(3, {0x01}), MakeFrame(9, Bytes(8, 0x99)),
                               MakeFrame(13, {0x42}), MakeFrame(20, {0, 1, 0, 2})}) {
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    WriteBytes(dir.File(runs[1].first), frames);
    WriteBytes(dir.File(runs[2].first), MakeFrame(30, {}));
    for (const auto& [file, status] : runs) { // first use of the library's lazy state
        ASSERT_EQ(download(dir.File(file)), status);
    }
    const std::size_t threads = ThreadsSettledTo(1);
    const std::size_t descriptors = Entries("/proc/self/fd");
    const std::ptrdiff_t before = live;

    std::size_t taken[4] = {}; // allocations of each kind of run
    for (std::size_t i = 0; i < 1000; ++i) {
        const auto& [file, status] = runs[i % 4];
        const std::size_t start = allocations;
        ASSERT_EQ(download(dir.File(file)), status) << "run " << i;
        taken[i % 4] = allocations - start;
    }
    EXPECT_EQ(ThreadsSettledTo(threads), threads);
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(live, before);
    EXPECT_GT(taken[0], 0u); // the counter counts: a thread and a file stream
    EXPECT_EQ(taken[1], taken[0]);
}

} // namespace
