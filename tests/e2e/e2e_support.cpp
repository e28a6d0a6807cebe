#include "e2e_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "connection.h"
#include "reply.h"
#include "serialport.h"
#include "tform1.h"

CBoxCloser::CBoxCloser()
{
    connect(&m_timer, &QTimer::timeout, this, &CBoxCloser::Poll);
    m_timer.start(20);
}

void CBoxCloser::Poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box->buttons().isEmpty())
        return;
    m_vecTexts.push_back(box->text().toStdString());
    box->buttons().first()->click();
}

CStderrCapture::CStderrCapture()
{
    char path[] = "/tmp/zr9-e2e-stderr-XXXXXX";
    m_nFile = mkstemp(path);
    if (m_nFile < 0)
        return;
    unlink(path);
    std::fflush(stderr);
    m_nSavedStderr = dup(STDERR_FILENO);
    dup2(m_nFile, STDERR_FILENO);
}

CStderrCapture::~CStderrCapture()
{
    if (m_nFile < 0)
        return;
    std::fflush(stderr);
    dup2(m_nSavedStderr, STDERR_FILENO);
    close(m_nSavedStderr);
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

bool PickPort(TForm1& form, const char* portName)
{
    form.cmbComSel->showPopup();
    form.cmbComSel->hidePopup();
    const int position = form.cmbComSel->findText(portName);
    if (position < 0)
        return false;
    form.cmbComSel->setCurrentIndex(position);
    return true;
}

std::string ProfileHex(const ProfileBytes& profile)
{
    std::string hex;
    for (std::uint8_t byte : profile) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return hex;
}

namespace {

std::vector<std::string> TranscriptLines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

std::optional<ProfileBytes> LastProfileSent(const std::string& transcriptPath)
{
    // All bytes sent, in order: an answer may span several transfer lines.
    std::vector<std::uint8_t> sent;
    for (const std::string& line : TranscriptLines(transcriptPath)) {
        // The hex bytes end where the quoted rendering begins.
        std::istringstream fields(line.substr(0, line.find('"')));
        std::string stamp, direction, hex;
        fields >> stamp >> direction;
        if (direction != "TX")
            continue;
        while (fields >> hex)
            sent.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
    }
    const std::string prefix = kProfileReplyPrefix;
    const auto answer = std::find_end(sent.begin(), sent.end(), prefix.begin(), prefix.end());
    if (answer == sent.end() || sent.end() - answer < static_cast<long>(prefix.size() + kProfileSize))
        return std::nullopt;
    ProfileBytes profile;
    std::copy_n(answer + static_cast<long>(prefix.size()), kProfileSize, profile.begin());
    return profile;
}

bool TranscriptHasEvent(const std::string& transcriptPath, const std::string& event)
{
    const auto lines = TranscriptLines(transcriptPath);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        const auto at = line.find(" -- ");
        return at != std::string::npos && line.substr(at + 4) == event;
    });
}
