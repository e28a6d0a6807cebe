// The simulator as a process, talked to through its link like the tool does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_module.h"
#include "sim_bytes.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The tool's end of the line. Deliberately leaves the terminal settings as
// found: the simulator must have made the line raw.
class CLineEnd {
public:
    explicit CLineEnd(const std::string& path) : m_hFile(open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    // Takes over an open descriptor, such as a pseudo-terminal's master side.
    explicit CLineEnd(int file) : m_hFile(file) {}
    ~CLineEnd()
    {
        if (m_hFile >= 0)
            close(m_hFile);
    }
    bool IsOpen() const { return m_hFile >= 0; }
    int Handle() const { return m_hFile; }

    void Send(const Bytes& bytes) const
    {
        ASSERT_EQ(write(m_hFile, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits (generously) until `size` bytes came, or nothing more comes.
    Bytes Receive(std::size_t size, std::chrono::milliseconds patience = 5000ms) const
    {
        Bytes received;
        const auto deadline = Clock::now() + patience;
        while (received.size() < size && Clock::now() < deadline) {
            pollfd ready{m_hFile, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0)
                continue;
            std::uint8_t chunk[256];
            const ssize_t got = read(m_hFile, chunk, sizeof chunk);
            if (got <= 0)
                break;
            received.insert(received.end(), chunk, chunk + got);
        }
        return received;
    }

private:
    int m_hFile;
};

const Bytes kRead = Text("AT+PROG=R\n\r");
const Bytes kAccepted = Text("+PWD=1") + Bytes{1, 3} + Text("\n\r");

std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

double CpuSeconds(pid_t pid)
{
    std::istringstream stat(FileText("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool IsLink(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

class SimProcess : public ::testing::Test {
protected:
    CTempPortDir m_portDir;
};

TEST_F(SimProcess, LinksTheSlaveAndAnswersThroughTheLink)
{
    CSimProcess sim(m_portDir.Path(), 3);
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Link(), m_portDir.Path() + "/COM3");
    char target[256] = {};
    ASSERT_GT(readlink(sim.Link().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.Slave());

    CLineEnd line(sim.Link());
    ASSERT_TRUE(line.IsOpen());
    line.Send(ConnectCommand("6874"));
    EXPECT_EQ(line.Receive(kAccepted.size()), kAccepted);
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
}

TEST_F(SimProcess, CommandSplitAcrossWritesWithJunkIsAnswered)
{
    CSimProcess sim(m_portDir.Path(), 4);
    ASSERT_TRUE(sim.Started());
    CLineEnd line(sim.Link());
    line.Send(Text("\r\nnoise AT+PR"));
    std::this_thread::sleep_for(50ms);
    line.Send(Text("OG=R\n"));
    std::this_thread::sleep_for(50ms);
    line.Send(Text("\r"));
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
}

TEST_F(SimProcess, ServesAgainAfterTheSlaveIsClosedAndReopenedWithoutSpinning)
{
    CSimProcess sim(m_portDir.Path(), 5);
    ASSERT_TRUE(sim.Started());
    for (int round = 0; round < 5; ++round) {
        { CLineEnd probe(sim.Link()); }  // opened and closed at once, like port discovery
        CLineEnd line(sim.Link());
        line.Send(kRead);
        ASSERT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile)) << "round " << round;
    }
    // With no program on the slave the master only reports hang-ups; a
    // simulator that polled them in a loop would burn a whole core here.
    const double before = CpuSeconds(sim.Pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuSeconds(sim.Pid()) - before, 0.2);
    CLineEnd line(sim.Link());
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
}

TEST_F(SimProcess, StopSignalsEndItCleanlyAndRemoveTheLink)
{
    for (int signal : {SIGTERM, SIGINT}) {
        CSimProcess sim(m_portDir.Path(), 6);
        ASSERT_TRUE(sim.Started());
        CLineEnd line(sim.Link());  // a program still holding the port
        ASSERT_TRUE(IsLink(sim.Link()));
        const int status = sim.Stop(signal);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << signal;
        EXPECT_FALSE(IsLink(sim.Link())) << "signal " << signal;
    }
}

TEST_F(SimProcess, ReplacesALeftOverLinkButNotALiveOne)
{
    const std::string link = m_portDir.Path() + "/COM7";
    ASSERT_EQ(symlink("/dev/pts/does-not-exist", link.c_str()), 0);
    CSimProcess sim(m_portDir.Path(), 7);
    ASSERT_TRUE(sim.Started());

    CSimProcess second(m_portDir.Path(), 7);
    EXPECT_FALSE(second.Started());
    const int status = second.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);

    CLineEnd line(sim.Link());
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
}

TEST_F(SimProcess, ReplacesALinkToTheTerminalItIsGiven)
{
    // A killed simulator's link names its terminal, which the kernel hands
    // to the next pseudo-terminal opened: most likely this simulator's.
    const int probe = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    const std::string freedTerminal = ptsname(probe);
    close(probe);
    const std::string link = m_portDir.Path() + "/COM8";
    ASSERT_EQ(symlink(freedTerminal.c_str(), link.c_str()), 0);

    CSimProcess sim(m_portDir.Path(), 8);
    ASSERT_TRUE(sim.Started());
    CLineEnd line(sim.Link());
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
}

TEST_F(SimProcess, OptionsSetProfilePasswordAndVersion)
{
    ProfileBytes profile = AwkwardProfile();
    CSimProcess sim(m_portDir.Path(), 8, {"--password", "ab", "--profile", ProfileHex(profile),
                                          "--version", "12.5"});
    ASSERT_TRUE(sim.Started());
    CLineEnd line(sim.Link());
    line.Send(ConnectCommand("ab\0" "7"));
    const Bytes expected = Text("+PWD=1") + Bytes{12, 5} + Text("\n\r");
    EXPECT_EQ(line.Receive(10), expected);
    profile[24] = 'a';
    profile[25] = 'b';
    profile[26] = 0;
    profile[27] = 0;
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(profile));
}

// A device pair: the simulator serves an existing terminal, here a
// pseudo-terminal's slave at the kernel's settings, with the test on its master.
TEST_F(SimProcess, ServesAnExistingDeviceWithoutItsLineDisciplineAndAgainAfterAHangUp)
{
    const CLineEnd line(posix_openpt(O_RDWR | O_NOCTTY));
    ASSERT_TRUE(line.IsOpen());
    ASSERT_EQ(unlockpt(line.Handle()), 0);
    const std::string device = ptsname(line.Handle());
    termios settings{};
    tcgetattr(line.Handle(), &settings);
    ASSERT_TRUE(settings.c_lflag & ECHO);
    cfsetspeed(&settings, B19200);
    tcsetattr(line.Handle(), TCSANOW, &settings);

    const std::string transcript = m_portDir.Path() + "/transcript.txt";
    setenv("ZR9_DEVICE_PAIR", ("/dev/null " + device).c_str(), 1);
    // --line-defaults is the tool's side of a pseudo-terminal: not passed on.
    CSimProcess sim(m_portDir.Path(), 3, {"--line-defaults", "--transcript", transcript});
    unsetenv("ZR9_DEVICE_PAIR");
    ASSERT_TRUE(sim.Started());
    EXPECT_EQ(sim.Slave(), device);
    char target[256] = {};
    ASSERT_GT(readlink(sim.Link().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), "/dev/null");

    // Nothing echoed, no line end translated.
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
    tcgetattr(line.Handle(), &settings);
    EXPECT_FALSE(settings.c_lflag & (ECHO | ICANON));
    EXPECT_EQ(cfgetospeed(&settings), speed_t{B19200});

    // A hang-up (as an unplugged adapter gives) kills the simulator's
    // descriptor; it opens the device again.
    const int other = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    const bool hungUp = ioctl(other, TIOCVHANGUP) == 0;
    close(other);
    if (!hungUp)
        GTEST_SKIP() << "TIOCVHANGUP needs CAP_SYS_ADMIN";
    std::this_thread::sleep_for(300ms);
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
    EXPECT_NE(FileText(transcript).find("-- device hung up"), std::string::npos);
}

TEST_F(SimProcess, BadOptionsEndItWithoutALink)
{
    for (const char* bad : {"--version", "--profile", "--password", "--line-rate"}) {
        CSimProcess sim(m_portDir.Path(), 9, {bad, "xyz12"});
        EXPECT_FALSE(sim.Started()) << bad;
        const int status = sim.Stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
        EXPECT_FALSE(IsLink(m_portDir.Path() + "/COM9")) << bad;
    }
}

TEST_F(SimProcess, TranscriptHoldsEveryByteBothWays)
{
    const std::string transcript = m_portDir.Path() + "/transcript.txt";
    {
        CSimProcess sim(m_portDir.Path(), 10, {"--transcript", transcript});
        ASSERT_TRUE(sim.Started());
        CLineEnd line(sim.Link());
        line.Send(Text("AT+REBOOT\n\r"));
        line.Send(kRead);
        ASSERT_EQ(line.Receive(73).size(), 73u);
    }
    const std::string text = FileText(transcript);
    // Received bytes may share a line with the next command's.
    EXPECT_NE(text.find("RX 41 54 2B 52 45 42 4F 4F 54 0A 0D"), std::string::npos) << text;
    EXPECT_NE(text.find("-- reboot"), std::string::npos) << text;
    EXPECT_NE(text.find(" 41 54 2B 50 52 4F 47 3D 52 0A 0D  "), std::string::npos) << text;
    EXPECT_NE(text.find("TX 2B 50 52 4F 47 3D 52 41 31 30 30"), std::string::npos) << text;
    EXPECT_NE(text.find("00 0A 0D  \"+PROG=R"), std::string::npos) << text;
}

TEST_F(SimProcess, LineRateMakesTheAnswerTakeItsTimeOnTheLine)
{
    CSimProcess sim(m_portDir.Path(), 11, {"--line-rate", "9600"});
    ASSERT_TRUE(sim.Started());
    CLineEnd line(sim.Link());
    const auto start = Clock::now();
    line.Send(kRead);
    // The first bytes arrive after the command's own 11 byte times; a busy
    // machine may hand over a few at once.
    const Bytes first = line.Receive(1);
    const auto firstByte = Clock::now() - start;
    ASSERT_FALSE(first.empty());
    const Bytes rest = line.Receive(73 - first.size());
    const auto whole = Clock::now() - start;
    EXPECT_EQ(first.size() + rest.size(), 73u);
    // (11 + 1) and (11 + 73) bytes of 10 bits at 9600 bit/s; lower bounds only.
    EXPECT_GE(firstByte, 12ms);
    EXPECT_GE(whole, 87ms);
}

// A bench's module: slow to answer Read, deaf while it boots after a reboot,
// and replaced by the next --profile's module on SIGUSR1, which boots too.
TEST_F(SimProcess, ReadDelayBootTimeAndReplacement)
{
    ProfileBytes next = DefaultProfile;
    next[0] = 'F';
    CSimProcess module(m_portDir.Path(), 12, {"--read-delay", "400", "--boot-time", "600",
                                              "--profile", ProfileHex(DefaultProfile),
                                              "--profile", ProfileHex(next)});
    ASSERT_TRUE(module.Started());
    CLineEnd line(module.Link());
    const auto start = Clock::now();
    line.Send(kRead);
    EXPECT_EQ(line.Receive(73), ProfileAnswer(DefaultProfile));
    EXPECT_GE(Clock::now() - start, 400ms);
    for (bool swap : {false, true}) {
        if (swap)
            kill(module.Pid(), SIGUSR1);
        else
            line.Send(Text("AT+REBOOT\n\r"));
        std::this_thread::sleep_for(100ms);
        line.Send(kRead);
        EXPECT_EQ(line.Receive(1, 900ms), Bytes{}) << swap;
        line.Send(kRead);
        EXPECT_EQ(line.Receive(73), ProfileAnswer(swap ? next : DefaultProfile)) << swap;
    }
}

}  // namespace
