// zul-station against simulated devices in their own sockets: each run sees
// its own device only, the records say what happened in each socket, and a
// file the tool would refuse never reaches a device.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "FirmwareGenerator.h"
#include "Processrunner.h"
#include "Simulatorprocess.h"
#include "Tempdir.h"

namespace {

using Args = std::vector<std::string>;

long Count(const std::string& text, const std::string& part) {
    const std::regex pattern(part);
    return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), {});
}

// A bench of sockets: a sysfs tree, a port folder, the station's folder, and
// a 4 KiB file of ctf-gen's (type 2, revision 7.9, build time 1258291200, seed 3),
// as `ctf-gen --revision 7.9 --build-time 1258291200 --size 4K --seed 3` writes it.
struct StationBench {
    StationBench() {
        WriteBytes(dir.File("fw.ctf"), GenerateFirmware({2, 7, 9, 1258291200, 4096, 3}));
    }

    // A device plugged into `slot` as COM `com`.
    void Plug(const std::string& slot, int com, Args faults = {}) {
        faults.insert(faults.begin(),
                      {"--port-dir", dir.File("ports"), "--com", std::to_string(com), "--sysfs",
                       dir.File("sys"), "--usb-path", slot, "--capture", dir.File("cap" + slot)});
        devices.push_back(std::make_unique<SimulatorProcess>(B4K_SIM_PATH, faults));
    }
    // The station to its end, or with `background` its process, to be interrupted.
    ProcessResult Run(Args args, pid_t* background = nullptr) const {
        args.insert(args.begin(), {"--if", "fw.ctf", "--results", "results.jsonl"});
        const std::string tools = std::filesystem::path(ToolPath()).parent_path().string();
        const ProcessOptions options = {dir.Path().string(),
                                        {{"ZUL_SYSFS_ROOT", dir.File("sys")},
                                         {"ZUL_PORT_DIR", dir.File("ports")},
                                         {"PATH", tools + ":" + std::getenv("PATH")}}};
        if (background != nullptr) {
            *background = StartProcess(ZUL_STATION_PATH, args, options);
            return {};
        }
        return RunProcess(ZUL_STATION_PATH, args, options);
    }
    // The results, times and folder made literal.
    std::string Records() const {
        std::string text = ReadText(dir.File("results.jsonl"));
        text = std::regex_replace(text, std::regex(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")"), "T");
        return std::regex_replace(text, std::regex(dir.Path().string()), "TMP");
    }

    Tempdir dir;
    std::vector<std::unique_ptr<SimulatorProcess>> devices;
};

