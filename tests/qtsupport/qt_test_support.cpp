#include "qt_test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "connection.h"
#include "reply.h"
#include "serialport.h"

CPortFolder::CPortFolder()
{
    if (Path().empty())
        throw std::runtime_error("no temporary port folder");
    setenv("ZR9_PORT_DIR", Path().c_str(), 1);
}

CPortFolder::~CPortFolder()
{
    unsetenv("ZR9_PORT_DIR");
}

std::string CPortFolder::LinkOf(int com) const
{
    return Path() + "/COM" + std::to_string(com);
}

int CPortFolder::LinkNewTerminal(int com) const
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0)
        throw std::runtime_error("no pseudo-terminal");
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        close(master);
        throw std::runtime_error("no pseudo-terminal");
    }
    // A link left by a killed simulator may name this very terminal again.
    std::filesystem::remove(LinkOf(com));
    std::filesystem::create_symlink(ptsname(master), LinkOf(com));
    return master;
}

CBoxCloser::CBoxCloser()
{
    connect(&m_timer, &QTimer::timeout, this, &CBoxCloser::Poll);
    m_timer.start(20);
}

std::vector<std::string> CBoxCloser::Texts() const
{
    std::vector<std::string> texts;
    for (const SeenBox& box : m_vecBoxes)
        texts.push_back(box.text.toStdString());
    return texts;
}

void CBoxCloser::Poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible())
        return;
    const auto buttons = box->buttons();
    m_vecBoxes.push_back(
        {box->windowTitle(), box->text(), box->icon(), static_cast<int>(buttons.size())});
    if (buttons.isEmpty())
        box->reject();
    else
        buttons.first()->click();
}

CStderrCapture::CStderrCapture(End end) : m_end(end)
{
    char pattern[] = "/tmp/zr9-stderr-XXXXXX";
    m_nFile = mkstemp(pattern);
    if (m_nFile < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(pattern);
    std::fflush(stderr);
    m_nSavedStderr = dup(STDERR_FILENO);
    dup2(m_nFile, STDERR_FILENO);
}

CStderrCapture::~CStderrCapture()
{
    std::fflush(stderr);
    dup2(m_nSavedStderr, STDERR_FILENO);
    close(m_nSavedStderr);
    // Shown after the test's own output, so a failure explains itself.
    if (m_end == End::Replay)
        std::fputs(Text().c_str(), stderr);
    close(m_nFile);
}

std::string CStderrCapture::Text() const
{
    std::fflush(stderr);
    std::string text;
    char chunk[4096];
    ssize_t size;
    for (off_t at = 0; (size = pread(m_nFile, chunk, sizeof chunk, at)) > 0; at += size)
        text.append(chunk, static_cast<std::size_t>(size));
    return text;
}

int CStderrCapture::Lines() const
{
    const std::string text = Text();
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

bool RunEventsUntil(const std::function<bool()>& done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
