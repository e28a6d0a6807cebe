// The connect handshake: command bytes, every outcome, disconnect, and the
// guards around the port list.
#include "protocol_fixture.h"

namespace {

const std::string kComProtError = "ComProt Error or BT MODE ERROR    ";

using ConnectCommand = CProtocolFixture;
using Handshake = CProtocolFixture;
using Disconnect = CProtocolFixture;
using ConnectGuards = CProtocolFixture;

std::vector<std::string> Outcome(const CFakeWindow& window)
{
    return window.LogOf({"caption", "enable", "box", "version", "progress"});
}

TEST(VersionText, PadsMajorWithSpaceAndMinorWithZero)
{
    EXPECT_EQ(FormatVersion(1, 3), "Version  1.03");
    EXPECT_EQ(FormatVersion(12, 5), "Version 12.05");
    EXPECT_EQ(FormatVersion(0, 0), "Version  0.00");
    EXPECT_EQ(FormatVersion(255, 255), "Version 255.255");
}

TEST_F(ConnectCommand, SixteenBytesForFourTwoAndNoPasswordCharacters)
{
    const std::pair<std::string, std::string> cases[] = {
        {"6874", std::string("AT+PROG=?6874\x01\n\r", 16)},
        {"68", std::string("AT+PROG=?68\0" "1\x01\n\r", 16)},
        {"", std::string("AT+PROG=?\0" "481\x01\n\r", 16)},
    };
    for (const auto& [password, expected] : cases) {
        m_window.m_sCfgPwd = password;
        btnConnectClick(m_window);
        EXPECT_EQ(m_module.Received(kConnectCommandSize), ToBytes(expected)) << '"' << password << '"';
        EXPECT_EQ(ConnectionState, Idle);
    }
}

TEST_F(ConnectCommand, PasswordEndsAtFourCharactersOrItsFirstZero)
{
    const auto longer = BuildConnectCommand("123456");
    EXPECT_EQ(std::string(longer.begin(), longer.end()), std::string("AT+PROG=?1234\x01\n\r", 16));
    const auto withZero = BuildConnectCommand(std::string("1\0" "34", 4));
    EXPECT_EQ(std::string(withZero.begin(), withZero.end()),
              std::string("AT+PROG=?1\0" "81\x01\n\r", 16));
}

TEST_F(Handshake, AcceptedPasswordConnects)
{
    m_window.At(100, [this] { m_module.Send(PasswordAnswer('1', 1, 3)); });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_TRUE(PortIsOpen());
    EXPECT_EQ(m_window.m_sVersion, "Version  1.03");
    EXPECT_FALSE(m_window.m_bTimerEnabled);
    EXPECT_LT(m_window.m_nNowMs, 2000);
    EXPECT_EQ(Outcome(m_window),
              (std::vector<std::string>{"progress 20000", "version Version  1.03", "caption Disconnect",
                                        "enable btnWrite 1", "enable btnRead 1", "enable btnReboot 1",
                                        "enable cmbComSel 0", "progress 20000"}));
}

TEST_F(Handshake, OnlyTheFirstFourBytesDecideTheKind)
{
    // Byte 4 is not examined; lines of other kinds are ignored.
    m_window.At(100, [this] { m_module.Send("junk+OK\n+PW\n+PROG=W\n+PWDx1\x0c\x05\r\n"); });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_EQ(m_window.m_sVersion, "Version 12.05");
    EXPECT_EQ(m_window.LogOf({"box"}), std::vector<std::string>{});
}

TEST_F(Handshake, VersionBytesAreDataEvenWhenTheyAreLineFeeds)
{
    m_window.At(100, [this] { m_module.Send(PasswordAnswer('1', 0x0A, 0x0A)); });
    btnConnectClick(m_window);
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_EQ(m_window.m_sVersion, "Version 10.10");
}

TEST_F(Handshake, RefusedPasswordShowsOneBoxAndCloses)
{
    bool portOpenInBox = false;
    m_window.m_fnInsideBox = [&](const std::string&) { portOpenInBox = PortIsOpen(); };
    m_window.At(100, [this] { m_module.Send(PasswordAnswer('0', 2, 7)); });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_FALSE(PortIsOpen());
    EXPECT_TRUE(portOpenInBox);
    EXPECT_EQ(m_window.m_sCaption, "Connect");
    EXPECT_FALSE(m_window.m_bReadEnabled);
    EXPECT_EQ(Outcome(m_window),
              (std::vector<std::string>{"progress 20000", "box Password Error", "version Version  2.07",
                                        "caption Connect", "progress 20000"}));
}

TEST_F(Handshake, VersionAnswerShowsVersionErrorBeforeClosing)
{
    bool portOpenInBox = false;
    m_window.m_fnInsideBox = [&](const std::string&) { portOpenInBox = PortIsOpen(); };
    m_window.At(100, [this] { m_module.Send("+VER1\x01\x03\n"); });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_TRUE(portOpenInBox);
    EXPECT_FALSE(PortIsOpen());
    EXPECT_EQ(m_window.m_sVersion, "Version");
    EXPECT_EQ(Outcome(m_window), (std::vector<std::string>{"progress 20000", "box Version Error",
                                                           "caption Connect", "progress 20000"}));
}

TEST_F(Handshake, NoAnswerEndsAtTheTimerWithComProtError)
{
    bool portOpenInBox = false;
    m_window.m_fnInsideBox = [&](const std::string&) { portOpenInBox = PortIsOpen(); };
    btnConnectClick(m_window);

    EXPECT_GE(m_window.m_nNowMs, 2000);
    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_TRUE(portOpenInBox);
    EXPECT_FALSE(PortIsOpen());
    EXPECT_FALSE(m_window.m_bTimerEnabled);
    EXPECT_EQ(Outcome(m_window), (std::vector<std::string>{"progress 20000", "box " + kComProtError,
                                                           "caption Connect", "progress 20000"}));
}

TEST_F(Handshake, UnopenablePortShowsFailAndNothingElse)
{
    PortMap[1] = 9;  // no COM10 in the port folder
    m_window.m_nSelectedPort = 1;
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_EQ(m_window.m_vLog, (std::vector<std::string>{
                                   "caption Fail", "port failure CreateFile failed with error 2."}));
}

TEST_F(Handshake, StrayLineFeedDoesNotReuseAnEarlierAcceptance)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    btnConnectClick(m_window);
    m_window.At(m_window.m_nNowMs + 100, [this] { m_module.Send("\r\n"); });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_EQ(m_window.LogOf({"box"}), std::vector<std::string>{"box " + kComProtError});
}

