// The port logic driven through a scripted platform: every failure step, the
// deferred read and write paths and the port name table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "fake_serial_platform.h"
#include "fake_window.h"
#include "serialport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class SerialCoreTest : public testing::Test {
protected:
    void SetUp() override { FakePlatform.Reset(); }

    // Opens and then forgets the calls made so far.
    void OpenReady()
    {
        ASSERT_EQ(m_port.Open(), 1);
        FakePlatform.m_vecCalls.clear();
    }

    CSerialPort m_port{20, 9600, 0, 8, 0, 4096, 4096};
};

// Transfers the system leaves outstanding past the call that starts them.
class SerialDeferredTest : public SerialCoreTest {
protected:
    void SetUp() override
    {
        if (FakePlatform.kPosixRules)
            GTEST_SKIP() << "POSIX ends every transfer inside its call";
        SerialCoreTest::SetUp();
    }
};

// ---- Open ----

TEST_F(SerialCoreTest, OpenConfiguresLineAndKeepsTheRestAsReported)
{
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");

    EXPECT_EQ(FakePlatform.m_strOpenedName, "\\\\.\\COM21");
    EXPECT_EQ(FakePlatform.m_dwInQueue, 4096u);
    EXPECT_EQ(FakePlatform.m_dwOutQueue, 4096u);
    EXPECT_EQ(FakePlatform.CallCount("PurgeAll"), 1);
    const serial_platform::LineSettings& applied = FakePlatform.m_settingsApplied;
    EXPECT_EQ(applied.baudRate, 9600u);
    EXPECT_EQ(applied.byteSize, 8);
    EXPECT_EQ(applied.parity, 0);
    EXPECT_EQ(applied.stopBits, 0);
    EXPECT_EQ(applied.dtrControl, serial_platform::kDtrControlEnable);
    for (std::size_t i = 0; i < sizeof applied.native; ++i)
        ASSERT_EQ(applied.native[i], static_cast<unsigned char>(i * 7 + 3)) << "byte " << i;
    EXPECT_EQ(FakePlatform.CallCount("CreateCompletionEvent"), 2);
}

TEST_F(SerialCoreTest, OpenNamesDevicesFromTheTable)
{
    const std::pair<int, std::string> cases[] = {
        {0, "COM1"}, {8, "COM9"}, {9, "\\\\.\\COM10"}, {30, "\\\\.\\COM31"}};
    for (const auto& [index, name] : cases) {
        ASSERT_EQ(m_port.SetPort(index), 1);
        EXPECT_EQ(m_port.Open(), 1);
        EXPECT_EQ(FakePlatform.m_strOpenedName, name) << "index " << index;
        EXPECT_EQ(m_port.Close(), 1);
    }
}

TEST_F(SerialCoreTest, WindowsNameTable)
{
    EXPECT_STREQ(serial_platform::WindowsPortName(0), "COM1");
    EXPECT_STREQ(serial_platform::WindowsPortName(8), "COM9");
    EXPECT_STREQ(serial_platform::WindowsPortName(9), "\\\\.\\COM10");
    EXPECT_STREQ(serial_platform::WindowsPortName(19), "\\\\.\\COM20");
    EXPECT_STREQ(serial_platform::WindowsPortName(30), "\\\\.\\COM31");
    EXPECT_EQ(serial_platform::WindowsPortName(31), nullptr);
    EXPECT_EQ(serial_platform::WindowsPortName(-1), nullptr);
}

TEST_F(SerialCoreTest, OpenOutsideTheTableFailsAsAMissingDevice)
{
    for (int index : {31, -1, 1000}) {
        ASSERT_EQ(m_port.SetPort(index), 1);
        CaptureStderr();
        EXPECT_EQ(m_port.Open(), 0);
        EXPECT_EQ(GetCapturedStderr(), "CreateFile failed with error 2.\n");
        EXPECT_EQ(FakePlatform.CallCount("OpenExclusive"), 0);
        EXPECT_EQ(m_port.SetPort(index), 1) << "port must stay closed";
    }
}

