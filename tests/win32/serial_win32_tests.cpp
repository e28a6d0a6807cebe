// The port through the Win32 serial interface, on a null-modem pair.
// tests/wine/run-wine-tests.sh links, in a throw-away Wine prefix, COM9, COM10 and
// COM31 to one pseudo-terminal and COM30 to the other end of the pair, and
// leaves every other COM name unlinked. On Windows, a virtual null-modem pair
// set up the same way serves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>
#include <windows.h>

#include "port_info.h"
#include "serialport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Port indices linked to the port's end of the pair: "COM9", "\\.\COM10", "\\.\COM31".
constexpr int kPortIndex = 8;
constexpr int kPortIndexes[] = {8, 9, 30};
// The same device, opened directly by the test to look at its settings and queue.
constexpr const char* kPortName = "COM9";
// The other end of the pair: the test plays the module there.
constexpr const char* kPeerName = "\\\\.\\COM30";
// A second pair whose port end (COM11) keeps the kernel's settings for a new
// terminal, as a freshly plugged adapter has it; COM29 is its other end.
constexpr int kFreshPortIndex = 10;
constexpr const char* kFreshPortName = "\\\\.\\COM11";
constexpr const char* kFreshPeerName = "\\\\.\\COM29";
// Not linked to anything.
constexpr int kMissingPortIndexes[] = {1, 15};
// COM28: a terminal the kernel hangs up, as if unplugged, once ZR9_HANGUP_FILE exists.
constexpr int kHangUpPortIndex = 27;

// Bytes cross the pair asynchronously; every wait for them is bounded by this.
constexpr ULONGLONG kPatienceMs = 10000;

CSerialPort MakePort(int portIndex)
{
    return CSerialPort(portIndex, 9600, 0, 8, 0, 4096, 4096);
}

bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A plain (not overlapped) handle whose reads return at once with what is queued.
HANDLE OpenDirect(const char* name)
{
    const HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(handle, &timeouts);
    return handle;
}

// Reads the device's settings, lets `change` edit them and applies them.
template <typename Change>
bool ChangeLineSettings(HANDLE handle, Change change)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return false;
    change(dcb);
    return SetCommState(handle, &dcb) != FALSE;
}

DCB LineSettingsOf(const char* name)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const HANDLE handle = OpenDirect(name);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
    EXPECT_TRUE(GetCommState(handle, &dcb));
    CloseHandle(handle);
    return dcb;
}

// Bytes waiting at the port's end, seen through a handle of the test's own.
DWORD QueuedAtPort()
{
    const HANDLE handle = OpenDirect(kPortName);
    DWORD errors = 0;
    COMSTAT status{};
    const BOOL cleared = ClearCommError(handle, &errors, &status);
    CloseHandle(handle);
    return cleared ? status.cbInQue : 0;
}

bool WaitQueuedAtPort(DWORD count)
{
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    while (QueuedAtPort() < count) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(5);
    }
    return true;
}

// Polls the port one byte at a time, as the reply assembly does, with a fresh
// one-byte buffer for each poll.
Bytes ReadBytes(CSerialPort& port, std::size_t count)
{
    Bytes received;
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    while (received.size() < count && GetTickCount64() < deadline) {
        std::uint8_t byte = 0;
        const int result = port.Read(&byte, 1);
        if (result == 1)
            received.push_back(byte);
        else
            EXPECT_EQ(result, -1) << "after " << received.size() << " bytes";
    }
    return received;
}

