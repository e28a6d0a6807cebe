// Helpers for the window tests: pseudo-terminals linked as $ZR9_PORT_DIR/COMn
// and a scripted module on a pseudo-terminal's master side.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <string>

#include "qt_test_support.h"
#include "tform1.h"

// A port folder whose pseudo-terminals keep their master sides open until
// unlinked or the folder goes.
class CPtyPortFolder : public CPortFolder {
public:
    ~CPtyPortFolder();

    // Links a new pseudo-terminal as COMn; returns its master descriptor.
    int Link(int comNumber);
    // Removes the link COMn and closes its master side.
    void Unlink(int comNumber);

private:
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

// "+PWD" answer: status byte, version major and minor, line ending.
std::string PasswordAnswer(char status, unsigned char major, unsigned char minor);

// Exactly one box was seen: the window's error box (critical, titled "Error",
// OK alone) showing `text`.
void ExpectOnlyErrorBox(const CBoxCloser& closer, const char* text);

// Shows the window and waits until it is active, so focus moves are real.
void ShowActive(TForm1& form);
