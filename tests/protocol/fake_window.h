// A scripted main window: a fake clock that runs on only while events are
// processed, a timer that ticks by that clock, scripted events at given
// times, and a log of what the protocol did to the window.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "window_ops.h"

class CFakeWindow : public CWindowOps {
public:
    // Fake milliseconds that pass with each ProcessPendingEvents.
    long m_nMsPerPump = 1;

    // Runs `action` as a window event once the clock has reached `atMs`.
    void At(long atMs, std::function<void()> action);

    void ResetProgress(int maximum) override;
    void StepProgress() override;
    void ProcessPendingEvents() override;
    // The clock jumps to the limit, the next scripted event or the tick.
    void WaitForEvents(const CSerialPort& port, int limitMs) override;
    void SetTimerInterval(int milliseconds) override;
    void SetTimerEnabled(bool enabled) override;
    void ShowErrorBox(const std::string& text) override;
    void ShowPortFailure(int portIndex, const PortFailure& failure) override;
    void ClearPortFailure() override { m_bPortFailureShown = false; }
    void SetConnectCaption(const std::string& caption) override;
    void SetControlEnabled(Control control, bool enabled) override;
    void SetVersionCaption(const std::string& caption) override;
    std::string CfgPwdText() override { return m_sCfgPwd; }
    std::string PinCodeText() override { return m_view.PinCode; }
    int SelectedPortPosition() override { return m_nSelectedPort; }
    bool PortDiscoveryRunning() override { return m_bDiscoveryRunning; }
    ProfileView GetProfileView() override { return m_view; }
    void SetProfileView(const ProfileView& view) override
    {
        m_view = view;
        m_vLog.push_back("fields");
    }

    // The log entries that begin with one of `prefixes`, in order.
    std::vector<std::string> LogOf(std::initializer_list<std::string> prefixes) const;

    long m_nNowMs = 0;
    // Runs inside each error box, as the box's own event loop would.
    std::function<void(const std::string&)> m_fnInsideBox;

    std::string m_sCaption = "Connect";
    std::string m_sVersion = "Version";
    std::string m_sCfgPwd = "6874";
    int m_nSelectedPort = 0;
    bool m_bDiscoveryRunning = false;
    ProfileView m_view;
    bool m_bWriteEnabled = false, m_bReadEnabled = false, m_bRebootEnabled = false;
    bool m_bComSelEnabled = true;
    bool m_bPortFailureShown = false;

    int m_nTimerInterval = 1000;
    bool m_bTimerEnabled = false;
    long m_nTimerStartMs = 0;

    int m_nProgressMaximum = 100;
    int m_nProgressPosition = 0;

    // "caption X", "enable btnRead 1", "box X", "version X", "progress N",
    // "timer start", "tick", "fields", "port failure <diagnostic line>".
    std::vector<std::string> m_vLog;

private:
    struct Event {
        long atMs;
        std::function<void()> action;
    };
    void RestartTimer();
    std::vector<Event> m_vEvents;
};
