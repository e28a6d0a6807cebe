// A production line in memory for the run's decisions: a clock that moves
// only when the run waits, modules that come and go on a port at given
// times and answer as the simulated module does, and a log whose disk can
// fill up. A run over it takes milliseconds.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "production_run.h"

using namespace std::chrono_literals;

class CFakeTime final : public IRunTime {
public:
    RunClock::time_point Now() override { return m_tNow; }
    void Pause(RunClock::duration duration, const std::function<bool()>& stopped) override;
    // Moves the clock on; past the end, `atEnd` runs once.
    void Advance(RunClock::duration duration);
    void EndAt(RunClock::duration end, std::function<void()> atEnd);
    RunClock::duration Elapsed() const { return m_tNow - RunClock::time_point(); }

private:
    RunClock::time_point m_tNow;
    RunClock::duration m_tEnd = RunClock::duration::max();
    std::function<void()> m_fnAtEnd;
};

// A module as the simulator plays it: it checks the password against its
// own profile, so that a written profile with a new password changes the
// one it asks for, and is deaf for a while after a reboot.
struct FakeModule {
    ProfileBytes m_profile;
    bool m_bRefuses = false;
    RunClock::duration m_tReadDelay = 0ms;  // 1 s or more: Read gets no answer
    bool m_bKeepsWrites = true;
    bool m_bSlowAfterWrite = false;  // the Read after its first Write gets no answer
    RunClock::time_point m_tDeafUntil;
    int m_nSlowReads = 0;
};

// A module of the default profile but for its address, as the 12 characters
// that begin its record ("112233445566" shows as 66:55:44:33:22:11), and
// its name when given.
FakeModule ModuleAt(const char* address, const char* name = nullptr);

// A module on the line from `m_tFrom` until `m_tTo` since the run began.
struct Visit {
    std::size_t m_nModule;
    RunClock::duration m_tFrom, m_tTo;
};

// One port's line; the sessions on it count what they were asked.
class CFakePorts final : public IRunPorts {
public:
    CFakePorts(CFakeTime& time, std::vector<FakeModule>& modules, std::vector<Visit> visits)
        : m_time(time), m_modules(modules), m_vecVisits(std::move(visits))
    {
    }
    std::unique_ptr<IModuleSession> Session(const CPortChoice& port,
                                            const std::atomic<bool>& stop) override;
    bool Present(const CPortChoice&) override { return true; }
    std::string Holder(const CPortChoice&) override { return m_strHolder; }

    // The module on the line now, if any.
    FakeModule* OnLine();
    CFakeTime& Time() { return m_time; }

    std::string m_strHolder;
    int m_nConnects = 0;

private:
    CFakeTime& m_time;
    std::vector<FakeModule>& m_modules;
    std::vector<Visit> m_vecVisits;
};

// A log file in memory that outlives the runs over it; its disk fills up
// at the first row holding `m_strFullAt`.
struct MemoryLog {
    std::optional<std::string> m_content;
    std::string m_strFullAt;
};
std::unique_ptr<ILogFile> MemoryLogFile(MemoryLog& log);

// What a run told: each module's outcome as "ok 001 Pump 001" or
// "failed 002 Pump 002 (reason)", and every message.
class CRecordingObserver final : public IRunObserver {
public:
    void PortChanged(std::size_t, const PortStatus&) override {}
    void ModuleFinished(std::size_t, const ModuleOutcome& outcome) override;
    void CountsChanged(const RunCounts&) override {}
    void Message(std::size_t, const std::string& text) override { m_strMessages += text + "\n"; }

    std::vector<std::string> m_vecOutcomes;
    std::string m_strMessages;
};
