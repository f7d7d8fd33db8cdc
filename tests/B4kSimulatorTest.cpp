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
          "--type-delay 5=x", "--tty /dev/null --sysfs s", "--usb-path 1-1/x", "--tty /dev/null"}) {
        const ProcessResult run = RunProcess("/bin/sh", {"-c", "exec '" B4K_SIM_PATH "' " + args});
        EXPECT_EQ(run.exitStatus, args == "--tty /dev/null" ? 1 : 2) << args;
        EXPECT_FALSE(run.err.empty()) << args;
    }
}

TEST(B4kSimProgram, ServesUntilTerminatedThenRemovesItsLink) {
    Tempdir dir;
    const Launched sim = Launch("--port-dir '" + dir.Path().string() + "' --com 5");
    const std::filesystem::path link = dir.Path() / "COM5";
    EXPECT_EQ(sim.port, std::filesystem::read_symlink(link).string() + "\n");
    ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
    EXPECT_EQ(End(sim), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
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
