// A production run: modules one after another on each of its ports, each
// read, given the profile and its own values, verified, rebooted and logged,
// each configured exactly once whatever the line does. Two front ends drive
// it, zr9ctl batch and the production window: commands go in (Check, Start,
// RequestStop, Wait), events come out (IRunObserver), and neither learns
// anything from a message's text.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "module_session.h"
#include "port_choice.h"
#include "profile_file.h"
#include "run_log.h"

using RunClock = std::chrono::steady_clock;

// How the front end names what the user gives, in the run's sentences:
// zr9ctl's options unless the front end has its own names.
struct RunWording {
    std::string m_strPassword = "--password";
    std::string m_strFirst = "--first";
    std::string m_strSettings = "--set values";
    std::string m_strSetting = "--set ";  // before an assignment that is refused
    std::string m_strOwnAddress = "--set \"Local Address=...{n}\"";  // "... gives each its own"
    std::string m_strGoOn = "--new-settings to go on with these";  // after other settings
};

// What a run is asked to do.
struct RunOptions {
    std::vector<CPortChoice> m_vecPorts;     // each once, however spelt
    std::string m_strPassword;               // the modules' password as they come
    CProfileSettings m_profile;              // may set a new Config Password
    std::vector<std::string> m_vecSettings;  // "Device Name=Pump {n}", applied after the profile
    // The first {n}, its digits its width ("001"); empty: the log's, else 1.
    std::string m_strFirst;
    std::string m_strLogPath;          // empty: rows on standard output
    long m_nTarget = 0;                // end once this many are configured; 0: no end
    bool m_bNewSettingsMeant = false;  // a resume may change the settings the log records
    RunWording m_wording;
};

// The states a port's tile or status line shows.
enum class PortState {
    Opening,            // the port is being opened (and held from then on)
    NotThere,           // the port's device is missing or does not open; `reason` says why
    WaitingForModule,   // `reason` says why when it is not for a module (a target nearly met)
    Reading,
    Writing,
    Verifying,
    Rebooting,
    Configured,         // take it off
    AlreadyConfigured,  // a module configured earlier, by this run or one the log records
    Failed,             // take it off; `reason` says why in plain words
    PortStopped,        // this port gave up (three refused passwords in a row); `reason` says why
    Ended,              // the run ended
};

struct PortStatus {
    PortState m_state = PortState::Opening;
    std::string m_strAddress;     // of the module on the line, once read
    std::string m_strDeviceName;  // the name it gets or got
    std::string m_strReason;      // for NotThere, WaitingForModule, Failed, PortStopped
    RunClock::time_point m_tSince;  // when the state began
    long m_nConfigured = 0;         // modules this run configured on the port
};

// One attempt on a module that answered, as its row says it.
struct ModuleOutcome {
    std::string m_strPort;
    std::string m_strAddress;     // as the module stores it (upper case); empty if unread
    std::string m_strNewAddress;  // written, when it differs
    std::string m_strFirmware;
    std::string m_strDeviceName;
    std::string m_strNumber;      // {n} as written ("005")
    bool m_bOk = false;
    bool m_bSharesAddress = false;  // another configured module answers with its address
    std::string m_strReason;        // why it failed, or the shared address said
};

// A module the run met and did not configure, for the summary.
struct UnconfiguredModule {
    std::string m_strAddress;  // empty when it was never read (it refused the password)
    std::string m_strPort;
    std::string m_strReason;  // the last attempt's
};

struct RunCounts {
    long m_nConfigured = 0;
    long m_nNotConfigured = 0;  // modules met and still not configured
    long m_nTarget = 0;         // 0: none
};

struct RunSummary {
    RunCounts m_counts;
    std::vector<long> m_vecConfiguredPerPort;  // in the order of the ports
    std::vector<UnconfiguredModule> m_vecNotConfigured;
    bool m_bLogFailed = false;     // a row could not be written; the run ended there
    bool m_bPortsStopped = false;  // no port could go on
};

// Called from the ports' threads; an observer that touches a window passes
// the event to its own thread.
class IRunObserver {
public:
    virtual ~IRunObserver() = default;
    virtual void PortChanged(std::size_t port, const PortStatus& status) = 0;
    virtual void ModuleFinished(std::size_t port, const ModuleOutcome& outcome) = 0;
    virtual void CountsChanged(const RunCounts& counts) = 0;
    // A sentence for the user; `port` is the index of the port it is about
    // (the text does not name it), or kRunWide. Never parsed.
    static constexpr std::size_t kRunWide = static_cast<std::size_t>(-1);
    virtual void Message(std::size_t port, const std::string& text) = 0;
};

// Time, so that the decisions run under a fake clock in tests.
class IRunTime {
public:
    virtual ~IRunTime() = default;
    virtual RunClock::time_point Now() = 0;
    // Waits `duration`, or less when `stopped` turns true.
    virtual void Pause(RunClock::duration duration, const std::function<bool()>& stopped) = 0;
};

// The ports as the run reaches them; tests give fake ones.
class IRunPorts {
public:
    virtual ~IRunPorts() = default;
    // A session on `port`, closed, that also ends its steps once `stop` is set.
    virtual std::unique_ptr<IModuleSession> Session(const CPortChoice& port,
                                                    const std::atomic<bool>& stop) = 0;
    // True when the port's device may be there now (a missing one is not opened).
    virtual bool Present(const CPortChoice& port) = 0;
    // The program holding the port ("zr9ctl (process 4242)"), or empty.
    virtual std::string Holder(const CPortChoice& port) = 0;
};

// What Check or Start found.
struct RunCheck {
    enum class Verdict { Ready, Usage, PortProblem };
    Verdict m_verdict = Verdict::Ready;
    std::string m_strError;                 // naming the file, port or option; nothing was sent
    std::vector<std::string> m_vecNotes;    // what the log says, a cut row set aside, ...
    std::vector<std::string> m_vecPreview;  // the names the first modules would get
};

class CProductionRun {
public:
    // The real ports and clock; the log is `log`, or else the file the
    // options name (standard output without one).
    CProductionRun(RunOptions options, IRunObserver& observer,
                   std::unique_ptr<ILogFile> log = nullptr);
    // For tests: fake ports and sessions, a fake clock, a log in memory.
    CProductionRun(RunOptions options, IRunObserver& observer, IRunPorts& ports, IRunTime& time,
                   std::unique_ptr<ILogFile> log);
    ~CProductionRun();  // stops and joins a run still going
    CProductionRun(const CProductionRun&) = delete;
    CProductionRun& operator=(const CProductionRun&) = delete;

    // Checks the ports (each named once, there, not held by another
    // program), the profile and the templates, and the log (this tool's, not
    // held, the same settings), which it takes and reads; sends nothing.
    // --dry-run and the window's set-up stop here.
    RunCheck Check();
    // After a Ready check: opens and holds every port (nothing is sent when
    // one does not open: PortProblem), begins the log, then runs each port's
    // loop in a thread of its own, unless told not to (tests with a fake
    // clock then call RunPortForTest).
    enum class Threads { PerPort, None };
    RunCheck Start(Threads threads = Threads::PerPort);
    // Ends the run at the next step on every port (Ctrl+C, the window's Stop);
    // other runs' sessions go on.
    void RequestStop();
    // Waits until every port has ended; the summary.
    RunSummary Wait();
    // Runs one port's loop on the calling thread until the run ends.
    void RunPortForTest(std::size_t port);

private:
    class CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};
