// The window operations for the command line: the timer is a deadline, an
// error box or a port's failure a message on standard error, the profile view
// a value held here, the progress bar one line on a terminal.
#pragma once

#include <chrono>
#include <string>

#include "window_ops.h"

class CConsoleWindow final : public CWindowOps {
public:
    // With `showProgress`, waits draw a one-line bar on standard error.
    explicit CConsoleWindow(bool showProgress);

    void ResetProgress(int maximum) override;
    void StepProgress() override;
    void ProcessPendingEvents() override;
    void SetTimerInterval(int milliseconds) override;
    void SetTimerEnabled(bool enabled) override;
    void ShowErrorBox(const std::string& text) override;
    void ShowPortFailure(int portIndex, const PortFailure& failure) override;
    void ClearPortFailure() override;
    void SetConnectCaption(const std::string& caption) override;
    void SetControlEnabled(Control control, bool enabled) override;
    void SetVersionCaption(const std::string& caption) override;
    std::string CfgPwdText() override;
    std::string PinCodeText() override;
    int SelectedPortPosition() override;
    bool PortDiscoveryRunning() override;
    ProfileView GetProfileView() override;
    void SetProfileView(const ProfileView& view) override;

    // A port opened by its device rather than by its index: failures name it
    // `portName` (what the user gave) and their reasons look at `device`.
    // Empty names go back to the port index's.
    void SetPortDevice(const std::string& portName, const std::string& device);

    // What the bar says it waits for.
    void SetActivity(const std::string& activity) { m_strActivity = activity; }
    // Quiet: error boxes and port failures are kept (LastError) but not printed.
    void SetQuiet(bool quiet) { m_bQuiet = quiet; }
    // The text of the last error box or port failure, until cleared.
    const std::string& LastError() const { return m_strLastError; }
    void ClearLastError() { m_strLastError.clear(); }
    const std::string& ConnectCaption() const { return m_strConnectCaption; }
    const std::string& VersionCaption() const { return m_strVersionCaption; }

    // Prints a message line on standard error, clearing the bar first.
    void Message(const std::string& text);

    // Ctrl+C (and SIGTERM) end the running wait as the timer's tick does, and
    // make StopRequested() true.
    static void CatchStopSignals();
    static bool StopRequested();

private:
    using Clock = std::chrono::steady_clock;

    void DrawProgress(Clock::time_point now);
    void EraseProgress();

    ProfileView m_view;
    std::string m_strPortName;
    std::string m_strPortDevice;
    std::string m_strActivity;
    std::string m_strLastError;
    std::string m_strConnectCaption;
    std::string m_strVersionCaption;
    bool m_bQuiet = false;

    int m_nTimerInterval = 1000;
    bool m_bTimerEnabled = false;
    Clock::time_point m_tTimerStart;

    const bool m_bShowProgress;
    bool m_bProgressShown = false;
    std::size_t m_nProgressWidth = 0;
    Clock::time_point m_tProgressDrawn;
};
