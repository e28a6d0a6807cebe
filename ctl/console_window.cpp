#include "console_window.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

#include "port_info.h"
#include "reply.h"

namespace {

// Set by the signal handler, read by the waits and the batch loop.
volatile std::sig_atomic_t g_nStopRequested = 0;

void OnStopSignal(int)
{
    g_nStopRequested = 1;
}

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// An idle wait sleeps this long a pass, so that waiting for a module costs
// no processor time. Once a reply line has begun, passes run back to back.
constexpr auto kIdlePass = std::chrono::milliseconds(1);

}  // namespace

CConsoleWindow::CConsoleWindow(bool showProgress) : m_bShowProgress(showProgress) {}

void CConsoleWindow::CatchStopSignals()
{
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

bool CConsoleWindow::StopRequested()
{
    return g_nStopRequested != 0;
}

void CConsoleWindow::ResetProgress(int)
{
    ProcessPendingEvents();
}

void CConsoleWindow::StepProgress()
{
    ProcessPendingEvents();
}

void CConsoleWindow::ProcessPendingEvents()
{
    const Clock::time_point now = Clock::now();
    if (m_bTimerEnabled &&
        (StopRequested() ||
         (m_nTimerInterval > 0 &&
          now - m_tTimerStart >= std::chrono::milliseconds(m_nTimerInterval))))
        TimerTimer(*this);

    if (!m_bTimerEnabled) {
        EraseProgress();
        return;
    }
    DrawProgress(now);
    if (ReplyFillIndex == 0)
        std::this_thread::sleep_for(kIdlePass);
}

void CConsoleWindow::SetTimerInterval(int milliseconds)
{
    if (m_nTimerInterval == milliseconds)
        return;
    m_nTimerInterval = milliseconds;
    m_tTimerStart = Clock::now();
}

void CConsoleWindow::SetTimerEnabled(bool enabled)
{
    if (m_bTimerEnabled == enabled)
        return;
    m_bTimerEnabled = enabled;
    m_tTimerStart = Clock::now();
}

void CConsoleWindow::ShowErrorBox(const std::string& text)
{
    m_strLastError = text;
    if (!m_bQuiet)
        Message(text);
}

void CConsoleWindow::ShowPortFailure(int portIndex, const PortFailure& failure)
{
    // The serial layer has written its diagnostic line; this says it in words.
    ShowErrorBox(m_strPortDevice.empty()
                     ? port_info::DescribeFailure(portIndex, failure)
                     : port_info::DescribeFailure(m_strPortName, m_strPortDevice, failure));
}

// A message printed stays printed; a later success has nothing to take back.
void CConsoleWindow::ClearPortFailure() {}

void CConsoleWindow::SetPortDevice(const std::string& portName, const std::string& device)
{
    m_strPortName = portName;
    m_strPortDevice = device;
}

void CConsoleWindow::SetConnectCaption(const std::string& caption)
{
    m_strConnectCaption = caption;
}

void CConsoleWindow::SetControlEnabled(Control, bool) {}

void CConsoleWindow::SetVersionCaption(const std::string& caption)
{
    m_strVersionCaption = caption;
}

std::string CConsoleWindow::CfgPwdText()
{
    return m_view.CfgPwd;
}

std::string CConsoleWindow::PinCodeText()
{
    return m_view.PinCode;
}

int CConsoleWindow::SelectedPortPosition()
{
    // The command line's one port, at PortMap[0].
    return 0;
}

bool CConsoleWindow::PortDiscoveryRunning()
{
    return false;
}

ProfileView CConsoleWindow::GetProfileView()
{
    return m_view;
}

void CConsoleWindow::SetProfileView(const ProfileView& view)
{
    m_view = view;
}

void CConsoleWindow::Message(const std::string& text)
{
    EraseProgress();
    std::fprintf(stderr, "zr9ctl: %s\n", text.c_str());
}

void CConsoleWindow::DrawProgress(Clock::time_point now)
{
    if (!m_bShowProgress || (m_bProgressShown && now - m_tProgressDrawn < kRedrawInterval))
        return;
    m_tProgressDrawn = now;
    m_bProgressShown = true;
    const double elapsed = std::chrono::duration<double, std::milli>(now - m_tTimerStart).count();
    const int filled =
        m_nTimerInterval > 0 ? std::clamp(static_cast<int>(elapsed * kBarWidth / m_nTimerInterval),
                                          0, kBarWidth)
                             : 0;
    const std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                             "] " + m_strActivity;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    m_nProgressWidth = line.size();
}

void CConsoleWindow::EraseProgress()
{
    if (!m_bProgressShown)
        return;
    m_bProgressShown = false;
    // Blanks over the bar: a Windows console need not know escape sequences.
    std::fprintf(stderr, "\r%s\r", std::string(m_nProgressWidth, ' ').c_str());
    std::fflush(stderr);
}