// Waits up to 30 s for `done` to hold.
void Await(const auto& done) {
    for (int i = 0; i < 600 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Ctrl-C, then its exit status; killed (-1) when it has not ended 30 s later.
int Interrupt(pid_t station) {
    kill(station, SIGINT);
    int status = 0;
    for (int i = 0; waitpid(station, &status, WNOHANG) == 0; ++i) {
        kill(station, i < 600 ? 0 : SIGKILL); // 0 sends nothing
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A record of the simulator's default device (module type 2) and the bench's
// file (module type 2, revision 7.9, built 2009-11-15; its digest from sha256sum).
std::string Record(const std::string& slot, const std::string& result, int status, int run = 1) {
    return R"({"slot":")" + slot + R"(","start":T,"end":T,"result":)" + result +
           R"(,"exit_status":)" + std::to_string(status) +
           R"(,"module_type":"00000002","firmware":{"file":"TMP/fw.ctf","module_type":"00000002",)"
           R"("main_revision":7,"sub_revision":9,"build_time":"4b000000","sha256":)"
           R"("a49c67d270b943f6f9cabf1cb90a81ab5559133f1827cf55a05711fd47533634"},)" +
           R"("folder":"TMP/station/)" + slot + "/run-" + std::to_string(run) + "\"}\n";
}

TEST(Station, ProgramsFourSocketsAtOnceEachRunOnItsOwnDevice) {
    StationBench bench;
    for (int i = 1; i <= 4; ++i) {
        bench.Plug("1-1." + std::to_string(i), 4 + i, i == 3 ? Args{"--status", "5=1"} : Args{});
    }
    EXPECT_EQ(bench.Run({}).exitStatus, 1);
    const std::string records = bench.Records();
    EXPECT_EQ(Count(records, "\n"), 4);
    for (int i = 1; i <= 4; ++i) {
        const std::string slot = "1-1." + std::to_string(i);
        const std::string record = Record(slot, i == 3 ? "-6" : "1", i == 3 ? 250 : 1);
        EXPECT_NE(records.find(record), std::string::npos) << record << "in\n" << records;
        // One session: one wake-up, the query's and the download's connect (type 1).
        const std::string capture = ReadText(bench.dir.File("cap" + slot));
        EXPECT_EQ(Count(capture, "wakeup"), 1) << slot;
        EXPECT_EQ(Count(capture, "frame 5B 01 0F"), 2) << slot;
    }
}

// A port of the loopback address held by a listening socket of its own.
struct HeldPort {
    HeldPort() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        listen(fd, 1);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = std::to_string(ntohs(address.sin_port));
    }
    ~HeldPort() { close(fd); }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    std::string port;
};

// Refused before any device is touched: the device's capture stays empty.
TEST(Station, RefusesOnceWhatEveryRunWouldRefuse) {
    const HeldPort held;
    const std::vector<std::tuple<Args, int, std::string>> rows = {
        {{}, 1, "/fw.ctf is invalid!!"}, // a spoilt file
        {{"--msv", "2"}, 1, "main revision is 7 and --msv asks for 2"},
        {{"--ssv", "$1"}, 1, "sub revision is 9 and --ssv asks for 1"},
        {{"--mt", "3"}, 1, "module type is 00000002 and --mt asks for 00000003"},
        {{"--msv", "1a"}, 2, "'1a' is not a valid integer value"},
        {{"--com", "5"}, 2, "unknown option '--com'"},
        {{"--http", "65536"}, 2, "bad value '65536' for '--http'"},
        {{"--http", "::1:80"}, 2, "bad value '::1:80' for '--http'"}, // brackets needed
        {{"--http", "127.0.0.1:" + held.port}, 1, "Address already in use"},
    };
    for (const auto& [args, status, says] : rows) {
        SCOPED_TRACE(says);
        StationBench bench;
        bench.Plug("1-1.1", 5);
        if (args.empty()) {
            WriteBytes(bench.dir.File("fw.ctf"), {'[', 1, 9, ']'});
        }
        const ProcessResult result = bench.Run(args);
        EXPECT_EQ(result.exitStatus, status);
        EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
        EXPECT_EQ(ReadText(bench.dir.File("cap1-1.1")), "");
    }
}

// --watch: a device unplugged in the middle ends its run as failed, and the
// next device in that socket is programmed; Ctrl-C during its download lets it
// finish, and the device waiting for a free place is left alone.
TEST(Station, WatchServesEachDevicePluggedInAndInterruptLetsTheDownloadFinish) {
    StationBench bench;
    pid_t station = -1;
    bench.Run({"--watch", "--max-parallel", "1"}, &station);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bench.Plug("2-1", 7, {"--hangup-after", "10"});
    Await([&] { return Count(bench.Records(), "\n") == 1; });
    bench.devices.clear();
    bench.Plug("2-1", 7, {"--baud", "166666"}); // about half a second
    bench.Plug("2-2", 8);
    Await([&] { return std::filesystem::exists(bench.dir.File("station/2-1/run-2")); });
    EXPECT_EQ(Interrupt(station), 1);
    EXPECT_EQ(bench.Records(), Record("2-1", "-1", 255) + Record("2-1", "1", 1, 2));
    EXPECT_EQ(ReadText(bench.dir.File("cap2-2")), "");
}

} // namespace
