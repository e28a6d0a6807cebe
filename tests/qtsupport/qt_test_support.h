// Helpers shared by the window's suites: a port folder for ZR9_PORT_DIR, a
// closer for the window's modal boxes, a capture of standard error, and the
// process-wide objects put back between tests.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "e2e_module.h"
#include "profile.h"
#include "sim_process.h"

// A temporary port folder, set as ZR9_PORT_DIR while the object lives.
class CPortFolder : public CTempPortDir {
public:
    CPortFolder();
    ~CPortFolder();

    std::string LinkOf(int com) const;
    // Links a new pseudo-terminal as COMn, in place of any link there, and
    // returns its master side (non-blocking), which the caller closes.
    int LinkNewTerminal(int com) const;
};

// One modal box as it was seen.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    int buttonCount;
};

// Closes every modal message box shortly after it opens (from a timer, so
// also inside the box's own event loop) with its first button, remembering it.
class CBoxCloser : public QObject {
public:
    CBoxCloser();

    // The texts of the boxes seen, in order.
    std::vector<std::string> Texts() const;

    std::vector<SeenBox> m_vecBoxes;

private:
    void Poll();

    QTimer m_timer;
};

// Everything the process writes to standard error while the object lives.
class CStderrCapture {
public:
    // What becomes of the captured text when the capture ends.
    enum class End { Drop, Replay };

    explicit CStderrCapture(End end = End::Drop);
    ~CStderrCapture();
    CStderrCapture(const CStderrCapture&) = delete;
    CStderrCapture& operator=(const CStderrCapture&) = delete;

    // What was written so far; the capture goes on.
    std::string Text() const;
    int Lines() const;

private:
    End m_end;
    int m_nSavedStderr = -1;
    int m_nFile = -1;
};

// Runs window events until `done` holds or `limitMs` have passed; true when
// it holds.
bool RunEventsUntil(const std::function<bool()>& done, int limitMs);

// Every process-wide object back to its state at program start.
void ResetProcessState();