TEST_F(SerialCoreTest, DeviceThatCannotBeOpenedLeavesPortClosed)
{
    FakePlatform.FailCall("OpenExclusive");
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), "CreateFile failed with error 31.\n");
    EXPECT_EQ(m_port.SetPort(3), 1);
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(FakePlatform.CallCount("ClosePort"), 0);
}

struct ConfigureFailure {
    const char* call;
    const char* line;
};

class SerialOpenStepTest : public SerialCoreTest,
                           public testing::WithParamInterface<ConfigureFailure> {};

TEST_P(SerialOpenStepTest, FailureLeavesDeviceHeld)
{
    FakePlatform.FailCall(GetParam().call);
    FakePlatform.m_dwFailCode = 87;
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), std::string(GetParam().line) + "87.\n");

    // Held: the device is kept (SetPort refused) and no events exist.
    EXPECT_EQ(FakePlatform.CallCount("CreateCompletionEvent"), 0);
    EXPECT_EQ(m_port.SetPort(3), 0);
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(FakePlatform.CallCount("ClosePort"), 1);
    EXPECT_EQ(FakePlatform.CallCount("CloseEvent"), 0);
    EXPECT_EQ(m_port.SetPort(3), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SerialOpenStepTest,
    testing::Values(ConfigureFailure{"SetEventMask", "SetCommMask failed with error "},
                    ConfigureFailure{"SetQueueSizes", "SetupComm failed with error "},
                    ConfigureFailure{"PurgeAll", "PurgeComm failed with error "},
                    ConfigureFailure{"GetLineSettings", "GetCommState failed with error "},
                    ConfigureFailure{"SetLineSettings", "SetCommState Failed with error "}));

TEST_F(SerialCoreTest, OpenAfterHeldReleasesTheHeldDeviceFirst)
{
    FakePlatform.FailCall("PurgeAll");
    CaptureStderr();
    ASSERT_EQ(m_port.Open(), 0);
    GetCapturedStderr();
    FakePlatform.m_vecCalls.clear();

    EXPECT_EQ(m_port.Open(), 1);
    const std::vector<std::string> start(FakePlatform.m_vecCalls.begin(),
                                         FakePlatform.m_vecCalls.begin() + 3);
    EXPECT_EQ(start, (std::vector<std::string>{"DrainOutput", "ClosePort", "OpenExclusive"}));
}

TEST_F(SerialCoreTest, OpenStopsWhenTheHeldDeviceCannotBeReleased)
{
    FakePlatform.FailCall("PurgeAll");
    CaptureStderr();
    ASSERT_EQ(m_port.Open(), 0);
    GetCapturedStderr();

    FakePlatform.FailCall("ClosePort");
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 0);
    EXPECT_EQ(GetCapturedStderr(), "CloseHandle Failed with error 31.\n");
    EXPECT_EQ(FakePlatform.CallCount("OpenExclusive"), 1) << "the held handle must not be lost";
}

TEST_F(SerialCoreTest, EventCreationFailuresStillOpen)
{
    FakePlatform.FailCall("CreateCompletionEvent", 1);
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 1);
    EXPECT_EQ(GetCapturedStderr(), "CreateEvent for osRead failed with error 31.\n");
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(FakePlatform.CallCount("CloseEvent"), 1) << "only the event that exists";

    FakePlatform.Reset();
    FakePlatform.FailCall("CreateCompletionEvent", 2);
    CaptureStderr();
    EXPECT_EQ(m_port.Open(), 1);
    EXPECT_EQ(GetCapturedStderr(), "CreateEvent for osWrite failed with error 31.\n");
}

