// zul-station against simulated devices in their own sockets: each run sees
// its own device only, the records say what happened in each socket, and a
// file the tool would refuse never reaches a device.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "FirmwareGenerator.h"
#include "Processrunner.h"
#include "Sha256.h"
#include "Simulatorprocess.h"
#include "Tempdir.h"

namespace {

namespace fs = std::filesystem;

// ctf-gen's defaults at 4 KiB: module type 2, revision 1.0, build time 2026-01-01.
const std::string kFirmwareRecord =
    R"("firmware":{"file":"FW","module_type":"00000002","main_revision":1,"sub_revision":0,)"
    R"("build_time":"6955b900","sha256":"bf7f6addd1cb4e7af4f5325275ba47cb53ed8f890915b3242603833270fb5a17"})";
const std::set<std::string> kRunFiles = {"AskModuleType.ctf", "Log.txt", "ModuleInfo.bin",
                                         "Progress.bin"};

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::set<std::string> Entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A bench of sockets: a sysfs tree, a port folder, the station's folder.
class StationBench {
  public:
    StationBench() {
        const std::vector<std::uint8_t> file = GenerateFirmware({.targetBytes = 4096});
        WriteBytes(Firmware(), file);
    }
    std::string Firmware() const { return dir.File("fw.ctf"); }
    std::string Capture(const std::string& slot) const { return dir.File("cap" + slot); }

