// What the protocol needs of the main window. The Qt window implements it;
// the tests implement it with a scripted fake.
#pragma once

#include <string>

#include "port_failure.h"
#include "profile.h"

class CSerialPort;

// The controls whose enabled state the protocol switches.
enum class Control { btnWrite, btnRead, btnReboot, cmbComSel };

class CWindowOps {
public:
    // Progress bar: minimum 0, position 0, then the maximum; then pumps events.
    virtual void ResetProgress(int maximum) = 0;
    // Position + 1, kept within the range; then pumps events.
    virtual void StepProgress() = 0;
    // Dispatches every pending window event, nested in the caller; never waits.
    virtual void ProcessPendingEvents() = 0;
    // Sleeps until a window event is pending (the timer's tick among them),
    // `port` has input or `limitMs` have passed, then dispatches what is
    // pending as ProcessPendingEvents does; returns at once when something is.
    virtual void WaitForEvents(const CSerialPort& port, int limitMs) = 0;

    // The timeout timer. Setting the value it already has changes nothing and
    // does not restart the period.
    virtual void SetTimerInterval(int milliseconds) = 0;
    virtual void SetTimerEnabled(bool enabled) = 0;

    // Modal error box: the text, the error icon, one OK button.
    virtual void ShowErrorBox(const std::string& text) = 0;

    // The status bar: the latest failure of an operation on port `portIndex`
    // (port_info::DescribeFailure says it in words, with its diagnostic line).
    virtual void ShowPortFailure(int portIndex, const PortFailure& failure) = 0;
    // An operation on the port succeeded: a failure shown gives way to the
    // port's device again.
    virtual void ClearPortFailure() = 0;

    virtual void SetConnectCaption(const std::string& caption) = 0;
    virtual void SetControlEnabled(Control control, bool enabled) = 0;
    virtual void SetVersionCaption(const std::string& caption) = 0;

    // 8-bit texts of the password and PIN edits.
    virtual std::string CfgPwdText() = 0;
    virtual std::string PinCodeText() = 0;

    // Selected position of the port list, -1 when nothing is selected.
    virtual int SelectedPortPosition() = 0;
    // True while the port list's drop-down handler is probing ports.
    virtual bool PortDiscoveryRunning() = 0;

    // The profile controls, read and written as a whole.
    virtual ProfileView GetProfileView() = 0;
    virtual void SetProfileView(const ProfileView& view) = 0;

protected:
    ~CWindowOps() = default;
};