class Win32PortTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_hPeer = OpenDirect(PeerName());
        ASSERT_NE(m_hPeer, INVALID_HANDLE_VALUE)
            << PeerName() << " is not linked; run through tests/wine/run-wine-tests.sh";
        ASSERT_TRUE(ChangeLineSettings(m_hPeer, [](DCB& dcb) {
            dcb.BaudRate = 9600;
            dcb.ByteSize = 8;
            dcb.Parity = NOPARITY;
            dcb.StopBits = ONESTOPBIT;
        }));
        ASSERT_TRUE(PurgeComm(m_hPeer, PURGE_RXCLEAR | PURGE_TXCLEAR));
    }

    void TearDown() override
    {
        if (m_hPeer != INVALID_HANDLE_VALUE)
            CloseHandle(m_hPeer);
    }

    void PeerSend(const Bytes& bytes)
    {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(m_hPeer, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    // Whatever arrives at the peer until `count` bytes are there (bounded).
    Bytes PeerReceive(std::size_t count)
    {
        Bytes received;
        const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
        while (received.size() < count && GetTickCount64() < deadline) {
            std::uint8_t chunk[64];
            DWORD got = 0;
            if (!ReadFile(m_hPeer, chunk, sizeof chunk, &got, nullptr))
                break;
            received.insert(received.end(), chunk, chunk + got);
            if (got == 0)
                Sleep(5);
        }
        return received;
    }

    // Reads the peer until it has been quiet for half a second, so that bytes
    // held up in the pair reach no later test.
    void PeerDiscard()
    {
        std::uint8_t chunk[65536];
        DWORD got = 0;
        for (ULONGLONG quiet = GetTickCount64(); GetTickCount64() - quiet < 500; Sleep(10))
            while (ReadFile(m_hPeer, chunk, sizeof chunk, &got, nullptr) && got > 0)
                quiet = GetTickCount64();
    }

    virtual const char* PeerName() const { return kPeerName; }

    HANDLE m_hPeer = INVALID_HANDLE_VALUE;
};

class Win32FreshLineTest : public Win32PortTest {
protected:
    const char* PeerName() const override { return kFreshPeerName; }
};

TEST_F(Win32PortTest, OpenSetsTheLineAndKeepsFlowControlAsFound)
{
    {
        const HANDLE handle = OpenDirect(kPortName);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(ChangeLineSettings(handle, [](DCB& dcb) {
            dcb.BaudRate = 38400;
            dcb.ByteSize = 7;
            dcb.Parity = EVENPARITY;
            dcb.StopBits = TWOSTOPBITS;
            dcb.fOutxCtsFlow = TRUE;
            dcb.fOutX = TRUE;
            dcb.fInX = TRUE;
            // Each drops, replaces or stops bytes. Wine keeps none of them: there the
            // record the port applies is checked by BinarySafeSettings.
            dcb.fNull = TRUE;
            dcb.fDsrSensitivity = TRUE;
            dcb.fErrorChar = TRUE;
            dcb.fAbortOnError = TRUE;
            dcb.XonChar = 0x05;
            dcb.XoffChar = 0x06;
        }));
        CloseHandle(handle);
    }

    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    ASSERT_EQ(port.Close(), 1);

    // The driver keeps the settings after the port is closed.
    const DCB dcb = LineSettingsOf(kPortName);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutX) << "0x11 and 0x13 are data";
    EXPECT_FALSE(dcb.fInX);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fNull || dcb.fDsrSensitivity || dcb.fErrorChar || dcb.fAbortOnError);
    EXPECT_EQ(dcb.XonChar, 0x05);
    EXPECT_EQ(dcb.XoffChar, 0x06);

    // Later tests expect no handshake.
    const HANDLE handle = OpenDirect(kPortName);
    EXPECT_TRUE(ChangeLineSettings(handle, [](DCB& dcb) { dcb.fOutxCtsFlow = FALSE; }));
    CloseHandle(handle);
}

TEST_F(Win32PortTest, WriteSendsEveryByteValue)
{
    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    const Bytes bytes = {0x00, 0x0A, 0x0D, 0xFF, 'A', '+'};
    EXPECT_EQ(port.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size())), 6);
    EXPECT_EQ(PeerReceive(bytes.size()), bytes);
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(Win32PortTest, ReadCollectsEachByteIntoTheCallersBuffer)
{
    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    const Bytes bytes = {0xFF, 0x00, 0x0D, 0x0A, '+', 'V'};
    PeerSend(bytes);
    EXPECT_EQ(ReadBytes(port, bytes.size()), bytes);
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(Win32PortTest, ReadOfMoreThanIsQueuedTakesNothing)
{
    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    PeerSend({'O', 'K'});
    ASSERT_TRUE(WaitQueuedAtPort(2));

    std::uint8_t buffer[3] = {};
    EXPECT_EQ(port.Read(buffer, 3), -1);
    EXPECT_EQ(port.Read(buffer, 3), -1);
    EXPECT_EQ(ReadBytes(port, 2), (Bytes{'O', 'K'}));
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(Win32PortTest, OpenDiscardsBytesQueuedBefore)
{
    PeerSend({'o', 'l', 'd'});
    ASSERT_TRUE(WaitQueuedAtPort(3));

    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    std::uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), -1);
    PeerSend({'n'});
    EXPECT_EQ(ReadBytes(port, 1), Bytes{'n'});
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(Win32PortTest, EveryNameFormReachesTheDevice)
{
    for (const int portIndex : kPortIndexes) {
        SCOPED_TRACE(portIndex);
        // Wine's device map misses the links; the port list finds them all the same.
        EXPECT_TRUE(port_info::PortIsThere(portIndex, port_info::InspectPort(portIndex)));
        CSerialPort port = MakePort(portIndex);
        ASSERT_EQ(port.Open(), 1);
        const std::uint8_t marker = static_cast<std::uint8_t>('a' + portIndex);
        EXPECT_EQ(port.Write(&marker, 1), 1);
        EXPECT_EQ(PeerReceive(1), Bytes{marker});
        EXPECT_EQ(port.Close(), 1);
    }
}

TEST_F(Win32PortTest, CloseReleasesTheDeviceAndQuietensReads)
{
    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    CaptureStderr();
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Close(), 1);
    std::uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "");

    CSerialPort next = MakePort(kPortIndex);
    EXPECT_EQ(next.Open(), 1);
    EXPECT_EQ(next.Close(), 1);
}

