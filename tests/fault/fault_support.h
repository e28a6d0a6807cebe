// Support for the fault and soak tests: the window offscreen, the simulated
// module as a process (to kill) or in this process behind a faulty line, and
// a capture of standard error.
#pragma once

#include <sys/types.h>

#include <QObject>
#include <QTimer>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "module_commands.h"
#include "simulated_module.h"

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start);

// A temporary folder set as ZR9_PORT_DIR for the life of the object.
class CPortFolder {
public:
    CPortFolder();
    ~CPortFolder();
    CPortFolder(const CPortFolder&) = delete;
    CPortFolder& operator=(const CPortFolder&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string LinkOf(int com) const { return m_strPath + "/COM" + std::to_string(com); }

private:
    std::string m_strPath;
};

// zr9-module-sim as a child process serving DIR/COMn.
class CSimProcess {
public:
    CSimProcess(const CPortFolder& ports, int com, const std::vector<std::string>& options = {});
    ~CSimProcess();
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // The module vanishes: SIGKILL, so its pseudo-terminal hangs up and its
    // link is left behind pointing nowhere.
    void Kill();
    // SIGTERM: the simulator removes its link and ends.
    void Stop();

private:
    void End(int signal);
    pid_t m_pid = -1;
};

// The simulated module's own logic in this process, on a pseudo-terminal
// linked as DIR/COMn, with faults of the line in between.
class CFaultyLine : public QObject {
public:
    CFaultyLine(const CPortFolder& ports, int com, const ModuleBehaviour& behaviour = {});
    ~CFaultyLine() override;

    // Each answer is sent this long after its command has come.
    int m_nAnswerDelayMs = 0;
    // While set, streams bytes that never include a line feed and answers
    // nothing, like a module stuck in its data mode.
    bool m_bFlood = false;

    const CSimulatedModule& Module() const { return m_module; }
    std::size_t FloodedBytes() const { return m_nFloodedBytes; }

private:
    void Poll();

    struct Answer {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };

    int m_nMaster = -1;
    std::string m_strLink;
    CCommandParser m_parser;
    CSimulatedModule m_module;
    std::deque<Answer> m_answers;
    std::size_t m_nFloodedBytes = 0;
    QTimer m_timer;
};

// Everything the process writes to standard error while the object lives.
class CStderrCapture {
public:
    CStderrCapture();
    ~CStderrCapture();
    CStderrCapture(const CStderrCapture&) = delete;
    CStderrCapture& operator=(const CStderrCapture&) = delete;

    // What was written so far; the capture goes on.
    std::string Text();
    int Lines();

private:
    int m_nSavedStderr = -1;
    int m_nFile = -1;
};

// Clicks OK on every modal box shortly after it opens, keeping its text.
class CBoxCloser : public QObject {
public:
    CBoxCloser();
    std::vector<std::string> m_vecTexts;

private:
    QTimer m_timer;
};

// Runs window events until `done` holds or `limitMs` have passed.
bool RunEventsUntil(const std::function<bool()>& done, int limitMs);

// Every process-wide object back to its state at program start.
void ResetProcessState();

// Descriptors this process holds open, and its resident memory in KiB.
int OpenDescriptorCount();
long ResidentKib();
