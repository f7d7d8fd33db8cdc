// Workers against the b4k-sim program, so that this process holds nothing
// but the worker and its port: what a worker takes it gives back, and its
// frame loop takes no heap memory at all.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Allocationcounter.h"
#include "Simulatorprocess.h"
#include "Tempdir.h"
#include "Testframes.h"
#include "protocol/Zuldownloadprotocolclass.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::size_t Entries(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

std::size_t Descriptors() {
    return Entries("/proc/self/fd");
}

// A joined thread may linger in the task list for a moment after the join.
std::size_t ThreadsSettledTo(std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::size_t threads = Entries("/proc/self/task");
    while (threads > expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        threads = Entries("/proc/self/task");
    }
    return threads;
}

// An unpaced device as COM3, and the port open on it as the driver opens it.
class Device {
  public:
    Device() : sim(B4K_SIM_PATH, {"--port-dir", dir.Path().string(), "--com", "3"}) {
        setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
        EXPECT_FALSE(sim.SlavePath().empty());
        EXPECT_EQ(port.OpenPort(3), 1);
        port.ConfigurePort(166666, 8, 0, 2);
    }
    std::string File(const std::string& name) const { return dir.File(name); }

    // One worker created, run to its final status and destroyed.
    std::int32_t Download(const std::string& file) {
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
    }

  private:
    Tempdir dir;
    SimulatorProcess sim;
    TRS232Class port;
};

TEST(Resources, AThousandWorkersLeaveNoThreadDescriptorOrAllocation) {
    Device device;
    // A good frame, a frame of unknown type, and no file at all: each ends its
    // worker another way once connected.
    const std::string good = device.File("good.ctf");
    const std::string unknown = device.File("unknown.ctf");
    WriteBytes(good, MakeFrame(3, {0x01}));
    WriteBytes(unknown, MakeFrame(30, {}));
    const std::vector<std::pair<std::string, std::int32_t>> runs = {
        {good, 1}, {unknown, -14}, {device.File("missing.ctf"), -3}};
    for (const auto& [file, status] : runs) { // first use of the library's lazy state
        ASSERT_EQ(device.Download(file), status);
    }
    const std::size_t threads = ThreadsSettledTo(1);
    const std::size_t descriptors = Descriptors();
    const std::ptrdiff_t live = AllocationCounter::Live();

    int wrong = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto& [file, status] = runs[static_cast<std::size_t>(i) % runs.size()];
        wrong += device.Download(file) != status ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(ThreadsSettledTo(threads), threads);
    EXPECT_EQ(Descriptors(), descriptors);
    EXPECT_EQ(AllocationCounter::Live(), live);
}

// Frames of every kind of exchange: a status reply, an echo, no reply, and
// one that is not sent; each ends at a new percentage, so that every frame
// also publishes progress.
Bytes Frames(int count) {
    const std::vector<Bytes> kinds = {MakeFrame(3, {0x01}), MakeFrame(9, Bytes(8, 0x99)),
                                      MakeFrame(13, {0x42}), MakeFrame(20, {0, 1, 0, 2})};
    Bytes file;
    for (int i = 0; i < count; ++i) {
        const Bytes& frame = kinds[static_cast<std::size_t>(i) % kinds.size()];
        file.insert(file.end(), frame.begin(), frame.end());
    }
    return file;
}

TEST(Resources, TheFrameLoopAllocatesNothing) {
    Device device;
    const std::string file = device.File("fw.ctf");
    WriteBytes(file, Frames(4));
    ASSERT_EQ(device.Download(file), 1); // first use of the library's lazy state
    std::vector<std::size_t> allocations;
    for (const int frames : {0, 20, 80}) {
        WriteBytes(file, Frames(frames));
        const std::size_t before = AllocationCounter::Allocations();
        ASSERT_EQ(device.Download(file), 1);
        allocations.push_back(AllocationCounter::Allocations() - before);
    }
    EXPECT_GT(allocations[0], 0u); // the counter counts: a thread and a file stream
    EXPECT_EQ(allocations[1], allocations[0]);
    EXPECT_EQ(allocations[2], allocations[0]);
}

} // namespace