// A peer that takes nothing fills the pair's buffers: the write is given up
// at its time limit, cancelled and waited for, a write failure and no unplug.
TEST_F(Win32PortTest, WriteHeldForTheTimeLimitFailsAsAWriteNotAnUnplug)
{
    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    const Bytes flood(4 << 20, 'x');
    CaptureStderr();
    EXPECT_EQ(port.Write(flood.data(), static_cast<std::uint32_t>(flood.size())), 0);
    EXPECT_EQ(GetCapturedStderr(), "WaitForSingleObject Failed!\n");
    EXPECT_EQ(port_info::DescribeFailure(kPortIndex, port.LastFailure()),
              "Write to COM9 failed: the line held the output for 2 s");
    EXPECT_EQ(port.CheckDevice(), 1);
    EXPECT_FALSE(port.DeviceGone());
    EXPECT_EQ(port.Close(), 1);
    PeerDiscard();
}

// Wine shows the terminal's XON/XOFF as the DCB's fOutX, which the port must
// turn off: the module's version and profile bytes include 0x11 and 0x13.
TEST_F(Win32FreshLineTest, EveryByteCrossesALineAtTheKernelsDefaults)
{
    ASSERT_TRUE(LineSettingsOf(kFreshPortName).fOutX) << "COM11 must start with XON/XOFF on";
    CSerialPort port = MakePort(kFreshPortIndex);
    ASSERT_EQ(port.Open(), 1);
    const Bytes bytes = {0x13, 0x11, 0x0D, 0x03, 0x7F, 0x04, 0x0A};
    PeerSend(bytes);
    EXPECT_EQ(ReadBytes(port, bytes.size()), bytes);
    EXPECT_EQ(port.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size())),
              static_cast<int>(bytes.size()));
    EXPECT_EQ(PeerReceive(bytes.size()), bytes);
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(Win32PortTest, SecondOpenOfAHeldPortFailsAsInUse)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce the share mode of serial devices, so a second "
                        "CreateFileA succeeds there; exclusive use is tested on Linux";
    CSerialPort port = MakePort(kPortIndex);
    ASSERT_EQ(port.Open(), 1);
    CSerialPort other = MakePort(kPortIndex);
    CaptureStderr();
    EXPECT_EQ(other.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), "CreateFile failed with error 5.\n");
    EXPECT_EQ(port.Close(), 1);
}

TEST(Win32LineSettings, BinarySafeSettings)
{
    serial_platform::LineSettings settings;
    DCB& dcb = *reinterpret_cast<DCB*>(settings.native);
    dcb.fBinary = FALSE;
    dcb.fNull = dcb.fDsrSensitivity = dcb.fErrorChar = dcb.fAbortOnError = TRUE;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    serial_platform::MakeBinarySafe(settings);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fNull || dcb.fDsrSensitivity || dcb.fErrorChar || dcb.fAbortOnError);
    EXPECT_FALSE(dcb.fOutX || dcb.fInX);
    EXPECT_TRUE(dcb.fOutxCtsFlow) << "hardware flow control stays as the driver has it";
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
}

TEST(Win32PortErrors, MissingDeviceReportsFileNotFound)
{
    for (const int portIndex : kMissingPortIndexes) {
        SCOPED_TRACE(portIndex);
        EXPECT_FALSE(port_info::PortIsThere(portIndex, port_info::InspectPort(portIndex)));
        CSerialPort port = MakePort(portIndex);
        CaptureStderr();
        EXPECT_EQ(port.Open(), 0);
        EXPECT_EQ(GetCapturedStderr(), "CreateFile failed with error 2.\n");
        // Closed, not held: the index can change.
        EXPECT_EQ(port.SetPort(kPortIndex), 1);
    }
}

// Whatever error the system gives once the kernel hangs the line up, as when
// its adapter is unplugged, must end the port as gone.
TEST(Win32PortErrors, AHungUpLineMeansTheDeviceIsGone)
{
    const char* hangUp = std::getenv("ZR9_HANGUP_FILE");
    if (!hangUp)
        GTEST_SKIP() << "needs a line that tests/wine/run-wine-tests.sh hangs up";
    CSerialPort port = MakePort(kHangUpPortIndex);
    ASSERT_EQ(port.Open(), 1);
    port.PrintDiagnostics(false);
    CloseHandle(CreateFileA(hangUp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    for (const ULONGLONG end = GetTickCount64() + kPatienceMs; GetTickCount64() < end; Sleep(20))
        if (port.CheckDevice() == 0)
            break;
    EXPECT_EQ(port_info::DescribeFailure(kHangUpPortIndex, port.LastFailure()),
              "COM28 was unplugged")
        << port.LastFailure().diagnostic;
}

TEST(Win32PortErrors, IndexOutsideTheTableFailsLikeAMissingDevice)
{
    CSerialPort port = MakePort(31);
    CaptureStderr();
    EXPECT_EQ(port.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), "CreateFile failed with error 2.\n");
}

}  // namespace
