#include <gtest/gtest.h>

#include <chrono>
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

} // namespace

TEST(DownloadWorker, EachCommandTypeIsTriedThreeTimesThenFailsWithItsOwnCode) {
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
        bench.sim.WaitForItems(4, 1000); // the connect frame, then three attempts
        EXPECT_EQ(bench.sim.CapturedFrames().size(), 4u) << int{row.type};
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

// Unanswered connects cost three 100 ms time-outs a call; the window is 4 to
// 5 s (whole seconds past 4), and the call in flight when it closes ends first.
TEST(DownloadWorker, TheConnectWindowLastsFourToFiveSeconds) {
    const struct {
        int ignored;
        std::int32_t status;
        double minSeconds, maxSeconds;
    } cases[] = {{36, 1, 3.6, 4.5}, {1 << 20, -4, 4.0, 5.6}};
    for (const auto& c : cases) {
        DeviceConfig config;
        config.ignoreConnects = c.ignored;
        Bench bench(config);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(bench.Download(MakeFrame(3, {0})), c.status);
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        EXPECT_GE(seconds.count(), c.minSeconds) << c.ignored;
        EXPECT_LE(seconds.count(), c.maxSeconds) << c.ignored;
    }
}

TEST(DownloadWorker, ProgressIsTruncatedNotRounded) {
    Bench bench(DeviceConfig{});
    Bytes file = MakeFrame(3, {0, 0, 0, 0}); // ends at position 9 of 1000
    file.resize(1000, '.');
    std::uint8_t progress = 0xFF;
    EXPECT_EQ(bench.Download(file, &progress), 1);
    EXPECT_EQ(progress, 0); // 0.9 %
}
