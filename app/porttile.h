// One port of the production window's fixture: the port and its device, the
// state in words and colour, the module on it and the name it got, and how
// long the step has taken, and how many the port has configured. The words carry the meaning; the
// colour repeats it.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QString>

#include "production_run.h"

// A text of the engine's: UTF-8 from the system, else a module's 8-bit bytes.
QString EngineText(const std::string& text);

// The state as the tile says it: "failed, take it off: Password Error".
QString PortStateText(PortState state, const std::string& reason);

class CPortTile : public QFrame {
    Q_OBJECT

public:
    // `port` names it ("COM3"), `device` says what is behind it.
    CPortTile(const QString& port, const QString& device, QWidget* parent = nullptr);

    void ShowStatus(const PortStatus& status);
    // Redraws the time the step has taken, as of `now`.
    void ShowElapsed(RunClock::time_point now);

    QLabel* lblPort;
    QLabel* lblDevice;
    QLabel* lblState;
    QLabel* lblModule;
    QLabel* lblTime;
    QLabel* lblCount;

signals:
    // A new status is shown, and told to screen readers.
    void statusShown();

private:
    void UpdateAccessibleText();

    QString m_strPort;
    RunClock::time_point m_tSince;
    bool m_bTiming = false;
};
