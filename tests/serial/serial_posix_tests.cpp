// The port on real pseudo-terminals, named through ZR9_PORT_DIR. The test
// keeps its own descriptor of the terminal side the port opens, to look at
// its settings and queues, and holds the other side as the "module". Each
// terminal starts with the kernel's settings for a new one (echo, line
// editing, CR/NL translation, XON/XOFF), as a freshly plugged adapter has.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "port_info.h"
#include "serialport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// While set, the line holds the output back as a UART or USB adapter whose
// peer keeps CTS low shows it, which a pseudo-terminal cannot: the kernel's
// answers for the output queue (TIOCOUTQ) and the modem lines (TIOCMGET) are
// replaced. The test links with --wrap=ioctl and --wrap=tcflush.
bool LineHeld = false;
int OutputDiscards = 0;  // tcflush(TCOFLUSH) calls

}  // namespace

extern "C" int __real_tcflush(int fd, int queue);

extern "C" int __wrap_tcflush(int fd, int queue)
{
    OutputDiscards += queue == TCOFLUSH;
    return __real_tcflush(fd, queue);
}

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* const argument = va_arg(arguments, void*);
    va_end(arguments);
    if (LineHeld && (request == TIOCOUTQ || request == TIOCMGET)) {
        *static_cast<int*>(argument) = request == TIOCOUTQ ? 64 : TIOCM_DTR | TIOCM_RTS;
        return 0;
    }
    return __real_ioctl(fd, request, argument);
}