TEST_F(SerialDeferredTest, DeferredTransfersWithoutEventsFailAtTheirWait)
{
    FakePlatform.FailCall("CreateCompletionEvent", 1);
    FakePlatform.FailCall("CreateCompletionEvent", 2);
    CaptureStderr();
    ASSERT_EQ(m_port.Open(), 1);
    GetCapturedStderr();

    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_bDeferWrites = true;
    FakePlatform.m_vecIncoming = {0x41};
    std::uint8_t byte = 0;
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(m_port.Write(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "WaitForSingleObject Failed.\nWaitForSingleObject Failed!\n");
}

// ---- Close ----

TEST_F(SerialCoreTest, CloseOfANeverOpenedPortIsQuiet)
{
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(FakePlatform.m_vecCalls.empty());
    EXPECT_EQ(m_port.SetPort(5), 1);
}

TEST_F(SerialCoreTest, CloseReleasesEventsAndDrainsOutputBrieflyBeforeTheDevice)
{
    // A held line must not hold the close as well: its handshake goes off first.
    const std::vector<std::string> freed = {"CloseEvent", "CloseEvent", "DrainOutput",
                                            "TurnOffHardwareFlowControl", "ClosePort"};
    std::vector<std::string> released = freed;
    released.erase(released.begin() + 3);
    const struct {
        const char* line;
        bool queuedAtTheBound;
        bool writeGivenUp;
    } rows[] = {{"free", false, false},
                {"output still queued at the drain's bound", true, false},
                {"a write given up for time", false, true},
                {"free again", false, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        FakePlatform.Reset();
        OpenReady();
        FakePlatform.m_bOutputHeld = row.queuedAtTheBound;
        FakePlatform.m_bDeferWrites = row.writeGivenUp;
        FakePlatform.m_bWritesCompleteOnWait = false;
        const std::uint8_t byte = 1;
        CaptureStderr();
        EXPECT_EQ(row.writeGivenUp ? m_port.Write(&byte, 1) : 0, 0);
        GetCapturedStderr();
        FakePlatform.m_vecCalls.clear();
        EXPECT_EQ(m_port.Close(), 1);
        EXPECT_EQ(FakePlatform.m_vecCalls,
                  row.queuedAtTheBound || row.writeGivenUp ? freed : released);
    }
    // Bounded: a line held off must not hold the window for the driver's closing wait.
    EXPECT_EQ(FakePlatform.m_vecDrainLimits, std::vector<std::uint32_t>{500});
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(FakePlatform.CallCount("ClosePort"), 1);
}

TEST_F(SerialDeferredTest, CloseFailureLinesAndCarryingOn)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {1};
    std::uint8_t byte = 0;
    ASSERT_EQ(m_port.Read(&byte, 1), -1);

    FakePlatform.FailCall("CancelPending");
    FakePlatform.FailCall("CloseEvent", 1);
    FakePlatform.FailCall("ClosePort");
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "CancelIO failed with error 31.\n"
              "CloseHandle m_osRead.hEvent Failed with error 31.\n"
              "CloseHandle Failed with error 31.\n");

    // Held now: events are gone, the device is still there.
    EXPECT_EQ(m_port.SetPort(2), 0);
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(FakePlatform.CallCount("CloseEvent"), 2);
    EXPECT_EQ(FakePlatform.CallCount("ClosePort"), 2);
    EXPECT_EQ(m_port.SetPort(2), 1);
}

TEST_F(SerialCoreTest, WriteEventReleaseFailureLine)
{
    OpenReady();
    FakePlatform.FailCall("CloseEvent", 2);
    CaptureStderr();
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(GetCapturedStderr(), "CloseHandle m_osWrite.hEvent Failed with error 31.\n");
}

// ---- Write ----

TEST_F(SerialCoreTest, WriteSendsWholeBufferOrNothingForLengthZero)
{
    OpenReady();
    const std::uint8_t bytes[] = {0x00, 0x0A, 0x0D, 0xFF};
    EXPECT_EQ(m_port.Write(bytes, 0), 1);
    EXPECT_EQ(FakePlatform.CallCount("StartWrite"), 0);
    EXPECT_EQ(m_port.Write(bytes, 4), 4);
    EXPECT_EQ(FakePlatform.m_vecWritten, std::vector<std::uint8_t>(bytes, bytes + 4));
}

