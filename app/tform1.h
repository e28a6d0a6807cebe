// The main window: the Designer form, the window operations the protocol
// drives, and the handlers of its controls.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include "ui_tform1.h"
#include "window_ops.h"

class TForm1 : public QMainWindow, public Ui::TForm1, public CWindowOps {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The timeout timer; ticks run TimerTimer.
    QTimer Timer;
    // The status bar's text: the device behind the selected port, why ports
    // are missing from the list, or the latest failure on the port.
    QLabel* lblPortStatus;

    void ResetProgress(int maximum) override;
    void StepProgress() override;
    void ProcessPendingEvents() override;
    void WaitForEvents(const CSerialPort& port, int limitMs) override;
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

    void btnConnectClick();
    void TimerTimer();
    void btnReadClick();
    void btnWriteClick();
    void cmbComSelDropDown();
    void btnRebootClick();
    void PinCodeExit();
    // A port chosen in the open list: the status bar names its device.
    void cmbComSelActivated(int position);
    // The watch's tick while connected: a device that went away (unplugged)
    // ends the connection.
    void PortWatchTimer();

    // Profile files (profilefiles.cpp): the file dialogs of Ctrl+O and Ctrl+S,
    // and what they and a dropped file run. Opening fills the fields, or
    // shows why the file is refused and changes nothing.
    void OpenProfile();
    void SaveProfile();
    bool OpenProfileFile(const QString& path);
    bool SaveProfileFile(const QString& path);
    // False while a wait runs: Open, Save and drops are refused then.
    bool ProfileFilesEnabled() const;

protected:
#ifdef Q_OS_WIN
    // WM_DEVICECHANGE: the port in use was removed.
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    void RestartTimer();
    void ShowPortStatus(const std::string& text);
    void ShowStatus(const std::string& text, const std::string& detail);
    void OnFocusChanged(QWidget* previous, QWidget* current);
    void SetUpProfileFiles();
    void SetProfileFilesEnabled(bool enabled);
    // Runs a handler whose wait pumps events with the profile files off: a
    // file dialog or an error box would run its own modal loop inside the
    // wait, where the wait's timer and the port watch would fire.
    void RunWithFilesOff(void (*handler)(CWindowOps&));

    // Asks the connected port's device for its line status a few times a
    // second; stopped while not connected.
    QTimer m_tmrPortWatch;
    // Qt's timer has no separate enabled state, and interval 0 would tick
    // continuously instead of never.
    bool m_bTimerEnabled = false;
    bool m_bDiscoveryRunning = false;
    bool m_bPortFailureShown = false;
    // The typing limit of LocalName; a module's longer name still shows whole.
    int m_nLocalNameLimit = 0;
    // The folder of the last profile opened or saved, for this session only.
    QString m_strProfileFolder;
    QAction* m_actOpenProfile = nullptr;
    QAction* m_actSaveProfile = nullptr;
};
