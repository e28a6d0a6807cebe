// Read, Write and ReBoot on a connected module, and the window's working copy.
#include "protocol_fixture.h"

#include <cstring>

namespace {

using Read = CProtocolFixture;
using Write = CProtocolFixture;
using Reboot = CProtocolFixture;
using WorkingCopy = CProtocolFixture;

const std::string kReadCommand = "AT+PROG=R\n\r";

// A record unlike the default one in every field that the tests look at.
std::string Record(std::uint8_t flags, std::uint8_t baud, const std::string& name)
{
    ProfileBytes record = DefaultProfile;
    std::memcpy(record.data() + 24, "1234", 4);
    std::memcpy(record.data() + 28, "246810", 6);
    record[34] = 1;  // AT-command mode
    record[36] = flags;
    record[37] = baud;
    record[38] = 1;  // even parity
    std::fill(record.begin() + 40, record.end(), 0);
    std::memcpy(record.data() + 40, name.data(), name.size());
    return std::string(record.begin(), record.end());
}

std::string ProfileAnswer(const std::string& record)
{
    return "+PROG=R" + record + "\n";
}

TEST_F(Read, DecodesTheProfileAnswerIntoTheFields)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    // A slow display: each pass's repaint takes 20 ms, so the answer must
    // not need a pass per byte.
    m_window.m_nMsPerPump = 20;
    const long start = m_window.m_nNowMs;
    m_window.At(start + 100, [this] { m_module.Send(ProfileAnswer(Record(0x04, 8, "MODULE"))); });
    btnReadClick(m_window);

    EXPECT_EQ(m_module.Received(kReadCommand.size()), ToBytes(kReadCommand));
    const ProfileView& view = m_window.m_view;
    EXPECT_EQ(view.CfgPwd, "1234");
    EXPECT_EQ(view.PinCode, "246810");
    EXPECT_TRUE(view.ModeAt);
    EXPECT_TRUE(view.Security);
    EXPECT_FALSE(view.ckPeerAddr);
    EXPECT_EQ(view.UartBaud, 8);
    EXPECT_TRUE(view.ParityE);
    EXPECT_EQ(view.LocalName, "MODULE");
    EXPECT_LT(m_window.m_nNowMs, start + 1000);
    // Read leaves the timer running.
    EXPECT_TRUE(m_window.m_bTimerEnabled);
    EXPECT_EQ(m_window.LogOf({"progress", "box"}), (std::vector<std::string>{"progress 100", "progress 100"}));
}

TEST_F(Read, LineFeedsInsideTheRecordAreReadAsData)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    // Flags 0x0A: peer address and bonding; baud index 10.
    m_window.At(m_window.m_nNowMs + 100,
                [this] { m_module.Send(ProfileAnswer(Record(0x0A, 10, "AB\nCD"))); });
    btnReadClick(m_window);

    const ProfileView& view = m_window.m_view;
    EXPECT_TRUE(view.ckPeerAddr);
    EXPECT_TRUE(view.bonding);
    EXPECT_FALSE(view.Security);
    EXPECT_EQ(view.UartBaud, 10);
    EXPECT_EQ(view.LocalName, "AB\nCD");
    EXPECT_EQ(view.PinCode, "246810");
    EXPECT_EQ(m_module.Queued(), 0);
}

TEST_F(Read, OtherLineEndsTheWaitAndChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    const ProfileView before = m_window.m_view;
    const long start = m_window.m_nNowMs;
    m_window.At(start + 100, [this] { m_module.Send("+ERR\n"); });
    btnReadClick(m_window);

    EXPECT_EQ(m_window.m_view, before);
    EXPECT_LT(m_window.m_nNowMs, start + 1000);
    EXPECT_EQ(m_window.LogOf({"box", "fields"}), std::vector<std::string>{});
}

TEST_F(Read, NoAnswerEndsAtTheTickAndChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    const ProfileView before = m_window.m_view;
    const long start = m_window.m_nNowMs;
    btnReadClick(m_window);

    EXPECT_EQ(m_window.m_view, before);
    EXPECT_GE(m_window.m_nNowMs, start + 1000);
    EXPECT_FALSE(m_window.m_bTimerEnabled);
    EXPECT_EQ(m_window.LogOf({"progress", "box", "tick"}),
              (std::vector<std::string>{"progress 100", "tick", "progress 100"}));
}

// The timer still runs from the first Read, which ended on its answer: the
// second starts it anew and has its whole second.
TEST_F(Read, SecondReadInsideTheFirstPeriodHasItsOwnFullPeriod)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    const long start = m_window.m_nNowMs;
    m_window.At(start + 100, [this] { m_module.Send("+OK\n"); });
    btnReadClick(m_window);
    RunUntil(start + 300);
    btnReadClick(m_window);

    EXPECT_GE(m_window.m_nNowMs, start + 1300);
    EXPECT_LT(m_window.m_nNowMs, start + 1310);
    EXPECT_EQ(m_window.LogOf({"timer start", "tick"}),
              (std::vector<std::string>{"timer start", "timer start", "tick"}));
}

