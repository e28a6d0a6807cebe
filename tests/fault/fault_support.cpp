#include "fault_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "connection.h"
#include "profile.h"
#include "reply.h"
#include "serialport.h"

long MillisecondsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

CPortFolder::CPortFolder()
{
    char pattern[] = "/tmp/zr9-fault-ports-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_strPath = pattern;
    setenv("ZR9_PORT_DIR", m_strPath.c_str(), 1);
}

CPortFolder::~CPortFolder()
{
    std::filesystem::remove_all(m_strPath);
    unsetenv("ZR9_PORT_DIR");
}

CSimProcess::CSimProcess(const CPortFolder& ports, int com, const std::vector<std::string>& options)
{
    // A link left by a killed simulator must not look like a ready one.
    std::filesystem::remove(ports.LinkOf(com));
    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> args = {ZR9_MODULE_SIM, "--port-dir", ports.Path(), "--com",
                                     std::to_string(com)};
    args.insert(args.end(), options.begin(), options.end());
    m_pid = fork();
    if (m_pid == 0) {
        dup2(ready[1], STDOUT_FILENO);
        close(ready[0]);
        close(ready[1]);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ready[1]);
    // The simulator prints its link once the pseudo-terminal is linked.
    pollfd waitReady{ready[0], POLLIN, 0};
    char line[512];
    const bool linked = m_pid > 0 && poll(&waitReady, 1, 10000) == 1 && read(ready[0], line, sizeof line) > 0;
    close(ready[0]);
    if (!linked)
        throw std::runtime_error("zr9-module-sim did not start");
}

CSimProcess::~CSimProcess()
{
    Stop();
}

void CSimProcess::Kill()
{
    End(SIGKILL);
}

void CSimProcess::Stop()
{
    End(SIGTERM);
}

void CSimProcess::End(int signal)
{
    if (m_pid <= 0)
        return;
    kill(m_pid, signal);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

CFaultyLine::CFaultyLine(const CPortFolder& ports, int com, const ModuleBehaviour& behaviour)
    : m_strLink(ports.LinkOf(com)), m_module(behaviour)
{
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0)
        throw std::runtime_error("no pseudo-terminal");
    std::filesystem::remove(m_strLink);
    std::filesystem::create_symlink(ptsname(m_nMaster), m_strLink);
    connect(&m_timer, &QTimer::timeout, this, &CFaultyLine::Poll);
    m_timer.start(1);
}

CFaultyLine::~CFaultyLine()
{
    std::filesystem::remove(m_strLink);
    close(m_nMaster);
}

void CFaultyLine::Poll()
{
    std::uint8_t buffer[256];
    ssize_t count;
    // EIO while the tool has the port closed.
    while ((count = read(m_nMaster, buffer, sizeof buffer)) > 0) {
        for (const ModuleCommand& command : m_parser.Feed(buffer, static_cast<std::size_t>(count))) {
            std::vector<std::uint8_t> answer = m_module.Execute(command);
            if (!answer.empty() && !m_bFlood)
                m_answers.push_back(
                    {Clock::now() + std::chrono::milliseconds(m_nAnswerDelayMs), std::move(answer)});
        }
    }
    std::erase_if(m_answers, [this](const Answer& answer) {
        if (answer.due > Clock::now())
            return false;
        // Lost when the tool does not hold the line, as on a real one.
        [[maybe_unused]] const ssize_t sent = write(m_nMaster, answer.bytes.data(), answer.bytes.size());
        return true;
    });
    if (m_bFlood) {
        // Anchors a line and never ends it; a full queue just drops the rest.
        static const char kFlood[] = "+FLOOD\r+0123456789abcdef\r";
        const ssize_t written = write(m_nMaster, kFlood, sizeof kFlood - 1);
        if (written > 0)
            m_nFloodedBytes += static_cast<std::size_t>(written);
    }
}

CStderrCapture::CStderrCapture()
{
    char pattern[] = "/tmp/zr9-fault-stderr-XXXXXX";
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
    const std::string text = Text();
    std::fputs(text.c_str(), stderr);
    close(m_nFile);
}

std::string CStderrCapture::Text()
{
    std::fflush(stderr);
    std::string text;
    char buffer[4096];
    ssize_t count;
    off_t offset = 0;
    while ((count = pread(m_nFile, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
        offset += count;
    }
    return text;
}

int CStderrCapture::Lines()
{
    const std::string text = Text();
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

CBoxCloser::CBoxCloser()
{
    connect(&m_timer, &QTimer::timeout, this, [this] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible())
            return;
        m_vecTexts.push_back(box->text().toStdString());
        box->buttons().first()->click();
    });
    m_timer.start(20);
}

bool RunEventsUntil(const std::function<bool()>& done, int limitMs)
{
    const Clock::time_point start = Clock::now();
    while (!done()) {
        if (MillisecondsSince(start) > limitMs)
            return false;
        QCoreApplication::processEvents();
        usleep(1000);
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

int OpenDescriptorCount()
{
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    // Less the one the listing itself holds.
    return static_cast<int>(std::distance(begin(entries), end(entries))) - 1;
}

long ResidentKib()
{
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0, residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * (sysconf(_SC_PAGESIZE) / 1024);
}
