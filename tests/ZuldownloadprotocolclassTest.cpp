#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "B4kSimulator.h"
#include "Tempdir.h"
#include "Testframes.h"
#include "protocol/Zuldownloadprotocolclass.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A simulator linked as COM3 and a port opened on it.
struct Bench {
    Tempdir dir;
    B4kSimulator sim;
    TRS232Class port;

    explicit Bench(DeviceConfig config) : sim(Options(config, dir)) {
        setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
        EXPECT_TRUE(sim.Start()) << sim.Error();
        EXPECT_EQ(port.OpenPort(3), 1);
        port.ConfigurePort(166666, 8, 0, 2);
    }
    static SimulatorOptions Options(DeviceConfig config, const Tempdir& dir) {
        SimulatorOptions options;
        options.device = config;
        options.portDir = dir.Path().string();
        options.comNumber = 3;
        return options;
    }
    std::int32_t Download(const Bytes& file, std::uint8_t* lastProgress = nullptr) {
        const std::string name = dir.File("fw.ctf");
        WriteBytes(name, file);
        TZULDownloadProtocolClass worker(true);
        TZULDownloadProtocolClass::SetDownloadParameters(name, &port);
        worker.Start();
        std::int32_t status = 0;
        for (;;) {
            const std::uint32_t ticket = worker.PublicationTicket();
            if ((status = TZULDownloadProtocolClass::GetStatus()) != 0) {
                break;
            }
            worker.AwaitPublication(ticket);
        }
        if (lastProgress != nullptr) {
            *lastProgress = worker.GetProgress();
        }
        return status;
    }
};

Bytes ConnectFrame() {
    Bytes frame(kConnectFrameSize);
    TZULDownloadProtocolClass::BuildConnectFrame(frame.data());
    return frame;
}

} // namespace

TEST(DownloadWorker, SendsEveryFrameButRecordsAndEndsAtFullProgress) {
    Bench bench(DeviceConfig{});
    const Bytes f3 = MakeFrame(3, {7}), f9 = MakeFrame(9, {1, 2, 3}),
                f20 = MakeFrame(20, {0, 1, 0, 2});
    Bytes file = f3;
    file.insert(file.end(), {'\r', '\n'});
    file.insert(file.end(), f20.begin(), f20.end());
    file.insert(file.end(), f9.begin(), f9.end());
    std::uint8_t progress = 0;
    EXPECT_EQ(bench.Download(file, &progress), 1);
    EXPECT_EQ(progress, 100);
    bench.sim.WaitForItems(3, 1000);
    const auto frames = bench.sim.CapturedFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], ConnectFrame());
    EXPECT_EQ(frames[1], f3);
    EXPECT_EQ(frames[2], f9);
}

TEST(DownloadWorker, UnknownTypeStopsWithNothingSent) {
    Bench bench(DeviceConfig{});
    EXPECT_EQ(bench.Download(MakeFrame(2, {})), -14);
    bench.sim.WaitForItems(1, 300);
    EXPECT_EQ(bench.sim.CapturedFrames().size(), 1u); // the connect frame only
}

TEST(DownloadWorker, FailedCheckIsRetriedThreeTimesWithTheRowsCode) {
    DeviceConfig config;
    config.replyStatus[5] = 1;
    Bench bench(config);
    const Bytes f5 = MakeFrame(5, {9, 9});
    EXPECT_EQ(bench.Download(f5), -6);
    bench.sim.WaitForItems(4, 1000);
    const auto frames = bench.sim.CapturedFrames();
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], f5);
    }
}

TEST(DownloadWorker, SilentDeviceClosesTheConnectWindow) {
    DeviceConfig config;
    config.silent = true;
    Bench bench(config);
    EXPECT_EQ(bench.Download(MakeFrame(3, {0})), -4);
}

TEST(DownloadWorker, HangUpMidDownloadEndsWithTransferFailure) {
    DeviceConfig config;
    config.hangupAfterFrames = 2;
    Bench bench(config);
    Bytes file;
    for (int i = 0; i < 5; ++i) {
        const Bytes f = MakeFrame(3, {0});
        file.insert(file.end(), f.begin(), f.end());
    }
    EXPECT_EQ(bench.Download(file), -1);
}

TEST(DownloadWorker, ModuleTypeIsTakenEvenWhenTheEchoFails) {
    DeviceConfig config;
    config.moduleType = 0x00000002;
    Bench bench(config);
    EXPECT_EQ(bench.Download(MakeFrame(18, {0xFF, 0xFF, 0xFF, 0xFF})), -13);
    EXPECT_EQ(TZULDownloadProtocolClass::GetDeviceModuleType(), 2u);
}

TEST(DownloadWorker, EachCommandTypeFailsWithItsOwnCode) {
    struct Row {
        std::uint8_t type;
        std::int32_t code;
        bool wrongEcho;
    };
    for (const Row row :
         {Row{3, -5, false}, Row{5, -6, false}, Row{7, -7, false}, Row{11, -9, false},
          Row{14, -11, false}, Row{9, -8, true}, Row{16, -12, true}}) {
        DeviceConfig config;
        if (row.wrongEcho) {
            config.wrongEchoType = row.type;
        } else {
            config.replyStatus[row.type] = 2;
        }
        Bench bench(config);
        EXPECT_EQ(bench.Download(MakeFrame(row.type, {4, 5})), row.code) << int{row.type};
    }
}

TEST(DownloadWorker, LateConnectAcknowledgeAndCorruptReplyAreRecovered) {
    DeviceConfig config;
    config.ignoreConnects = 4;     // two whole ConnectDevice calls and one attempt
    config.corruptReplyNumber = 2; // the first reply after the connect acknowledge
    Bench bench(config);
    const Bytes f3 = MakeFrame(3, {1});
    EXPECT_EQ(bench.Download(f3), 1);
    bench.sim.WaitForItems(7, 1000);
    const auto items = bench.sim.Capture();
    ASSERT_EQ(bench.sim.CapturedFrames().size(), 7u); // 5 connects, the frame twice
    // The malformed reply costs a pause and a flush of one 100 ms time-out.
    EXPECT_GE(items[6].ms - items[5].ms, 115.0);
}

TEST(DownloadWorker, NoReplyCommandIsSentOnceAndNotAwaited) {
    Bench bench(DeviceConfig{});
    const Bytes f13 = MakeFrame(13, {});
    EXPECT_EQ(bench.Download(f13), 1);
    bench.sim.WaitForItems(2, 1000);
    const auto frames = bench.sim.CapturedFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], f13);
}

TEST(DownloadWorker, ProgressIsTruncatedNotRounded) {
    Bench bench(DeviceConfig{});
    Bytes file = MakeFrame(3, {0, 0, 0, 0}); // ends at position 9 of 1000
    file.resize(1000, '.');
    std::uint8_t progress = 0xFF;
    EXPECT_EQ(bench.Download(file, &progress), 1);
    EXPECT_EQ(progress, 0); // 0.9 %
}
