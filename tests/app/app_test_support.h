// Helpers for the window tests: pseudo-terminals linked as $ZR9_PORT_DIR/COMn,
// a scripted module on a pseudo-terminal's master side, and a closer for the
// modal boxes the window shows.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tform1.h"

// A temporary port folder set as ZR9_PORT_DIR for the life of the object.
class CPortDir {
public:
    CPortDir();
    ~CPortDir();

    // Links a new pseudo-terminal as COMn; returns its master descriptor.
    int Link(int comNumber);
    // Removes the link COMn and closes its master side.
    void Unlink(int comNumber);
    std::string Path(int comNumber) const;

private:
    std::string m_strDir;
    std::map<int, int> m_mapMasters;
};

// Answers the connect command on a master descriptor, polled by a Qt timer so
// that the window's waits, which pump events, let it run.
class CFakeModule : public QObject {
public:
    // `answer` is sent once a whole connect command has come; an empty answer
    // never replies.
    CFakeModule(int masterFd, std::string answer);

    // Called when the command has come, before the answer is sent.
    std::function<void()> m_fnOnCommand;
    bool m_bAnswerHeld = false;
    std::string m_strReceived;

private:
    void Poll();

    int m_nMasterFd;
    std::string m_strAnswer;
    bool m_bAnswered = false;
    QTimer m_timer;
};

// One modal box as it was seen.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    int buttonCount;
};

// Closes every modal message box shortly after it opens, remembering it.
class CBoxCloser : public QObject {
public:
    CBoxCloser();

    std::vector<SeenBox> m_vecBoxes;

private:
    void Poll();

    QTimer m_timer;
};

// "+PWD" answer: status byte, version major and minor, line ending.
std::string PasswordAnswer(char status, unsigned char major, unsigned char minor);

// Puts every process-wide object back to its state at program start.
void ResetProcessState();

// Processes events until `condition` holds or `timeoutMs` has passed; true
// when it holds.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000);

// Shows the window and waits until it is active, so focus moves are real.
void ShowActive(TForm1& form);
