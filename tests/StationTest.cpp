// zul-station against simulated devices in their own sockets: each run sees
// its own device only, the records say what happened in each socket, and a
// file the tool would refuse never reaches a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <sys/wait.h>
#include <thread>

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
        std::filesystem::create_directory(dir.File("runtime")); // the station's XDG_RUNTIME_DIR
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
        ProcessOptions options = {dir.Path().string(),
                                  {{"ZUL_SYSFS_ROOT", dir.File("sys")},
                                   {"ZUL_PORT_DIR", dir.File("ports")},
                                   {"PATH", tools + ":" + std::getenv("PATH")},
                                   {"XDG_RUNTIME_DIR", dir.File("runtime")}}};
        if (background != nullptr) {
            options.ownProcessGroup = true; // a job of its own, for the terminal's Ctrl-C
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

// Ctrl-C, which a terminal sends to the whole job, then its exit status;
// killed (-1) when it has not ended 30 s later.
int Interrupt(pid_t station) {
    kill(-station, SIGINT);
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
    const ProcessResult run = bench.Run({});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(Count(run.out, " programming, "), 4) << run.out; // each device answered its type
    EXPECT_TRUE(std::filesystem::is_empty(bench.dir.File("runtime"))); // the runs' views gone
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

// Refused before any device is touched and without a record: the device's
// capture stays empty. The file is the bench's first `keep` bytes: its three
// identification records are 9 bytes each, and 616 ends its seventh frame.
TEST(Station, RefusesOnceWhatEveryRunWouldRefuse) {
    const std::string digest = "a49c67d270b943f6f9cabf1cb90a81ab5559133f1827cf55a05711fd47533634";
    const std::string cutDigest =
        "f9753f646625d55c23060f22c1b1d6120c65aca367a07065d49e6abc937454f4";
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    constexpr std::size_t kWhole = SIZE_MAX;
    const std::vector<std::tuple<std::size_t, Args, int, std::string>> rows = {
        {1, {}, 1, "/fw.ctf is invalid!!"}, // a frame cut short
        {kWhole, {"--msv", "2"}, 1, "main revision is 7 and --msv asks for 2"},
        {kWhole,
         {"--ssv", "$1"},
         1,
         "sub revision is 9 and --ssv asks for 1 (every run would end with -257)"},
        {kWhole, {"--mt", "3"}, 1, "module type is 00000002 and --mt asks for 00000003"},
        {kWhole, {"--msv", "1a"}, 2, "'1a' is not a valid integer value"},
        {kWhole, {"--com", "5"}, 2, "unknown option '--com'"},
        {0, {}, 1, "no frame besides identification records"},
        {27, {"--msv", "7"}, 1, "no frame besides identification records"},
        {616, {"--sha256", digest}, 1, cutDigest + " and --sha256 asks for " + digest},
        {kWhole, {"--sha256", upper, "--mt", "3"}, 1, "module type is 00000002 and --mt"},
        {kWhole, {"--sha256", digest.substr(1)}, 2, "--sha256"},
        {kWhole, {"--sha256", digest.substr(1) + "g"}, 2, "--sha256"},
    };
    for (const auto& [keep, args, status, says] : rows) {
        SCOPED_TRACE(says);
        StationBench bench;
        bench.Plug("1-1.1", 5);
        std::vector<std::uint8_t> file = ReadBytes(bench.dir.File("fw.ctf"));
        file.resize(std::min(keep, file.size()));
        WriteBytes(bench.dir.File("fw.ctf"), file);
        const ProcessResult result = bench.Run(args);
        EXPECT_EQ(result.exitStatus, status);
        EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
        EXPECT_EQ(ReadText(bench.dir.File("cap1-1.1")), "");
        EXPECT_FALSE(std::filesystem::exists(bench.dir.File("results.jsonl")));
    }
}

// A tmux server of its own, with one window of `width` columns running `command`.
struct Tmux {
    Tmux(const Tempdir& dir, int width, const std::string& command) : socket(dir.File("tmux")) {
        started =
            Do({"new-session", "-d", "-s", "t", "-x", std::to_string(width), "-y", "30", command})
                .exitStatus == 0;
    }
    ~Tmux() { Do({"kill-server"}); }
    ProcessResult Do(Args args) const {
        args.insert(args.begin(), {"-u", "TMUX", "tmux", "-f", "/dev/null", "-S", socket});
        return RunProcess("/usr/bin/env", args);
    }
    // The screen's rows, trailing blanks dropped; with "-J" a wrapped row joins the next.
    std::string Screen(const char* join = "-N") const {
        const std::string screen = Do({"capture-pane", "-p", join, "-t", "t"}).out;
        return std::regex_replace(screen, std::regex(" +\n"), "\n");
    }
    std::string socket;
    bool started = false;
};

// On a terminal of each width, resized or not during the run: no row wraps;
// above the summary (slots in natural order), the slots, each on one row,
// then the Ctrl-C notice, and nothing else. The device in 1-10 fails at once
// with a long meaning (-13: its echo of a type 18 command is wrong); the one
// in 1-2 is paced to take a few seconds.
TEST(Station, ScreenFitsTheTerminalWhateverItsWidth) {
    const std::regex expected(R"(^(started\n)?1-2 +\[#{20}\] 100% +\d+ s done\n)"
                              R"(1-10 +\[-{20}\] +0% +\d+ s failed: -13[^\n]*\n)"
                              R"(zul-station: Ctrl-C[^\n]*\n((?!1-|slot)[^\n]+\n)?\n)"
                              R"(slot +result +exit +time +meaning\n1-2 +1 +1 [^\n]+\n)"
                              R"(1-10 +-13 +243 [^\n]+\nended\n)");
    for (const auto& [width, resized] : {std::pair{80, 80}, {60, 60}, {80, 60}}) {
        SCOPED_TRACE(std::to_string(width) + " to " + std::to_string(resized) + " columns");
        StationBench bench;
        bench.Plug("1-2", 5, {"--baud", "19200"});
        bench.Plug("1-10", 6, {"--wrong-echo", "18"});
        const std::string tools = std::filesystem::path(ToolPath()).parent_path().string();
        const Tmux tmux(bench.dir, width,
                        "echo started; cd " + bench.dir.Path().string() +
                            " && env ZUL_SYSFS_ROOT=sys ZUL_PORT_DIR=ports PATH=" + tools +
                            ":$PATH " + ZUL_STATION_PATH + " --if fw.ctf; echo ended; sleep 60");
        if (!tmux.started) {
            GTEST_SKIP() << "tmux cannot be run here (scripts/ensure-deps.sh installs it)";
        }
        Await([&] { return Count(tmux.Screen(), "failed: -13|programming") == 2; });
        tmux.Do({"resize-window", "-t", "t", "-x", std::to_string(resized)});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        tmux.Do({"send-keys", "-t", "t", "C-c"});
        Await([&] { return Count(tmux.Screen(), "ended") == 1; });
        const std::string screen = tmux.Screen();
        EXPECT_EQ(tmux.Screen("-J"), screen) << "a row wrapped";
        EXPECT_TRUE(std::regex_search(screen, expected)) << screen;
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