TEST_F(SerialCoreTest, WriteRefusedAtOnceClearsErrorsQuietly)
{
    OpenReady();
    FakePlatform.FailCall("StartWrite");
    const std::uint8_t byte = 7;
    CaptureStderr();
    EXPECT_EQ(m_port.Write(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(FakePlatform.CallCount("ClearErrors"), 1);
}

TEST_F(SerialDeferredTest, DeferredWriteIsWaitedForWithinTheTimeLimit)
{
    OpenReady();
    FakePlatform.m_bDeferWrites = true;
    const std::uint8_t bytes[] = "AT+REBOOT\n\r";
    EXPECT_EQ(m_port.Write(bytes, 11), 11);
    EXPECT_EQ(FakePlatform.m_vecWaitLimits, std::vector<std::uint32_t>{2000});
}

// The cancel takes a deferred read with it. Both are waited for before
// anything of theirs is used again, and their aborts are no unplug.
TEST_F(SerialDeferredTest, DeferredWriteTimingOutIsCancelled)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {1};
    std::uint8_t byte = 0;
    ASSERT_EQ(m_port.Read(&byte, 1), -1);
    FakePlatform.m_vecCalls.clear();
    FakePlatform.m_bDeferWrites = true;
    FakePlatform.m_bWritesCompleteOnWait = false;
    const std::uint8_t bytes[] = {1, 2, 3};
    CaptureStderr();
    EXPECT_EQ(m_port.Write(bytes, 3), 0);
    EXPECT_EQ(GetCapturedStderr(), "WaitForSingleObject Failed!\n");
    EXPECT_EQ(FakePlatform.m_vecCalls,
              (std::vector<std::string>{"StartWrite", "WaitForCompletion", "CancelPending",
                                        "AwaitCancelled", "AwaitCancelled"}));
    EXPECT_EQ(FakePlatform.m_nOutputDiscards, 1) << "what the line held must not go out later";
    EXPECT_TRUE(m_port.LastFailure().timedOut);
    EXPECT_FALSE(m_port.LastFailure().deviceGone);

    FakePlatform.m_bDeferReads = false;
    EXPECT_EQ(m_port.Read(&byte, 1), 1) << "a fresh read, not the aborted one";
    EXPECT_FALSE(m_port.DeviceGone());
    // Cancelled, so Close has nothing left to cancel.
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(FakePlatform.CallCount("CancelPending"), 1);
}

// A wedged driver never finishes a cancel: the port waits a bounded time, says
// so once, and leaves the records, events and buffers to the system, which may
// write into them after the port is gone. Opened again, it starts afresh.
TEST_F(SerialDeferredTest, CancelThatNeverFinishesAbandonsThePortOnce)
{
    {
        CSerialPort port{20, 9600, 0, 8, 0, 4096, 4096};
        ASSERT_EQ(port.Open(), 1);
        FakePlatform.m_bDeferReads = true;
        FakePlatform.m_vecIncoming = {1};
        std::uint8_t byte = 0;
        ASSERT_EQ(port.Read(&byte, 1), -1);
        FakePlatform.m_bDriverWedged = true;
        FakePlatform.m_bDeferWrites = true;
        FakePlatform.m_bWritesCompleteOnWait = false;
        const std::uint8_t bytes[] = {1, 2, 3};
        CaptureStderr();
        EXPECT_EQ(port.Write(bytes, 3), 0);
        EXPECT_TRUE(port.DeviceGone());
        EXPECT_EQ(port.Close(), 1);
        EXPECT_EQ(GetCapturedStderr(), "CancelIO did not finish; port abandoned with error 258.\n");
        EXPECT_EQ(FakePlatform.m_vecCancelLimits, std::vector<std::uint32_t>{500});
        EXPECT_EQ(FakePlatform.CallCount("CloseEvent") + FakePlatform.CallCount("ClosePort"), 0);
        FakePlatform.m_bDeferWrites = false;
        ASSERT_EQ(port.Open(), 1);
        EXPECT_EQ(port.Write(bytes, 3), 3);
    }
    FakePlatform.CompleteRead({0x2B});  // the driver at last, into what it was left
    EXPECT_EQ(FakePlatform.m_nOwnedRecordsReused, 0);
}

TEST_F(SerialDeferredTest, DeferredWriteCompletionFailureLineHasNoFullStop)
{
    OpenReady();
    FakePlatform.m_bDeferWrites = true;
    FakePlatform.FailCall("GetCompletionResult");
    FakePlatform.m_dwFailCode = 1117;
    const std::uint8_t byte = 9;
    CaptureStderr();
    EXPECT_EQ(m_port.Write(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "GetOverlappedResult Failed with error 1117\n");
    EXPECT_EQ(FakePlatform.CallCount("ClearErrors"), 1);
}

// ---- Read ----

TEST_F(SerialCoreTest, ReadTakesOnlyWhenEnoughIsQueued)
{
    OpenReady();
    FakePlatform.m_vecIncoming = {0x00, 0xFF};
    std::uint8_t buffer[4] = {};
    EXPECT_EQ(m_port.Read(buffer, 3), -1);
    EXPECT_EQ(FakePlatform.CallCount("StartRead"), 0);
    EXPECT_EQ(m_port.Read(buffer, 0), -1);
    EXPECT_EQ(m_port.Read(buffer, 2), 2);
    EXPECT_EQ(buffer[0], 0x00);
    EXPECT_EQ(buffer[1], 0xFF);
    EXPECT_EQ(m_port.Read(buffer, 1), -1);
    EXPECT_TRUE(FakePlatform.m_vecWaitLimits.empty());
}

TEST_F(SerialCoreTest, ReadOnAClosedPortIsQuietFailure)
{
    std::uint8_t byte = 0;
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(FakePlatform.m_vecCalls.empty());
}

TEST_F(SerialCoreTest, ReadRefusedAtOnce)
{
    OpenReady();
    FakePlatform.m_vecIncoming = {1};
    FakePlatform.FailCall("StartRead");
    FakePlatform.m_dwFailCode = 5;
    std::uint8_t byte = 0;
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "ReadFile Failed with error 5.\n");
    EXPECT_EQ(m_port.Read(&byte, 1), 1) << "no read was left pending";
}

TEST_F(SerialDeferredTest, DeferredReadIsCollectedByALaterCallIntoItsOwnBuffer)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {0x2B};
    std::uint8_t first = 0xEE;
    EXPECT_EQ(m_port.Read(&first, 1), -1);
    EXPECT_EQ(FakePlatform.m_vecWaitLimits, std::vector<std::uint32_t>{50});

    // Still outstanding: no new read is started, the wait is again bounded.
    FakePlatform.m_vecIncoming.clear();
    std::uint8_t second = 0xEE;
    EXPECT_EQ(m_port.Read(&second, 1), -1);
    EXPECT_EQ(FakePlatform.CallCount("StartRead"), 1);
    EXPECT_EQ(FakePlatform.m_vecWaitLimits, (std::vector<std::uint32_t>{50, 50}));

    FakePlatform.CompleteRead({0x2B});
    std::uint8_t third = 0xEE;
    EXPECT_EQ(m_port.Read(&third, 1), 1);
    EXPECT_EQ(third, 0x2B);
    EXPECT_EQ(first, 0xEE) << "the system must not write into a buffer of an earlier call";
    EXPECT_EQ(second, 0xEE);

    // Collected: nothing pending, nothing queued.
    EXPECT_EQ(m_port.Read(&third, 1), -1);
    EXPECT_EQ(FakePlatform.m_vecWaitLimits.size(), 3u);
}

