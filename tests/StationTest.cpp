// zul-station against simulated devices in their own sockets: each run sees
// its own device only, the records say what happened in each socket (each a
// line any JSON parser takes, each run once, even across a killed station),
// and a file the tool would refuse never reaches a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
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
using nlohmann::json;

long Count(const std::string& text, const std::string& part) {
    const std::regex pattern(part);
    return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), {});
}

// Runs of blanks as one space: columns compared without their widths.
std::string Squeezed(const std::string& text) {
    return std::regex_replace(text, std::regex("[ \t]+"), " ");
}

std::string HostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
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
            const int out = open(dir.File("station.out").c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            *background = StartProcess(ZUL_STATION_PATH, args, options, out);
            close(out);
            return {};
        }
        return RunProcess(ZUL_STATION_PATH, args, options);
    }
    // Each line of the results parsed (a line that is not JSON in UTF-8 throws),
    // its times checked and taken out.
    std::vector<json> Records() const {
        std::istringstream lines(ReadText(dir.File("results.jsonl")));
        std::vector<json> records;
        const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
        for (std::string line; std::getline(lines, line);) {
            json record = json::parse(line);
            for (const char* time : {"start", "end"}) {
                EXPECT_TRUE(std::regex_match(record[time].get<std::string>(), iso)) << line;
                record.erase(time);
            }
            records.push_back(record);
        }
        return records;
    }
    // A record of the simulator's default device (module type 2) and the bench's
    // file (module type 2, revision 7.9, built 2009-11-15; its digest from
    // sha256sum), in folder "<station>/<slot>/run-<run>".
    json Record(const std::string& slot, json result, int status, int run = 1,
                const json& more = json::object(), const std::string& station = "station") const {
        json record = {
            {"slot", slot},
            {"label", nullptr},
            {"result", result},
            {"exit_status", status},
            {"module_type", "00000002"},
            {"firmware",
             {{"file", dir.File("fw.ctf")},
              {"module_type", "00000002"},
              {"main_revision", 7},
              {"sub_revision", 9},
              {"build_time", "4b000000"},
              {"sha256", "a49c67d270b943f6f9cabf1cb90a81ab5559133f1827cf55a05711fd47533634"}}},
            {"folder", dir.File(station + "/" + slot + "/run-" + std::to_string(run))},
            {"attempt", 1},
            {"station", HostName()},
            {"tool_version", "1.1"}, // as the tool's --help states it
            {"tags", json::object()},
            {"recovered", false}};
        record.update(more);
        return record;
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

// The line's sockets 1-1.1 to 1-1.4 (1-1.4 empty) with labels; a B4K in
// 3-1, outside them, is listed but never touched. Each run sees its own
// device only, and each record carries the label, the tags and a folder
// name that is not UTF-8 (byte FF, written as U+FFFD).
TEST(Station, ProgramsTheSocketsOfItsLineEachRunOnItsOwnDevice) {
    StationBench bench;
    for (int i = 1; i <= 3; ++i) {
        bench.Plug("1-1." + std::to_string(i), 4 + i, i == 3 ? Args{"--status", "5=1"} : Args{});
    }
    bench.Plug("3-1", 9);
    WriteBytes(bench.dir.File("slots.txt"),
               {'#',  ' ', 'l', 'i', 'n', 'e',  '\n', '1', '-', '1', '.', '1', ' ',  'A', '1', '\n',
                '\n', '1', '-', '1', '.', '2',  '\t', 'A', '2', ' ', '#', 'x', '\n', '1', '-', '1',
                '.',  '3', ' ', 'A', '3', '\n', '1',  '-', '1', '.', '4', ' ', 'A',  '4', '\n'});
    const ProcessResult list = bench.Run({"--list", "--slots", "slots.txt"});
    EXPECT_EQ(list.exitStatus, 0);
    const std::string ports = bench.dir.File("ports/COM");
    EXPECT_EQ(Squeezed(list.out), "1-1.1 " + ports + "5 A1\n1-1.2 " + ports + "6 A2\n1-1.3 " +
                                      ports + "7 A3\n3-1 " + ports + "9\n");
    const ProcessResult result =
        bench.Run({"--slots", "slots.txt", "--tag", "lot=L7", "--tag", "op=", "--dir", "st\xff"});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(Count(result.out, "3-1: not a socket of slots.txt, left alone"), 1) << result.out;
    EXPECT_EQ(Count(result.out, " programming, "), 3) << result.out;   // each answered its type
    EXPECT_TRUE(std::filesystem::is_empty(bench.dir.File("runtime"))); // the runs' views gone
    std::vector<json> records = bench.Records(); // in the order the runs ended
    std::sort(records.begin(), records.end(),
              [](const json& a, const json& b) { return a["slot"] < b["slot"]; });
    ASSERT_EQ(records.size(), 3u);
    for (int i = 1; i <= 3; ++i) {
        const std::string slot = "1-1." + std::to_string(i);
        const json more = {{"label", "A" + std::to_string(i)},
                           {"tags", {{"lot", "L7"}, {"op", ""}}}};
        EXPECT_EQ(records[i - 1],
                  bench.Record(slot, i == 3 ? -6 : 1, i == 3 ? 250 : 1, 1, more, "st\xef\xbf\xbd"));
        // One session: one wake-up, the query's and the download's connect (type 1).
        const std::string capture = ReadText(bench.dir.File("cap" + slot));
        EXPECT_EQ(Count(capture, "wakeup"), 1) << slot;
        EXPECT_EQ(Count(capture, "frame 5B 01 0F"), 2) << slot;
    }
    EXPECT_EQ(ReadText(bench.dir.File("cap3-1")), "");
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

// Refused before any device is touched and without a record: the device's
// capture stays empty. The file is the bench's first `keep` bytes: its three
// identification records are 9 bytes each, and 616 ends its seventh frame.
TEST(Station, RefusesOnceWhatEveryRunWouldRefuse) {
    const HeldPort held;
    const std::string digest = "a49c67d270b943f6f9cabf1cb90a81ab5559133f1827cf55a05711fd47533634";
    const std::string cutDigest =
        "f9753f646625d55c23060f22c1b1d6120c65aca367a07065d49e6abc937454f4";
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    constexpr std::size_t kWhole = SIZE_MAX;
    const std::vector<std::tuple<std::size_t, Args, std::string, int, std::string>> rows = {
        {1, {}, "", 1, "/fw.ctf is invalid!!"}, // a frame cut short
        {kWhole, {"--msv", "2"}, "", 1, "main revision is 7 and --msv asks for 2"},
        {kWhole,
         {"--ssv", "$1"},
         "",
         1,
         "sub revision is 9 and --ssv asks for 1 (every run would end with -257)"},
        {kWhole, {"--mt", "3"}, "", 1, "module type is 00000002 and --mt asks for 00000003"},
        {kWhole, {"--msv", "1a"}, "", 2, "'1a' is not a valid integer value"},
        {kWhole, {"--com", "5"}, "", 2, "unknown option '--com'"},
        {kWhole, {"--http", "65536"}, "", 2, "bad value '65536' for '--http'"},
        {kWhole, {"--http", "::1:80"}, "", 2, "bad value '::1:80' for '--http'"}, // needs []
        {kWhole, {"--http", "127.0.0.1:" + held.port}, "", 1, "Address already in use"},
        {0, {}, "", 1, "no frame besides identification records"},
        {27, {"--msv", "7"}, "", 1, "no frame besides identification records"},
        {616, {"--sha256", digest}, "", 1, cutDigest + " and --sha256 asks for " + digest},
        {kWhole, {"--sha256", upper, "--mt", "3"}, "", 1, "module type is 00000002 and --mt"},
        {kWhole, {"--sha256", digest.substr(1)}, "", 2, "--sha256"},
        {kWhole, {"--sha256", digest.substr(1) + "g"}, "", 2, "--sha256"},
        {kWhole, {"--tag", "lot"}, "", 2, "bad value 'lot' for '--tag'"},
        {kWhole, {"--tag", "lot-no=1"}, "", 2, "bad value 'lot-no=1' for '--tag'"},
        {kWhole, {"--retries", "10"}, "", 2, "bad value '10' for '--retries'"},
        {kWhole, {"--retries"}, "", 2, "option '--retries' needs a value"},
        {kWhole, {"extra"}, "", 2, "unexpected argument 'extra'"},
        {kWhole, {"--slots", "s"}, "1-1.2 A\n\n1-1.1\n", 2, "s:3: socket 1-1.1 has no label"},
        {kWhole, {"--slots", "s"}, "1-1.1 A\n1-1.1 B\n", 2, "s:2: socket 1-1.1 named twice"},
        {kWhole, {"--slots", "s"}, "# x\n1-1.2 A\n1-1.1 A #\n", 2, "s:3: label A named twice"},
    };
    for (const auto& [keep, args, slots, status, says] : rows) {
        SCOPED_TRACE(says);
        StationBench bench;
        bench.Plug("1-1.1", 5);
        std::vector<std::uint8_t> file = ReadBytes(bench.dir.File("fw.ctf"));
        file.resize(std::min(keep, file.size()));
        WriteBytes(bench.dir.File("fw.ctf"), file);
        WriteBytes(bench.dir.File("s"), {slots.begin(), slots.end()});
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

// A failed run starts again on the same device, each attempt in its own
// folder with its own record, up to --retries more times. Replies 6 to 8 are
// the three attempts at the download's first frame: one run of 4 replies for
// the query goes before (connect, then the type 18 record thrice), then the
// download's connect.
TEST(Station, RetriesAFailedRunOnTheSameDevice) {
    const std::vector<std::tuple<Args, std::string, std::vector<int>, int>> rows = {
        {{"--corrupt-reply", "6-8"}, "1", {-1, 1}, 0},
        {{"--corrupt-reply", "6-8"}, "0", {-1}, 1},
        {{"--status", "5=1"}, "2", {-6, -6, -6}, 1},
    };
    for (const auto& [faults, retries, results, status] : rows) {
        SCOPED_TRACE(retries + " " + faults.back());
        StationBench bench;
        bench.Plug("2-1", 5, faults);
        EXPECT_EQ(bench.Run({"--retries", retries}).exitStatus, status);
        std::vector<json> expected;
        for (std::size_t i = 0; i < results.size(); ++i) {
            const int run = static_cast<int>(i) + 1;
            const int exit = results[i] == 1 ? 1 : 256 + results[i];
            expected.push_back(bench.Record("2-1", results[i], exit, run, {{"attempt", run}}));
        }
        EXPECT_EQ(bench.Records(), expected);
    }
}

// The process working in `folder`: the tool of a run; -1 when none.
pid_t ProcessIn(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code failure;
        const auto cwd = std::filesystem::read_symlink(entry.path() / "cwd", failure);
        if (!failure && cwd == std::filesystem::canonical(folder)) {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

// Killed with SIGKILL during three paced downloads: they go on. The next
// start records at once the one that ended meanwhile and the one cut off
// (its tool killed: no result), waits for the third, starting none of the
// devices again; a start after that records nothing, even where a run's own
// mark of its record is missing.
TEST(Station, ARestartRecordsWhatAKilledStationLeftEachRunOnce) {
    StationBench bench;
    bench.Plug("1-1.1", 5, {"--baud", "40000"});
    bench.Plug("1-1.2", 6, {"--baud", "12000"});
    bench.Plug("1-1.3", 7, {"--baud", "12000"});
    pid_t station = -1;
    bench.Run({}, &station);
    const auto file = [&](const std::string& slot, const char* name) {
        return ReadText(bench.dir.File("station/" + slot + "/run-1/" + name));
    };
    Await([&] {
        std::size_t bytes = 0;
        for (const char* slot : {"1-1.1", "1-1.2", "1-1.3"}) {
            bytes += file(slot, "ModuleInfo.bin").size();
        }
        return bytes == 12;
    });
    kill(station, SIGKILL);
    waitpid(station, nullptr, 0);
    ASSERT_EQ(kill(ProcessIn(bench.dir.File("station/1-1.3/run-1")), SIGKILL), 0);
    Await([&] { return file("1-1.1", "Log.txt").find("Download time") != std::string::npos; });
    EXPECT_EQ(file("1-1.2", "Log.txt").find("Download time"), std::string::npos);
    EXPECT_EQ(bench.Run({}).exitStatus, 1); // the run cut off failed
    bench.devices.clear();
    std::filesystem::remove(bench.dir.File("station/1-1.1/run-1/Record.json"));
    EXPECT_EQ(bench.Run({}).exitStatus, 1); // no B4K found
    const json recovered = {{"recovered", true}};
    const json cutOff = {{"recovered", true}, {"exit_status", nullptr}};
    EXPECT_EQ(bench.Records(), (std::vector<json>{bench.Record("1-1.1", 1, 1, 1, recovered),
                                                  bench.Record("1-1.3", nullptr, 0, 1, cutOff),
                                                  bench.Record("1-1.2", 1, 1, 1, recovered)}));
    for (const char* slot : {"1-1.1", "1-1.2", "1-1.3"}) {
        EXPECT_EQ(Count(ReadText(bench.dir.File(std::string("cap") + slot)), "wakeup"), 1);
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
    Await([&] { return bench.Records().size() == 1; });
    bench.devices.clear();
    bench.Plug("2-1", 7, {"--baud", "38400"}); // about two seconds
    bench.Plug("2-2", 8);
    // The second run is seen programming while it programs, not only at its end.
    const auto shown = [&](const char* state) {
        return Count(ReadText(bench.dir.File("station.out")), std::string("2-1 ") + state);
    };
    Await([&] { return shown("programming") == 2; });
    EXPECT_EQ(shown("done"), 0);
    EXPECT_EQ(Interrupt(station), 1);
    EXPECT_EQ(bench.Records(),
              (std::vector<json>{bench.Record("2-1", -1, 255), bench.Record("2-1", 1, 1, 2)}));
    EXPECT_EQ(ReadText(bench.dir.File("cap2-2")), "");
}

// --summary over results files of any station: per slot in natural order,
// then the total; lines that are not records are counted, never fatal.
TEST(Station, SummarizesTheYieldOfEachSocket) {
    StationBench bench;
    const std::string lines = R"({"slot":"1-1.10","label":"B","result":1,"attempt":1}
{"slot":"1-1.2","label":"A","result":-6,"attempt":1}
not a record
{"slot":"1-1.2","label":"A","result":1,"attempt":2}
{"slot":"1-1.2","label":"A","result":-2,"attempt":1}
{"slot":"1-1.2","label":"A","result":-6,"attempt":1}
{"slot":"1-1.2","label":"A","result":1,"attempt":1}
{"slot":"3-1","result":null}
{"result":1}
)";
    WriteBytes(bench.dir.File("day.jsonl"), {lines.begin(), lines.end()});
    const ProcessResult result = bench.Run({"--summary", "day.jsonl"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(Squeezed(result.out),
              "1-1.2 A 5 2 3 25.0% -6 a reply to a command of type 5 failed its check\n"
              "1-1.10 B 1 1 0 100.0% -\n"
              "3-1 - 1 0 1 0.0% null the run gave no result of the tool\n"
              "total - 7 3 4 33.3% -6 a reply to a command of type 5 failed its check\n");
    EXPECT_NE(result.err.find("day.jsonl: 2 lines are not records (first: line 3)"),
              std::string::npos)
        << result.err;
    const ProcessResult missing = bench.Run({"--summary", "day.jsonl", "none.jsonl"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.out, result.out);
}

} // namespace
