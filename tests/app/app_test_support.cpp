#include "app_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QAbstractButton>
#include <QTest>
#include <cstring>
#include <filesystem>

#include "connection.h"
#include "profile.h"
#include "reply.h"
#include "serialport.h"

CPortDir::CPortDir()
{
    char pattern[] = "/tmp/zr9-app-ports-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_strDir = dir;
    setenv("ZR9_PORT_DIR", m_strDir.c_str(), 1);
}

CPortDir::~CPortDir()
{
    for (const auto& [number, fd] : m_mapMasters)
        close(fd);
    std::filesystem::remove_all(m_strDir);
    unsetenv("ZR9_PORT_DIR");
}

std::string CPortDir::Path(int comNumber) const
{
    return m_strDir + "/COM" + std::to_string(comNumber);
}

int CPortDir::Link(int comNumber)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    std::filesystem::create_symlink(ptsname(master), Path(comNumber));
    m_mapMasters[comNumber] = master;
    return master;
}

void CPortDir::Unlink(int comNumber)
{
    std::filesystem::remove(Path(comNumber));
    close(m_mapMasters.at(comNumber));
    m_mapMasters.erase(comNumber);
}

CFakeModule::CFakeModule(int masterFd, std::string answer)
    : m_nMasterFd(masterFd), m_strAnswer(std::move(answer))
{
    connect(&m_timer, &QTimer::timeout, this, &CFakeModule::Poll);
    m_timer.start(5);
}

void CFakeModule::Poll()
{
    char buffer[256];
    ssize_t count;
    while ((count = read(m_nMasterFd, buffer, sizeof buffer)) > 0)
        m_strReceived.append(buffer, static_cast<std::size_t>(count));
    // The connect command is 16 bytes from "AT+PROG=?" on.
    const auto start = m_strReceived.find("AT+PROG=?");
    if (m_bAnswered || start == std::string::npos || m_strReceived.size() < start + 16)
        return;
    if (m_fnOnCommand) {
        m_fnOnCommand();
        m_fnOnCommand = nullptr;
    }
    if (m_bAnswerHeld || m_strAnswer.empty())
        return;
    m_bAnswered = true;
    ASSERT_EQ(write(m_nMasterFd, m_strAnswer.data(), m_strAnswer.size()),
              static_cast<ssize_t>(m_strAnswer.size()));
}

CBoxCloser::CBoxCloser()
{
    connect(&m_timer, &QTimer::timeout, this, &CBoxCloser::Poll);
    m_timer.start(20);
}

void CBoxCloser::Poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible())
        return;
    m_vecBoxes.push_back(
        {box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->buttons().size())});
    box->buttons().first()->click();
}

std::string PasswordAnswer(char status, unsigned char major, unsigned char minor)
{
    return std::string("+PWD") + '0' + status + static_cast<char>(major) +
           static_cast<char>(minor) + "\n\r";
}

void ResetProcessState()
{
    SerialPort.Close();
    ModuleProfile = DefaultProfile;
    std::memset(ReplyLine, 0, sizeof ReplyLine);
    ReplyFillIndex = 0;
    TimeoutFlag = 0;
    ConnectionState = Idle;
    std::fill(std::begin(PortMap), std::end(PortMap), 0);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void ShowActive(TForm1& form)
{
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
}