    // A device plugged into `slot` as COM `com`.
    void Plug(const std::string& slot, int com, std::vector<std::string> faults = {}) {
        std::vector<std::string> args = {
            "--port-dir",    dir.File("ports"), "--com", std::to_string(com), "--sysfs",
            dir.File("sys"), "--usb-path",      slot,    "--capture",         Capture(slot)};
        args.insert(args.end(), faults.begin(), faults.end());
        devices.push_back(std::make_unique<SimulatorProcess>(B4K_SIM_PATH, args));
        ASSERT_FALSE(devices.back()->SlavePath().empty());
    }
    ProcessOptions Environment() const {
        const std::string tools = fs::path(ToolPath()).parent_path().string();
        return {dir.Path().string(),
                {{"ZUL_SYSFS_ROOT", dir.File("sys")},
                 {"ZUL_PORT_DIR", dir.File("ports")},
                 {"PATH", tools + ":" + std::getenv("PATH")}}};
    }
    // The station in the background, to be interrupted.
    pid_t StartStation(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--if", "fw.ctf", "--results", "results.jsonl"});
        return StartProcess(ZUL_STATION_PATH, args, Environment());
    }
    static int Interrupt(pid_t station) {
        kill(station, SIGINT);
        int status = 0;
        waitpid(station, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Waits up to 30 s for `check` to hold.
    template <typename Check> static void Await(Check check) {
        for (int i = 0; i < 600 && !check(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ProcessResult Station(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--if", "fw.ctf", "--results", "results.jsonl"});
        return RunProcess(ZUL_STATION_PATH, args, Environment());
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

// The device's module type is the simulator's default, 2.
std::string Record(const std::string& slot, const std::string& result, int status, int run = 1) {
    return R"({"slot":")" + slot + R"(","start":T,"end":T,"result":)" + result +
           R"(,"exit_status":)" + std::to_string(status) + R"(,"module_type":"00000002",)" +
           std::regex_replace(kFirmwareRecord, std::regex("FW"), "TMP/fw.ctf") +
           R"(,"folder":"TMP/station/)" + slot + "/run-" + std::to_string(run) + "\"}\n";
}

TEST(Station, ProgramsFourSocketsAtOnceEachRunOnItsOwnDevice) {
    StationBench bench;
    for (int i = 1; i <= 4; ++i) {
        const std::vector<std::string> refuseType5 = {"--status", "5=1"}; // ends with -6
        bench.Plug("1-1." + std::to_string(i), 4 + i,
                   i == 3 ? refuseType5 : std::vector<std::string>{});
    }
    const ProcessResult result = bench.Station({});
    EXPECT_EQ(result.exitStatus, 1) << result.out << result.err;
    std::string records = bench.Records();
    EXPECT_EQ(Count(records, "\n"), 4u);
    for (const std::string& record : {Record("1-1.1", "1", 1), Record("1-1.2", "1", 1),
                                      Record("1-1.3", "-6", 250), Record("1-1.4", "1", 1)}) {
        EXPECT_NE(records.find(record), std::string::npos) << record << "in\n" << records;
    }
    EXPECT_EQ(Entries(bench.dir.Path() / "station"),
              (std::set<std::string>{"1-1.1", "1-1.2", "1-1.3", "1-1.4"}));
    for (int i = 1; i <= 4; ++i) {
        const std::string slot = "1-1." + std::to_string(i);
        EXPECT_EQ(Entries(bench.dir.Path() / "station" / slot), std::set<std::string>{"run-1"});
        EXPECT_EQ(Entries(bench.dir.Path() / "station" / slot / "run-1"), kRunFiles) << slot;
        // One session: one wake-up, the query's and the download's connect (type 1).
        const std::string capture = ReadText(bench.Capture(slot));
        EXPECT_EQ(Count(capture, "wakeup"), 1u) << slot;
        EXPECT_EQ(Count(capture, "frame 5B 01 0F"), 2u) << slot;
    }
    EXPECT_NE(ReadText(bench.dir.File("station/1-1.3/run-1/Log.txt"))
                  .find("Error downloading the file (error : -6)"),
              std::string::npos);
}

// Refused before any device is touched: the device's capture stays empty.
TEST(Station, RefusesOnceWhatEveryRunWouldRefuse) {
    struct Row {
        std::string name;
        std::vector<std::string> args;
        bool spoilFile;
        int status;
        std::string says;
    };
    const Row rows[] = {
        {"InvalidFile", {}, true, 1, "File " + std::string("FILE") + " is invalid!!"},
        {"MainRevision", {"--msv", "2"}, false, 1, "main revision is 1 and --msv asks for 2"},
        {"SubRevision", {"--ssv", "$1"}, false, 1, "sub revision is 0 and --ssv asks for 1"},
        {"ModuleType",
         {"--mt", "3"},
         false,
         1,
         "module type is 00000002 and --mt asks for 00000003"},
        {"NotANumber", {"--msv", "1a"}, false, 2, "'1a' is not a valid integer value"},
        {"UnknownOption", {"--com", "5"}, false, 2, "unknown option '--com'"},
    };
    for (const Row& row : rows) {
        StationBench bench;
        bench.Plug("1-1.1", 5);
        if (row.spoilFile) {
            WriteBytes(bench.Firmware(), {'[', 1, 9, ']'});
        }
        const ProcessResult result = bench.Station(row.args);
        EXPECT_EQ(result.exitStatus, row.status) << row.name;
        const std::string says = std::regex_replace(row.says, std::regex("FILE"), bench.Firmware());
        EXPECT_NE(result.err.find(says), std::string::npos) << row.name << ": " << result.err;
        EXPECT_EQ(ReadText(bench.Capture("1-1.1")), "") << row.name;
        EXPECT_FALSE(fs::exists(bench.dir.Path() / "station" / "1-1.1")) << row.name;
    }
}

// --watch: a device plugged in is programmed; one unplugged in the middle
// ends its run as failed, and the next device in that socket is programmed.
TEST(Station, WatchServesEachDevicePluggedIn) {
    StationBench bench;
    const pid_t station = bench.StartStation({"--watch"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bench.Plug("2-1", 7, {"--hangup-after", "10"}); // pulled out during the download
    StationBench::Await([&] { return Count(bench.Records(), "\n") == 1; });
    bench.devices.clear();
    bench.Plug("2-1", 7);
    StationBench::Await([&] { return Count(bench.Records(), "\n") == 2; });
    EXPECT_EQ(StationBench::Interrupt(station), 1);
    EXPECT_EQ(bench.Records(), Record("2-1", "-1", 255) + Record("2-1", "1", 1, 2));
}

// Ctrl-C during a download: it finishes, and the waiting device is left alone.
TEST(Station, InterruptLetsTheRunningDownloadFinish) {
    StationBench bench;
    bench.Plug("1-1.1", 5, {"--baud", "166666"}); // about half a second
    bench.Plug("1-1.2", 6);
    const pid_t station = bench.StartStation({"--max-parallel", "1"});
    StationBench::Await([&] { return fs::exists(bench.dir.File("station/1-1.1/run-1")); });
    EXPECT_EQ(StationBench::Interrupt(station), 1);
    EXPECT_EQ(bench.Records(), Record("1-1.1", "1", 1));
    EXPECT_EQ(ReadText(bench.Capture("1-1.2")), "");
}

TEST(Station, Sha256KnownVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [input, digest] : vectors) {
        Sha256 hash;
        hash.Update(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        EXPECT_EQ(hash.HexDigest(), digest) << input.size() << " bytes";
    }
}

} // namespace