namespace {

constexpr auto kPatience = std::chrono::seconds(10);

int QueuedBytes(int fd)
{
    int queued = -1;
    ioctl(fd, FIONREAD, &queued);
    return queued;
}

// Bytes cross a pseudo-terminal asynchronously; wait (bounded) until they arrive.
bool WaitQueued(int fd, int count)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (QueuedBytes(fd) < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string CreateFileLine(int code)
{
    return "CreateFile failed with error " + std::to_string(code) + ".\n";
}

class PtyPortTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_fdModule = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(m_fdModule, 0);
        ASSERT_EQ(grantpt(m_fdModule), 0);
        ASSERT_EQ(unlockpt(m_fdModule), 0);
        m_strTerminal = ptsname(m_fdModule);
        m_fdTerminal = open(m_strTerminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(m_fdTerminal, 0);

        char dirTemplate[] = "/tmp/zr9serial-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_dir = dirTemplate;
        std::filesystem::create_symlink(m_strTerminal, m_dir / "COM21");
        setenv("ZR9_PORT_DIR", m_dir.c_str(), 1);
    }

    void TearDown() override
    {
        m_port.Close();
        unsetenv("ZR9_PORT_DIR");
        unsetenv("ZR9_SYSFS");
        close(m_fdTerminal);
        close(m_fdModule);
        std::filesystem::remove_all(m_dir);
    }

    void ModuleSends(const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_EQ(write(m_fdModule, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ASSERT_TRUE(WaitQueued(m_fdTerminal, static_cast<int>(bytes.size())));
    }

    std::vector<std::uint8_t> ModuleReceives(int count)
    {
        if (!WaitQueued(m_fdModule, count))
            return {};
        std::vector<std::uint8_t> bytes(QueuedBytes(m_fdModule));
        const ssize_t got = read(m_fdModule, bytes.data(), bytes.size());
        bytes.resize(got < 0 ? 0 : got);
        return bytes;
    }

    void TurnHandshakeOn()
    {
        termios settings = TerminalSettings();
        settings.c_cflag |= CRTSCTS;
        ASSERT_EQ(tcsetattr(m_fdTerminal, TCSANOW, &settings), 0);
    }

    termios TerminalSettings()
    {
        termios settings{};
        EXPECT_EQ(tcgetattr(m_fdTerminal, &settings), 0);
        return settings;
    }

    int m_fdModule = -1;
    int m_fdTerminal = -1;
    std::string m_strTerminal;
    std::filesystem::path m_dir;
    CSerialPort m_port{20, 9600, 0, 8, 0, 4096, 4096};
};

TEST_F(PtyPortTest, OpenAppliesTheLineSettingsAndKeepsHardwareFlowControl)
{
    termios before = TerminalSettings();
    ASSERT_TRUE(before.c_iflag & IXON) << "a new terminal has software flow control on";
    before.c_cflag &= ~CSIZE;
    before.c_cflag |= CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    before.c_iflag |= ICRNL | IXON | IXOFF | IXANY | ISTRIP;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 5;
    cfsetspeed(&before, B4800);
    ASSERT_EQ(tcsetattr(m_fdTerminal, TCSANOW, &before), 0);

    CaptureStderr();
    ASSERT_EQ(m_port.Open(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");

    const termios after = TerminalSettings();
    EXPECT_EQ(cfgetospeed(&after), B9600);
    EXPECT_EQ(cfgetispeed(&after), B9600);
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(after.c_cflag & PARENB);
    EXPECT_FALSE(after.c_cflag & CSTOPB);
    EXPECT_TRUE(after.c_cflag & CLOCAL);
    EXPECT_TRUE(after.c_cflag & CREAD);
    EXPECT_TRUE(after.c_cflag & CRTSCTS) << "hardware flow control must stay as found";
    EXPECT_FALSE(after.c_iflag & (IXON | IXOFF | IXANY)) << "0x11 and 0x13 are data";
    EXPECT_FALSE(after.c_iflag & (ICRNL | ISTRIP));
    EXPECT_FALSE(after.c_oflag & OPOST);
    EXPECT_FALSE(after.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(after.c_cc[VMIN], 0);
    EXPECT_EQ(after.c_cc[VTIME], 0);
}

TEST_F(PtyPortTest, TheGlobalPortOpensCom21)
{
    ASSERT_EQ(SerialPort.Open(), 1);
    const termios settings = TerminalSettings();
    EXPECT_EQ(cfgetospeed(&settings), B9600);
    EXPECT_EQ(SerialPort.Close(), 1);
}

TEST_F(PtyPortTest, SecondOpenInThisProcessFails)
{
    ASSERT_EQ(m_port.Open(), 1);
    CSerialPort second(20, 9600, 0, 8, 0, 4096, 4096);
    CaptureStderr();
    EXPECT_EQ(second.Open(), 0);
    const std::string line = GetCapturedStderr();
    // Root is refused by the lock, other users already by the kernel (TIOCEXCL).
    EXPECT_TRUE(line == CreateFileLine(EWOULDBLOCK) || line == CreateFileLine(EBUSY)) << line;
    EXPECT_EQ(second.SetPort(3), 1) << "a failed device open leaves the port closed";

    ASSERT_EQ(m_port.Close(), 1);
    ASSERT_EQ(second.SetPort(20), 1);
    EXPECT_EQ(second.Open(), 1) << "free again once closed";
}

// 0 when the child process could not open COM21, 1 when it could.
int OpenInAnotherProcess()
{
    const pid_t child = fork();
    if (child == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDERR_FILENO);
        CSerialPort port(20, 9600, 0, 8, 0, 4096, 4096);
        _exit(port.Open());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PtyPortTest, SecondOpenInAnotherProcessFails)
{
    ASSERT_EQ(m_port.Open(), 1);
    EXPECT_EQ(OpenInAnotherProcess(), 0);
    ASSERT_EQ(m_port.Close(), 1);
    EXPECT_EQ(OpenInAnotherProcess(), 1);
}

TEST_F(PtyPortTest, OpenPurgesBothDirections)
{
    // Queued bytes must be countable and not echoed back before the port opens.
    termios raw = TerminalSettings();
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(m_fdTerminal, TCSANOW, &raw), 0);
    // In packet mode the module side is told which of the terminal's queues were
    // discarded; bytes it already passed on cannot be recalled, as on a wire.
    int packetMode = 1;
    ASSERT_EQ(ioctl(m_fdModule, TIOCPKT, &packetMode), 0);
    ModuleSends({'o', 'l', 'd'});

    ASSERT_EQ(m_port.Open(), 1);
    EXPECT_EQ(QueuedBytes(m_fdTerminal), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(m_port.Read(&byte, 1), -1);

    pollfd status{m_fdModule, POLLIN, 0};
    ASSERT_EQ(poll(&status, 1, 10000), 1);
    std::uint8_t packet[64] = {};
    ASSERT_GE(read(m_fdModule, packet, sizeof packet), 1);
    EXPECT_TRUE(packet[0] & TIOCPKT_FLUSHREAD);
    EXPECT_TRUE(packet[0] & TIOCPKT_FLUSHWRITE);

    packetMode = 0;
    ASSERT_EQ(ioctl(m_fdModule, TIOCPKT, &packetMode), 0);
    ModuleSends({'n'});
    EXPECT_EQ(m_port.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 'n');
}

TEST_F(PtyPortTest, BytesCrossUnchangedBothWays)
{
    ASSERT_EQ(m_port.Open(), 1);
    // Line ends, the terminal's control characters and XON/XOFF among them.
    const std::vector<std::uint8_t> bytes = {0x00, 0x0A, 0x0D, 0xFF, 0x03, 0x04,
                                             0x7F, 0x1A, 0x11, 0x13, '+'};
    EXPECT_EQ(m_port.Write(bytes.data(), bytes.size()), static_cast<int>(bytes.size()));
    EXPECT_EQ(ModuleReceives(bytes.size()), bytes);

    ModuleSends(bytes);
    std::vector<std::uint8_t> received(bytes.size());
    EXPECT_EQ(m_port.Read(received.data(), received.size()), static_cast<int>(bytes.size()));
    EXPECT_EQ(received, bytes);
    // The 0x13 received did not stop the port's output.
    EXPECT_EQ(m_port.Write(bytes.data(), 1), 1);
    EXPECT_EQ(ModuleReceives(1), std::vector<std::uint8_t>{0x00});
}

TEST_F(PtyPortTest, ReadWaitsForTheWholeAmountAndLeavesFewerBytesQueued)
{
    ASSERT_EQ(m_port.Open(), 1);
    ModuleSends({0x0D, 0x0A});
    std::uint8_t buffer[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(m_port.Read(buffer, 3), -1);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(QueuedBytes(m_fdTerminal), 2);

    EXPECT_EQ(m_port.Read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 0x0D);
    EXPECT_EQ(m_port.Read(buffer, 1), 1);
    EXPECT_EQ(buffer[0], 0x0A);
    EXPECT_EQ(m_port.Read(buffer, 1), -1);
}

TEST_F(PtyPortTest, LengthZeroTransfers)
{
    ASSERT_EQ(m_port.Open(), 1);
    const std::uint8_t marker = 'Z';
    std::uint8_t byte = 0;
    EXPECT_EQ(m_port.Write(&marker, 0), 1);
    EXPECT_EQ(m_port.Read(&byte, 0), -1);
    EXPECT_EQ(m_port.Write(&marker, 1), 1);
    EXPECT_EQ(ModuleReceives(1), std::vector<std::uint8_t>{'Z'}) << "length 0 sent nothing";
}

TEST_F(PtyPortTest, ClosedPortTransfersFailQuietly)
{
    std::uint8_t byte = 1;
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(m_port.Write(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(PtyPortTest, CloseTwice)
{
    ASSERT_EQ(m_port.Open(), 1);
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(PtyPortTest, SetPortIsRefusedWhileOpen)
{
    ASSERT_EQ(m_port.Open(), 1);
    EXPECT_EQ(m_port.SetPort(4), 0);
    ASSERT_EQ(m_port.Close(), 1);
    EXPECT_EQ(m_port.Open(), 1) << "the old index (COM21) must still be used";
    ASSERT_EQ(m_port.Close(), 1);

    ASSERT_EQ(m_port.SetPort(4), 1);
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), CreateFileLine(ENOENT)) << "there is no COM5";
}

TEST_F(PtyPortTest, ActiveConsoleIsRefusedUntouched)
{
    termios before = TerminalSettings();
    cfsetspeed(&before, B4800);
    ASSERT_EQ(tcsetattr(m_fdTerminal, TCSANOW, &before), 0);
    const std::filesystem::path consoleList = m_dir / "sys/class/tty/console/active";
    std::filesystem::create_directories(consoleList.parent_path());
    std::ofstream(consoleList) << "tty0 " << m_strTerminal.substr(std::string("/dev/").size())
                               << "\n";
    setenv("ZR9_SYSFS", (m_dir / "sys").c_str(), 1);

    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), CreateFileLine(EBUSY));
    const termios after = TerminalSettings();
    EXPECT_EQ(cfgetospeed(&after), B4800);

    std::ofstream(consoleList) << "tty0\n";
    EXPECT_EQ(m_port.Open(), 1) << "any other console list lets it through";
}

// The terminal takes the bytes and the line holds them, its CTS low: a write
// given up discards them before it fails, or they would go out once CTS rose.
TEST_F(PtyPortTest, WriteHeldOffByTheTerminalFailsInBoundedTime)
{
    ASSERT_NO_FATAL_FAILURE(TurnHandshakeOn());
    ASSERT_EQ(m_port.Open(), 1);
    LineHeld = true;
    const std::vector<std::uint8_t> bytes(64, 'x');
    OutputDiscards = 0;
    const auto start = std::chrono::steady_clock::now();
    CaptureStderr();
    EXPECT_EQ(m_port.Write(bytes.data(), bytes.size()), 0);
    EXPECT_EQ(GetCapturedStderr(), "WaitForSingleObject Failed!\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(OutputDiscards, 1) << "what the line held back must not go out later";

    LineHeld = false;
    ASSERT_EQ(tcflush(m_fdModule, TCIFLUSH), 0);
    EXPECT_EQ(m_port.Write(bytes.data(), 1), 1);
    EXPECT_EQ(ModuleReceives(1), std::vector<std::uint8_t>{'x'});
}

TEST_F(PtyPortTest, WriteHeldByTheHandshakeFailsAtTheBoundAndSaysWhy)
{
    ASSERT_NO_FATAL_FAILURE(TurnHandshakeOn());
    ASSERT_EQ(m_port.Open(), 1);
    const std::uint8_t command[] = "AT+REBOOT\n\r";
    LineHeld = true;
    CaptureStderr();
    EXPECT_EQ(m_port.Write(command, 11), 0) << "bytes the line holds back have not been sent";
    LineHeld = false;
    EXPECT_EQ(GetCapturedStderr(), "WaitForSingleObject Failed!\n");
    EXPECT_EQ(port_info::DescribeFailure(20, m_port.LastFailure()),
              "Write to COM21 failed: the line held the output for 2 s (RTS/CTS flow control is "
              "on and CTS is low)");
}

// Close lets what is queued go out, and discards only what the line still
// holds at the drain's bound. 8 KiB is more than the other side's line
// discipline takes while it does not read: the rest waits in the terminal's
// buffer, which a discard empties.
TEST_F(PtyPortTest, CloseDiscardsOnlyOutputTheLineHolds)
{
    ASSERT_NO_FATAL_FAILURE(TurnHandshakeOn());
    const std::vector<std::uint8_t> bytes(8192, 'x');
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "free");
        ASSERT_EQ(m_port.Open(), 1);
        ASSERT_EQ(m_port.Write(bytes.data(), bytes.size()), 8192);
        LineHeld = held;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(m_port.Close(), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        LineHeld = false;
        std::size_t received = 0;
        for (pollfd more{m_fdModule, POLLIN, 0}; poll(&more, 1, 200) == 1;) {
            std::uint8_t chunk[4096];
            const ssize_t got = read(m_fdModule, chunk, sizeof chunk);
            received += got > 0 ? static_cast<std::size_t>(got) : 0;
        }
        if (held)
            EXPECT_LT(received, bytes.size());
        else
            EXPECT_EQ(received, bytes.size());
        // The handshake is turned off for a held line only, so the close cannot wait on CTS.
        EXPECT_EQ(static_cast<bool>(TerminalSettings().c_cflag & CRTSCTS), !held);
    }
}

// As an unplugged adapter's: the kernel hangs up the terminal, here while the
// line holds a write back, and the write's own errno says the device went.
TEST_F(PtyPortTest, AHungUpLineMeansTheDeviceIsGone)
{
    ASSERT_EQ(m_port.Open(), 1);
    EXPECT_EQ(m_port.CheckDevice(), 1);
    ASSERT_EQ(tcflow(m_fdTerminal, TCOOFF), 0);
    std::thread hangUp([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(m_fdModule);
    });
    const std::vector<std::uint8_t> bytes(64, 'x');
    EXPECT_EQ(m_port.Write(bytes.data(), bytes.size()), 0);
    hangUp.join();
    m_fdModule = -1;
    EXPECT_EQ(m_port.LastFailure().errorCode, static_cast<std::uint32_t>(EIO)) << "not the time limit";
    EXPECT_EQ(port_info::DescribeFailure(20, m_port.LastFailure()), "COM21 was unplugged");
    EXPECT_TRUE(m_port.DeviceGone());
    std::uint8_t byte = 'x';
    // Reads and the line's status say so too, each with its line.
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(m_port.CheckDevice(), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "ClearCommError failed with error 5.\nClearCommError failed with error 5.\n");
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_FALSE(m_port.DeviceGone());
}

// The device behind each port, from a stand-in sysfs and device tree: a
// CP2102 adapter as ttyUSB0, a legacy ttyS1 without a UART, and ttyACM0.
class PortInfoTest : public testing::Test {
protected:
    void SetUp() override
    {
        char dirTemplate[] = "/tmp/zr9info-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_root = dirTemplate;
        // Others may look in, for the check made as another user.
        std::filesystem::permissions(m_root, std::filesystem::perms(0755));
        const std::string usb = "sys/devices/usb1/1-1/";
        using Files = std::initializer_list<std::pair<std::string, std::string>>;
        for (const auto& [file, text] : Files{
                 {usb + "idVendor", "10c4"}, {usb + "idProduct", "ea60"},
                 {usb + "product", "CP2102 USB to UART Bridge Controller"},
                 {usb + "serial", "0001"}, {usb + "1-1:1.0/ttyUSB0/dev", "188:0"},
                 {"sys/class/tty/ttyS1/type", "0"}, {"dev/ttyUSB0", ""}, {"dev/ttyUSB1", ""},
                 {"dev/ttyS1", ""}, {"dev/ttyACM0", ""}}) {
            std::filesystem::create_directories((m_root / file).parent_path());
            std::ofstream(m_root / file) << text << "\n";
        }
        std::filesystem::create_directories(m_root / "sys/class/tty/ttyUSB0");
        std::filesystem::create_directory_symlink("../../../devices/usb1/1-1/1-1:1.0/ttyUSB0",
                                                  m_root / "sys/class/tty/ttyUSB0/device");
        std::filesystem::create_directories(m_root / "ports");
        for (const auto& [com, device] : std::initializer_list<std::pair<int, const char*>>{
                 {5, "ttyUSB0"}, {6, "ttyUSB1"}, {2, "ttyS1"}, {21, "ttyACM0"}, {9, "gone"}})
            std::filesystem::create_symlink(m_root / "dev" / device, Link(com));
        setenv("ZR9_PORT_DIR", (m_root / "ports").c_str(), 1);
        setenv("ZR9_SYSFS", (m_root / "sys").c_str(), 1);
    }

    void TearDown() override
    {
        unsetenv("ZR9_PORT_DIR");
        unsetenv("ZR9_SYSFS");
        std::filesystem::remove_all(m_root);
    }

    std::string Link(int com) const
    {
        return (m_root / "ports" / ("COM" + std::to_string(com))).string();
    }

    // "COMn (<ports>/COMn -> <target>)", as the reasons name a port.
    std::string Port(int com, const std::string& target) const
    {
        return "COM" + std::to_string(com) + " (" + Link(com) + " -> " + target + ")";
    }

    std::string Dev(const char* device) const { return (m_root / "dev" / device).string(); }

    std::filesystem::path m_root;
};

TEST_F(PortInfoTest, DescriptionNamesTheDeviceBehindThePort)
{
    EXPECT_EQ(port_info::DescribePort(4),
              "COM5: " + Link(5) + " -> " + Dev("ttyUSB0") +
                  ", CP2102 USB to UART Bridge Controller, serial 0001");
    EXPECT_EQ(port_info::DescribePort(20), "COM21: " + Link(21) + " -> " + Dev("ttyACM0"));
    EXPECT_EQ(port_info::DescribePort(1), "COM2") << "a serial port without a UART behind it";
    EXPECT_EQ(port_info::DescribePort(8), "COM9") << "a link to nothing";
    EXPECT_EQ(port_info::DescribePort(11), "COM12");
}

// The console, the holder of a busy port, devices outside the table and no
// device at all are in the window's status bar tests.
TEST_F(PortInfoTest, SurveyNamesTheSelectedDeviceThenWhyOthersDidNotOpen)
{
    const std::string com21 = Port(21, Dev("ttyACM0"));
    const struct {
        port_info::PortSurvey survey;
        int selected;
        std::string expected;
    } rows[] = {
        // The selected device first, then the reasons, from the error each open returned.
        {{{4},
          {{20, {.errorCode = EIO, .deviceGone = true}},
           {5, {.errorCode = ENXIO, .deviceGone = true}},
           {8, {.errorCode = ENOENT}}}},
         4,
         "COM5: " + Link(5) + " -> " + Dev("ttyUSB0") +
             ", CP2102 USB to UART Bridge Controller, serial 0001. " + com21 + ", " +
             Port(6, Dev("ttyUSB1")) +
             ": the device does not respond; unplug it and plug it in again."},
        {{{}, {{20, {.errorCode = EWOULDBLOCK}}}}, -1, com21 + ": in use by another program."},
        {{{}, {{20, {.errorCode = ENOTTY}}}}, -1, com21 + ": not a serial port."},
    };
    for (const auto& row : rows)
        EXPECT_EQ(port_info::DescribeSurvey(row.survey, row.selected), row.expected);
}

// A survey made as a user outside the devices' group, in a child process that
// drops root's rights: the reasons come from the errors the opens returned.
TEST_F(PortInfoTest, PermissionDeniedNamesTheGroupToJoin)
{
    const group* dialout = getgrnam("dialout");
    if (getuid() != 0 || !dialout)
        GTEST_SKIP() << "needs root and a dialout group to act as another user";
    for (const char* device : {"ttyUSB0", "ttyUSB1"})
        ASSERT_TRUE(chown(Dev(device).c_str(), 0, dialout->gr_gid) == 0 &&
                    chmod(Dev(device).c_str(), 0660) == 0);
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        const std::string reasons =
            port_info::DescribeSurvey(port_info::SurveyPorts([](int) {}), -1);
        _exit(write(result[1], reasons.data(), reasons.size()) < 0);
    }
    close(result[1]);
    char reasons[2048] = {};
    ASSERT_GT(read(result[0], reasons, sizeof reasons - 1), 0);
    close(result[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(reasons, Port(5, Dev("ttyUSB0")) + ", " + Port(6, Dev("ttyUSB1")) +
                           ": permission denied; join the dialout group, then log in again. " +
                           Port(21, Dev("ttyACM0")) + ": permission denied.");
}

TEST(PosixPortNames, FixedTable)
{
    using serial_platform::DefaultPosixPortName;
    EXPECT_STREQ(DefaultPosixPortName(0), "/dev/ttyS0");
    EXPECT_STREQ(DefaultPosixPortName(3), "/dev/ttyS3");
    EXPECT_STREQ(DefaultPosixPortName(4), "/dev/ttyUSB0");
    EXPECT_STREQ(DefaultPosixPortName(19), "/dev/ttyUSB15");
    EXPECT_STREQ(DefaultPosixPortName(20), "/dev/ttyACM0");
    EXPECT_STREQ(DefaultPosixPortName(30), "/dev/ttyACM10");
    EXPECT_EQ(DefaultPosixPortName(31), nullptr);
    EXPECT_EQ(DefaultPosixPortName(-1), nullptr);
}

TEST(PosixPortNames, PortDirectoryOverridesTheTable)
{
    char name[serial_platform::kPortNameSize];
    setenv("ZR9_PORT_DIR", "/tmp/ports", 1);
    ASSERT_TRUE(serial_platform::PortName(8, name, sizeof name));
    EXPECT_STREQ(name, "/tmp/ports/COM9");
    ASSERT_TRUE(serial_platform::PortName(30, name, sizeof name));
    EXPECT_STREQ(name, "/tmp/ports/COM31");
    EXPECT_FALSE(serial_platform::PortName(31, name, sizeof name));
    char tooShort[8];
    EXPECT_FALSE(serial_platform::PortName(0, tooShort, sizeof tooShort));

    unsetenv("ZR9_PORT_DIR");
    ASSERT_TRUE(serial_platform::PortName(4, name, sizeof name));
    EXPECT_STREQ(name, "/dev/ttyUSB0");
}

}  // namespace