TEST_F(Handshake, ShortAnswerDoesNotReuseAnEarlierStatus)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    btnConnectClick(m_window);
    m_window.At(m_window.m_nNowMs + 100, [this] { m_module.Send("+PWD\n"); });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_EQ(m_window.LogOf({"box", "version"}),
              (std::vector<std::string>{"box Password Error", "version Version  0.00"}));
}

TEST_F(Handshake, OverLongLineIsSkippedAndTheAnswerAfterItConnects)
{
    m_window.At(100, [this] {
        m_module.Send("+" + std::string(400, 'x') + "\n" + PasswordAnswer('1', 3, 4));
    });
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_EQ(m_window.m_sVersion, "Version  3.04");
}

TEST_F(Disconnect, ClosesAndSwitchesControlsKeepingTheVersion)
{
    ASSERT_NO_FATAL_FAILURE(ConnectAccepted());
    btnConnectClick(m_window);

    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_FALSE(PortIsOpen());
    EXPECT_EQ(m_window.m_sVersion, "Version  1.03");
    EXPECT_EQ(m_window.m_vLog,
              (std::vector<std::string>{"caption Connect", "enable btnWrite 0", "enable btnRead 0",
                                        "enable btnReboot 0", "enable cmbComSel 1"}));
}

TEST_F(Disconnect, DuringTheWaitEndsAtTheTimerWithComProtError)
{
    m_window.At(100, [this] { btnConnectClick(m_window); });
    // The port is closed by then: this answer is never read.
    m_window.At(200, [this] { m_module.Send(PasswordAnswer('1', 1, 3)); });
    btnConnectClick(m_window);

    EXPECT_GE(m_window.m_nNowMs, 2000);
    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_FALSE(PortIsOpen());
    EXPECT_EQ(Outcome(m_window),
              (std::vector<std::string>{"progress 20000", "caption Connect", "enable btnWrite 0",
                                        "enable btnRead 0", "enable btnReboot 0", "enable cmbComSel 1",
                                        "box " + kComProtError, "caption Connect", "progress 20000"}));
}

TEST_F(ConnectGuards, NoSelectedPortShowsFailAndOpensNothing)
{
    for (const int position : {-1, kPortMapSize, 1000}) {
        m_window.m_nSelectedPort = position;
        m_window.m_vLog.clear();
        btnConnectClick(m_window);
        EXPECT_EQ(m_window.m_vLog, std::vector<std::string>{"caption Fail"}) << position;
        EXPECT_EQ(ConnectionState, Idle);
        // Still closed and still set to COM5: no index from outside the table reached the port.
        EXPECT_EQ(SerialPort.Open(), 1);
        SerialPort.Close();
    }
    EXPECT_TRUE(m_module.Received(0).empty());
}

TEST_F(ConnectGuards, ClickDuringPortDiscoveryDoesNothing)
{
    m_window.m_bDiscoveryRunning = true;
    btnConnectClick(m_window);
    EXPECT_TRUE(m_window.m_vLog.empty());
    EXPECT_FALSE(PortIsOpen());

    // Nested in a discovery that runs inside a connect's wait: no disconnect.
    m_window.m_bDiscoveryRunning = false;
    m_window.At(50, [this] {
        m_window.m_bDiscoveryRunning = true;
        btnConnectClick(m_window);
        m_window.m_bDiscoveryRunning = false;
    });
    m_window.At(100, [this] { m_module.Send(PasswordAnswer('1', 1, 3)); });
    btnConnectClick(m_window);
    EXPECT_EQ(ConnectionState, Connected);
}

}  // namespace
