// Support for the fault and soak tests: the simulated module in this process
// behind a faulty line, and what the process holds.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "module_commands.h"
#include "qt_test_support.h"
#include "simulated_module.h"

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start);

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

// Descriptors this process holds open, and its resident memory in KiB.
int OpenDescriptorCount();
long ResidentKib();
