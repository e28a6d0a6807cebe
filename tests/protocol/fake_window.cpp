#include "fake_window.h"

#include <algorithm>
#include <stdexcept>

#include "reply.h"

namespace {

// Far beyond any wait: a loop still running then would never end.
constexpr long kRunawayMs = 60000;

const char* ControlName(Control control)
{
    switch (control) {
    case Control::btnWrite: return "btnWrite";
    case Control::btnRead: return "btnRead";
    case Control::btnReboot: return "btnReboot";
    case Control::cmbComSel: return "cmbComSel";
    }
    return "?";
}

}  // namespace

void CFakeWindow::At(long atMs, std::function<void()> action)
{
    const auto later = std::upper_bound(m_vEvents.begin(), m_vEvents.end(), atMs,
                                        [](long t, const Event& e) { return t < e.atMs; });
    m_vEvents.insert(later, Event{atMs, std::move(action)});
}

void CFakeWindow::ResetProgress(int maximum)
{
    m_nProgressPosition = 0;
    m_nProgressMaximum = maximum;
    m_vLog.push_back("progress " + std::to_string(maximum));
    ProcessPendingEvents();
}

void CFakeWindow::StepProgress()
{
    m_nProgressPosition = std::min(m_nProgressPosition + 1, m_nProgressMaximum);
    ProcessPendingEvents();
}

void CFakeWindow::ProcessPendingEvents()
{
    m_nNowMs += m_nMsPerPump;
    if (m_nNowMs > kRunawayMs)
        throw std::runtime_error("wait still running after a minute of fake time");

    while (!m_vEvents.empty() && m_vEvents.front().atMs <= m_nNowMs) {
        auto action = std::move(m_vEvents.front().action);
        m_vEvents.erase(m_vEvents.begin());
        action();
    }
    if (m_bTimerEnabled && m_nTimerInterval > 0 && m_nNowMs - m_nTimerStartMs >= m_nTimerInterval) {
        m_nTimerStartMs = m_nNowMs;
        m_vLog.push_back("tick");
        TimerTimer(*this);
    }
}

void CFakeWindow::WaitForEvents(const CSerialPort&, int limitMs)
{
    long wakeMs = m_nNowMs + limitMs;
    if (!m_vEvents.empty())
        wakeMs = std::min(wakeMs, m_vEvents.front().atMs);
    if (m_bTimerEnabled && m_nTimerInterval > 0)
        wakeMs = std::min(wakeMs, m_nTimerStartMs + m_nTimerInterval);
    // What woke it is dispatched by a pump that ends at that moment.
    m_nNowMs = std::max(m_nNowMs, wakeMs - m_nMsPerPump);
    ProcessPendingEvents();
}

void CFakeWindow::RestartTimer()
{
    if (m_bTimerEnabled && m_nTimerInterval > 0) {
        m_nTimerStartMs = m_nNowMs;
        m_vLog.push_back("timer start");
    }
}

void CFakeWindow::SetTimerInterval(int milliseconds)
{
    if (milliseconds == m_nTimerInterval)
        return;
    m_nTimerInterval = milliseconds;
    RestartTimer();
}

void CFakeWindow::SetTimerEnabled(bool enabled)
{
    if (enabled == m_bTimerEnabled)
        return;
    m_bTimerEnabled = enabled;
    RestartTimer();
}

void CFakeWindow::ShowErrorBox(const std::string& text)
{
    m_vLog.push_back("box " + text);
    if (m_fnInsideBox)
        m_fnInsideBox(text);
}

void CFakeWindow::ShowPortFailure(int, const PortFailure& failure)
{
    m_bPortFailureShown = true;
    m_vLog.push_back(std::string("port failure ") + failure.diagnostic);
}

void CFakeWindow::SetConnectCaption(const std::string& caption)
{
    m_sCaption = caption;
    m_vLog.push_back("caption " + caption);
}

void CFakeWindow::SetControlEnabled(Control control, bool enabled)
{
    bool* const states[] = {&m_bWriteEnabled, &m_bReadEnabled, &m_bRebootEnabled, &m_bComSelEnabled};
    *states[static_cast<int>(control)] = enabled;
    m_vLog.push_back(std::string("enable ") + ControlName(control) + (enabled ? " 1" : " 0"));
}

void CFakeWindow::SetVersionCaption(const std::string& caption)
{
    m_sVersion = caption;
    m_vLog.push_back("version " + caption);
}

std::vector<std::string> CFakeWindow::LogOf(std::initializer_list<std::string> prefixes) const
{
    std::vector<std::string> picked;
    for (const auto& entry : m_vLog)
        for (const auto& prefix : prefixes)
            if (entry.rfind(prefix, 0) == 0) {
                picked.push_back(entry);
                break;
            }
    return picked;
}