TEST_F(Read, HalfLineOfATimedOutReadIsDropped)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    m_window.At(m_window.m_nNowMs + 100, [this] { m_module.Send("+PROG=R\x01\x02"); });
    btnReadClick(m_window);
    ASSERT_NE(m_window.m_view.LocalName, "MODULE");

    m_window.At(m_window.m_nNowMs + 100, [this] { m_module.Send(ProfileAnswer(Record(0x04, 3, "MODULE"))); });
    btnReadClick(m_window);
    EXPECT_EQ(m_window.m_view.LocalName, "MODULE");
    EXPECT_EQ(m_window.m_view.UartBaud, 3);
}

TEST_F(Read, LinesQueuedBetweenWaitsAreNotTakenForTheAnswer)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    // A late answer to an earlier Read, and junk, arrive while nothing waits.
    m_module.Send("+OK\n" + ProfileAnswer(Record(0x04, 3, "STALE")) + "\x01\x02");
    m_window.At(m_window.m_nNowMs + 50,
                [this] { m_module.Send(ProfileAnswer(Record(0x02, 5, "FRESH"))); });
    btnReadClick(m_window);
    EXPECT_EQ(m_window.m_view.LocalName, "FRESH");
    EXPECT_EQ(m_window.m_view.UartBaud, 5);
    EXPECT_EQ(m_module.Queued(), 0);
}

TEST_F(Read, DisconnectDuringTheWaitEndsItAtTheTick)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    const long start = m_window.m_nNowMs;
    m_window.At(start + 50, [this] { btnConnectClick(m_window); });
    btnReadClick(m_window);

    EXPECT_GE(m_window.m_nNowMs, start + 1000);
    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_FALSE(PortIsOpen());
}

TEST_F(Write, ShortPinShowsTheMessageAndSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    m_window.m_view.PinCode = "12345";
    m_window.m_view.LocalName = "CHANGED";
    btnWriteClick(m_window);

    EXPECT_EQ(m_window.m_vLog, std::vector<std::string>{"box PinCode Need 6 Digit (0-9) "});
    EXPECT_EQ(ModuleProfile, DefaultProfile);
    EXPECT_TRUE(m_module.Received(0).empty());
}

TEST_F(Write, PinCheckTestsOnlyTheLength)
{
    for (const std::string pin : {"", "12345"}) {
        m_window.m_view.PinCode = pin;
        EXPECT_FALSE(CheckPinCodeLength(m_window));
    }
    for (const std::string pin : {"abcdef", "1234567"}) {
        m_window.m_view.PinCode = pin;
        EXPECT_TRUE(CheckPinCodeLength(m_window));
    }
    EXPECT_EQ(m_window.LogOf({"box"}).size(), 2u);
}

TEST_F(Write, SendsTheRecordBuiltFromTheFields)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    m_window.m_view.PinCode = "abcdef";
    m_window.m_view.LocalName = "NEW NAME";
    btnWriteClick(m_window);

    const Bytes sent = m_module.Received(75);
    ASSERT_EQ(sent.size(), 75u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 9), ToBytes("AT+PROG=W"));
    EXPECT_EQ(Bytes(sent.begin() + 9, sent.begin() + 73), Bytes(ModuleProfile.begin(), ModuleProfile.end()));
    EXPECT_EQ(Bytes(sent.begin() + 73, sent.end()), ToBytes("\n\r"));
    EXPECT_EQ(std::string(ModuleProfile.begin() + 28, ModuleProfile.begin() + 34), "abcdef");
    EXPECT_EQ(std::string(ModuleProfile.begin() + 40, ModuleProfile.begin() + 49), std::string("NEW NAME\0", 9));
    EXPECT_TRUE(m_window.m_vLog.empty());
}

TEST_F(Reboot, SendsElevenBytesAndStaysConnected)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    btnRebootClick(m_window);

    EXPECT_EQ(m_module.Received(11), ToBytes("AT+REBOOT\n\r"));
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_TRUE(PortIsOpen());
    EXPECT_TRUE(m_window.m_vLog.empty());
}

TEST_F(WorkingCopy, WindowShowsTheWorkingCopy)
{
    EXPECT_EQ(m_window.m_view.LocalName, "BLE UART");
    EXPECT_EQ(m_window.m_view.CfgPwd, "6874");
    EXPECT_EQ(m_window.m_view.UartBaud, 1);
    EXPECT_EQ(std::memcmp(ReplyLine, "+PROG=R", 7), 0);
    EXPECT_EQ(ReplyFillIndex, 0);

    m_window.m_view.LocalName = "OTHER";
    EncodeProfile(m_window.m_view);
    m_window.m_view = ProfileView{};
    ShowWorkingCopy(m_window);
    EXPECT_EQ(m_window.m_view.LocalName, "OTHER");
    EXPECT_EQ(m_window.m_view.PinCode, "865847");
}

}  // namespace