TEST_F(SerialDeferredTest, DeferredReadCompletingDuringTheWait)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {'A', 'B'};
    std::uint8_t buffer[2] = {};
    EXPECT_EQ(m_port.Read(buffer, 2), -1);
    FakePlatform.CompleteRead({'A', 'B'});
    std::uint8_t small = 0;
    EXPECT_EQ(m_port.Read(&small, 1), -1) << "two bytes do not fit a one-byte buffer";
    EXPECT_EQ(m_port.Read(buffer, 2), 2);
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(buffer[1], 'B');
}

TEST_F(SerialDeferredTest, FailedCompletionCheckClearsThePendingRead)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {1};
    std::uint8_t byte = 0;
    ASSERT_EQ(m_port.Read(&byte, 1), -1);
    FakePlatform.CompleteRead({1});
    FakePlatform.FailCall("GetCompletionResult");
    FakePlatform.m_dwFailCode = 995;
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "GetOverlappedResult Failed with error 995.\n");

    // The next call starts a fresh read.
    FakePlatform.m_bDeferReads = false;
    FakePlatform.m_vecIncoming = {0x55};
    EXPECT_EQ(m_port.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(FakePlatform.CallCount("StartRead"), 2);
}

TEST_F(SerialDeferredTest, ReadWaitFailureLine)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {1};
    FakePlatform.FailCall("WaitForCompletion");
    std::uint8_t byte = 0;
    CaptureStderr();
    EXPECT_EQ(m_port.Read(&byte, 1), 0);
    EXPECT_EQ(GetCapturedStderr(), "WaitForSingleObject Failed.\n");
}

