#include "app_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <filesystem>

CPtyPortFolder::~CPtyPortFolder()
{
    for (const auto& [number, fd] : m_mapMasters)
        close(fd);
}

int CPtyPortFolder::Link(int comNumber)
{
    const int master = LinkNewTerminal(comNumber);
    m_mapMasters[comNumber] = master;
    return master;
}

void CPtyPortFolder::Unlink(int comNumber)
{
    std::filesystem::remove(LinkOf(comNumber));
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

std::string PasswordAnswer(char status, unsigned char major, unsigned char minor)
{
    return std::string("+PWD") + '0' + status + static_cast<char>(major) +
           static_cast<char>(minor) + "\n\r";
}

void ShowActive(TForm1& form)
{
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
}

void ExpectOnlyErrorBox(const CBoxCloser& closer, const char* text)
{
    ASSERT_EQ(closer.m_vecBoxes.size(), 1u);
    const SeenBox& box = closer.m_vecBoxes[0];
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttonCount, 1);
}
