#include "protocol_fixture.h"

#include <algorithm>

void CProtocolFixture::SetUp()
{
    SerialPort.Close();
    SerialPort.SetPort(kPortIndex);
    ConnectionState = Idle;
    ReplyFillIndex = 0;
    TimeoutFlag = 0;
    ModuleProfile = DefaultProfile;
    std::fill(std::begin(PortMap), std::end(PortMap), 0);
    PortMap[0] = kPortIndex;
    m_window.m_nSelectedPort = 0;
    ShowWorkingCopy(m_window);
    m_window.m_vLog.clear();
}

void CProtocolFixture::ConnectAccepted()
{
    m_window.At(m_window.m_nNowMs + 50, [this] { m_module.Send(PasswordAnswer('1', 1, 3)); });
    btnConnectClick(m_window);
    ASSERT_EQ(ConnectionState, Connected);
    m_module.Received(kConnectCommandSize);
    m_window.m_vLog.clear();
}

void CProtocolFixture::RunUntil(long atMs)
{
    while (m_window.m_nNowMs < atMs)
        m_window.ProcessPendingEvents();
}

std::string PasswordAnswer(char status, std::uint8_t major, std::uint8_t minor)
{
    return std::string("+PWD=") + status + static_cast<char>(major) + static_cast<char>(minor) + "\n";
}