TEST_F(SerialDeferredTest, PendingReadIsCancelledAtCloseAndForgottenByOpen)
{
    OpenReady();
    FakePlatform.m_bDeferReads = true;
    FakePlatform.m_vecIncoming = {1};
    std::uint8_t byte = 0;
    ASSERT_EQ(m_port.Read(&byte, 1), -1);
    EXPECT_EQ(m_port.Close(), 1);
    EXPECT_EQ(FakePlatform.CallCount("CancelPending"), 1);

    ASSERT_EQ(m_port.Open(), 1);
    FakePlatform.m_vecIncoming.clear();
    FakePlatform.m_vecWaitLimits.clear();
    EXPECT_EQ(m_port.Read(&byte, 1), -1);
    EXPECT_TRUE(FakePlatform.m_vecWaitLimits.empty()) << "no read may be pending after Open";
}

TEST_F(SerialCoreTest, ReadLongerThanThePortBufferFails)
{
    OpenReady();
    FakePlatform.m_vecIncoming.assign(CSerialPort::kReadBufferSize + 1, 0x11);
    std::vector<std::uint8_t> buffer(CSerialPort::kReadBufferSize + 1);
    EXPECT_EQ(m_port.Read(buffer.data(), CSerialPort::kReadBufferSize + 1), 0);
    EXPECT_EQ(FakePlatform.CallCount("StartRead"), 0);
    EXPECT_EQ(m_port.Read(buffer.data(), CSerialPort::kReadBufferSize),
              static_cast<int>(CSerialPort::kReadBufferSize));
}

// ---- Commands on the port ----

TEST_F(SerialCoreTest, WriteSendsItsCommandAsOneTransferOrNothing)
{
    ASSERT_EQ(SerialPort.Open(), 1);
    CFakeWindow window;
    window.m_view.PinCode = "865847";
    btnWriteClick(window);
    EXPECT_EQ(FakePlatform.CallCount("StartWrite"), 1);
    EXPECT_EQ(FakePlatform.m_vecWritten.size(), 75u);

    FakePlatform.m_vecWritten.clear();
    FakePlatform.FailCall("StartWrite", 2);
    btnWriteClick(window);
    EXPECT_TRUE(FakePlatform.m_vecWritten.empty()) << "a write refused at once sends nothing";
    EXPECT_TRUE(window.m_bPortFailureShown);
    EXPECT_EQ(SerialPort.Close(), 1);
}

