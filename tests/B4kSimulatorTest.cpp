// The b4k-sim program as its users run it: on a pseudo-terminal of its own
// behind a COM link, or on an existing port.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Processrunner.h"
#include "Tempdir.h"
#include "Testframes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Writes `sent`, then reads until `count` bytes came or the line stayed quiet for a second.
Bytes Exchange(int fd, const Bytes& sent, std::size_t count) {
    EXPECT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    Bytes bytes;
    std::uint8_t byte = 0;
    pollfd p{fd, POLLIN, 0};
    while (bytes.size() < count && poll(&p, 1, 1000) == 1 && read(fd, &byte, 1) == 1) {
        bytes.push_back(byte);
    }
    return bytes;
}

// b4k-sim through a shell that prints its process number, then becomes it.
struct Launched {
    FILE* out;
    pid_t pid;
    std::string port; // the first line it printed, line feed included
};

Launched Launch(const std::string& args) {
    FILE* out = popen(("echo $$; exec '" B4K_SIM_PATH "' " + args).c_str(), "r");
    char pid[32] = {}, port[256] = {};
    EXPECT_TRUE(out != nullptr && std::fgets(pid, sizeof pid, out) != nullptr &&
                std::fgets(port, sizeof port, out) != nullptr);
    return {out, std::atoi(pid), port};
}

// Its exit status once it ended by itself within 3 s; killed past that.
int End(const Launched& sim) {
    pollfd p{fileno(sim.out), POLLIN, 0};
    if (poll(&p, 1, 3000) != 1) {
        kill(sim.pid, SIGKILL);
    }
    const int status = pclose(sim.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(B4kSimProgram, HelpListsEveryOptionAndBadUsageExitsTwo) {
    const ProcessResult help = RunProcess(B4K_SIM_PATH, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    // Each of its 18 options on a line of its own, with its default.
    const std::regex option("\n  --[a-z-]+ [^\n]*\\(default");
    EXPECT_EQ(std::distance(std::sregex_iterator(help.out.begin(), help.out.end(), option), {}), 18)
        << help.out;
    // Bad usage, and last a file that is not a serial port: nothing to serve.
    for (const std::string args :
         {"--bogus", "--baud fast", "--status 3", "--wrong-echo 3", "--delay", "--com 4", "stray",
          "--type-delay 5=x", "--tty /dev/null --sysfs s", "--usb-path 1-1/x", "--usb-path ..",
          "--tty /dev/null"}) {
        const ProcessResult run = RunProcess("/bin/sh", {"-c", "exec '" B4K_SIM_PATH "' " + args});
        EXPECT_EQ(run.exitStatus, args == "--tty /dev/null" ? 1 : 2) << args;
        EXPECT_FALSE(run.err.empty()) << args;
    }
}

// A COM name and a USB path are one simulator's at a time: a second one asked
// for either is refused, naming the holder, and leaves its link and tree alone.
// Ending, a simulator removes what it made and nothing else; the names of one
// that was killed are free for the next.
TEST(B4kSimProgram, HoldsItsNamesAloneAndRemovesWhatItMade) {
    namespace fs = std::filesystem;
    Tempdir dir;
    const fs::path sys = dir.Path() / "sys", link = dir.Path() / "ports/a/COM5";
    fs::create_directory(sys); // the user's: it stays
    const auto args = [&](int com, const std::string& usb) {
        return "--port-dir '" + link.parent_path().string() + "' --com " + std::to_string(com) +
               " --sysfs '" + sys.string() + "' --usb-path " + usb;
    };
    const auto serves = [&](const Launched& sim) {
        const std::string pts = "pts" + sim.port.substr(9, sim.port.size() - 10);
        EXPECT_EQ(sim.port, fs::read_symlink(link).string() + "\n");
        EXPECT_TRUE(fs::exists(sys / "bus/usb/devices/1-2/1-2:1.0/tty" / pts / "dev")) << pts;
    };
    const Launched first = Launch(args(5, "1-2"));
    for (const auto& [com, usb] : {std::pair{5, "1-3"}, {6, "1-2"}}) {
        const ProcessResult second =
            RunProcess("/bin/sh", {"-c", "exec '" B4K_SIM_PATH "' " + args(com, usb)}, {{}, {}, 5});
        EXPECT_EQ(second.exitStatus, 2) << com;
        EXPECT_NE(second.err.find("process " + std::to_string(first.pid)), std::string::npos)
            << second.err;
    }
    serves(first);
    ASSERT_EQ(kill(first.pid, SIGTERM), 0);
    EXPECT_EQ(End(first), 0);
    EXPECT_FALSE(fs::exists(dir.Path() / "ports"));
    EXPECT_TRUE(fs::is_empty(sys));
    Launched killed = Launch(args(5, "1-2"));
    kill(killed.pid, SIGKILL);
    End(killed);
    const Launched next = Launch(args(5, "1-2"));
    serves(next);
    kill(next.pid, SIGTERM);
    EXPECT_EQ(End(next), 0);
}

// Started together for one COM name, exactly one serves.
TEST(B4kSimProgram, OneOfManyStartedAtOnceTakesTheName) {
    Tempdir dir;
    const ProcessResult race = RunProcess(
        "/bin/sh", {"-c", "cd '" + dir.Path().string() +
                              "'; for i in 1 2 3 4 5 6; do '" B4K_SIM_PATH
                              "' --port-dir p --com 5 >>o 2>>e & p=\"$p $!\"; done; "
                              "for i in $(seq 200); do [ -s o ] && [ $(wc -l <e) -ge 5 ] "
                              "&& break; sleep 0.05; done; kill $p; wait; cat o; cat e >&2"});
    EXPECT_EQ(std::count(race.out.begin(), race.out.end(), '\n'), 1) << race.out;
    const std::regex held("COM5 is held by the b4k-sim of process \\d+\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(race.err.begin(), race.err.end(), held), {}), 5)
        << race.err;
}

// The slave of a pty pair stands for a real port; the test plays the host on
// the master, whose close is the USB host going away. Both directions are
// paced: the connect reply starts once the 20th byte is in, and its 7 bytes
// take 6 byte times more, each of 11 bits.
TEST(B4kSimProgram, ServesAnExistingPortExclusivelyRawAndPacedUntilItHangsUp) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    fcntl(master, F_SETFD, FD_CLOEXEC); // the simulator must not hold it too
    const Launched sim = Launch(std::string("--baud 2400 --tty ") + name);
    const int second = open(name, O_RDWR | O_NOCTTY);
    EXPECT_TRUE(second < 0 || flock(second, LOCK_EX | LOCK_NB) != 0);
    close(second);
    // A line discipline left cooked would hold both back for a line end.
    EXPECT_EQ(Exchange(master, {'H', 'q', '3', 'v', 'T', '8', 'm', 'W', 'e'}, 1), Bytes{0x06});
    const auto start = Clock::now();
    EXPECT_EQ(Exchange(master, kConnectFrame, 7), kConnectAck);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_GE(ms, 0.9 * 25 * 11000 / 2400);
    EXPECT_LT(ms, 27 * 11000.0 / 2400 + 300);
    close(master);
    EXPECT_EQ(End(sim), 3);
}