// A write is done once its bytes have left: the queue empty and CTS seen high
// for their line time plus the adapter's latency in all, whatever CTS does
// then (a module may drop it as the command reaches it, to reboot). A line
// that keeps CTS low holds them, and the write fails at its 2 s limit.
TEST_F(SerialCoreTest, AWriteIsDoneOnceCtsLetItsBytesLeave)
{
    using Cts = serial_platform::COutputLine::Cts;
    const struct {
        const char* line;
        long queueMs;
        Cts (*ctsAt)(long ms);
        bool done;
    } rows[] = {
        {"CTS drops as the queue empties, after the bytes' time", 30,
         [](long ms) { return ms < 30 ? Cts::High : Cts::Low; }, true},
        {"CTS low from the start", 0, [](long) { return Cts::Low; }, false},
        {"CTS flickers", 0, [](long ms) { return ms % 10 < 3 ? Cts::High : Cts::Low; }, true},
        {"CTS high for less than the bytes' time", 0,
         [](long ms) { return ms < 10 ? Cts::High : Cts::Low; }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        FakePlatform.Reset();
        FakePlatform.m_nQueueMs = row.queueMs;
        FakePlatform.m_pfnCtsAt = row.ctsAt;
        ASSERT_EQ(SerialPort.Open(), 1);
        CFakeWindow window;
        CaptureStderr();
        btnRebootClick(window);
        EXPECT_EQ(GetCapturedStderr(), row.done ? "" : "WaitForSingleObject Failed!\n");
        EXPECT_EQ(window.m_bPortFailureShown, !row.done);
        EXPECT_EQ(FakePlatform.m_nLineNowMs == 2000, !row.done) << "the write's time limit";
        EXPECT_EQ(FakePlatform.m_nOutputDiscards, row.done ? 0 : 1) << "what the line held";
        EXPECT_EQ(SerialPort.Close(), 1);
    }
}

// An adapter unplugged while connected: seen by the window's watch when
// idle, and at once by a wait or a write, not at the wait's timer. The port
// is closed and the window Idle without a box, the status bar saying so.
TEST_F(SerialCoreTest, UnpluggedDeviceEndsTheConnectionAtOnceWithoutABox)
{
    const struct {
        const char* moment;
        void (*action)(CWindowOps&);
        bool waits;  // the adapter goes 100 ms into the action's wait, else before it
        bool noticeOnly = false;  // its stale handle still answers; only the system's notice tells
    } rows[] = {
        {"idle, at the watch's look", WatchConnection, false},
        {"during Connect's wait", btnConnectClick, true},
        {"during Read's wait", btnReadClick, true},
        {"at Write", btnWriteClick, false},
        {"at ReBoot", btnRebootClick, false},
        {"idle, at a removal notice", PortDeviceRemoved, false, true},
        {"during Read's wait, at a removal notice", btnReadClick, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.moment);
        FakePlatform.Reset();
        CFakeWindow window;
        window.m_view.PinCode = "865847";
        SerialPort.SetPort(4);
        ConnectionState = Idle;
        if (row.action != btnConnectClick) {
            const char answer[] = "+PWD=1\x01\x03\n";
            FakePlatform.m_vecIncoming.assign(answer, answer + sizeof answer - 1);
            btnConnectClick(window);
            ASSERT_EQ(ConnectionState, Connected);
            // The watch leaves a device that is there alone.
            WatchConnection(window);
            ASSERT_EQ(ConnectionState, Connected);
        }
        window.m_vLog.clear();
        const long unpluggedAt = window.m_nNowMs + (row.waits ? 100 : 0);
        window.At(unpluggedAt, [&window, &row] {
            if (row.noticeOnly)
                PortDeviceRemoved(window);
            else
                FakePlatform.m_bUnplugged = true;
        });
        // The window's watch ticks all along, nested in the action's events.
        for (long at = unpluggedAt; at < unpluggedAt + 10; ++at)
            window.At(at, [&window] { WatchConnection(window); });
        FakePlatform.m_bUnplugged = !row.waits && !row.noticeOnly;
        CaptureStderr();
        row.action(window);
        GetCapturedStderr();

        EXPECT_LT(window.m_nNowMs, unpluggedAt + 50) << "not at once";
        EXPECT_EQ(ConnectionState, Idle);
        EXPECT_EQ(window.m_sCaption, "Connect");
        EXPECT_FALSE(window.m_bReadEnabled || window.m_bWriteEnabled || window.m_bRebootEnabled);
        EXPECT_TRUE(window.m_bComSelEnabled);
        EXPECT_EQ(window.LogOf({"box"}), std::vector<std::string>{});
        EXPECT_EQ(window.LogOf({"port failure"}).size(), 1u);
        EXPECT_EQ(SerialPort.SetPort(4), 1) << "the port must be closed";
    }
}

// ---- SetPort ----

TEST_F(SerialCoreTest, SetPortIsRefusedWhileOpen)
{
    ASSERT_EQ(m_port.SetPort(4), 1);
    OpenReady();
    EXPECT_EQ(m_port.SetPort(7), 0);
    ASSERT_EQ(m_port.Close(), 1);
    ASSERT_EQ(m_port.Open(), 1);
    EXPECT_EQ(FakePlatform.m_strOpenedName, "COM5");
}

}  // namespace
