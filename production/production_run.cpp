#include "production_run.h"

#include <algorithm>
#include <thread>

#include "module_ledger.h"
#include "module_steps.h"
#include "templates.h"

namespace {

using namespace std::chrono_literals;

// A module answers a connect within a few byte times, so a waiting port asks
// several times a second with a short wait and finds a module attached within
// a quarter of a second. Read, Write and the read-back keep their full waits.
constexpr auto kProbeWait = 150ms;
// Between probes of a module that stays or a port that is missing, and after
// a module's reboot command, which it takes while it is being taken off.
constexpr auto kProbeGap = 100ms;
// How often a port that is there but does not open is tried again.
constexpr auto kPortRetry = 1s;
// A rebooted module that stays silent this long has been taken off.
constexpr auto kBootAllowance = 10s;
// A module that stays answers every probe; one probe missed (a busy machine,
// a module still taking the reboot command) is not yet a module taken off.
constexpr int kSilentProbesTakenOff = 3;
// Modules in a row on one port that refuse the password: the password given
// is wrong, not the modules.
constexpr int kRefusalsStopPort = 3;
// The names a check shows.
constexpr std::size_t kPreviewCount = 3;

class CSteadyTime final : public IRunTime {
public:
    RunClock::time_point Now() override { return RunClock::now(); }
    void Pause(RunClock::duration duration, const std::function<bool()>& stopped) override
    {
        const auto end = RunClock::now() + duration;
        while (!stopped() && RunClock::now() < end)
            std::this_thread::sleep_for(std::min<RunClock::duration>(20ms, end - RunClock::now()));
    }
};

class CSerialPorts final : public IRunPorts {
public:
    std::unique_ptr<IModuleSession> Session(const CPortChoice& port,
                                            const std::atomic<bool>& stop) override
    {
        auto session = std::make_unique<CModuleSession>(port.PortIndex(), port.Device());
        // The run says a port's failures once, in the platform's words.
        session->PrintPortDiagnostics(false);
        session->StopAlso(stop);
        return session;
    }
    bool Present(const CPortChoice& port) override
    {
#ifdef _WIN32
        // The device map misses some ports that open (Wine's, some virtual
        // and USB drivers): opening tells.
        (void)port;
        return true;
#else
        return port.Present();
#endif
    }
    std::string Holder(const CPortChoice& port) override { return port.Holder(); }
};

RunCheck Refusal(RunCheck::Verdict verdict, const std::string& error)
{
    RunCheck check;
    check.m_verdict = verdict;
    check.m_strError = error;
    return check;
}

std::string Quoted(const std::vector<std::string>& settings)
{
    std::string text;
    for (const std::string& setting : settings)
        text += (text.empty() ? "\"" : ", \"") + setting + "\"";
    return text.empty() ? "none" : text;
}

// What differs between the log's settings and this run's, for the refusal.
std::string Differences(const RunLogSettings& logged, const RunLogSettings& asked,
                        const RunWording& wording)
{
    std::string text;
    const auto add = [&text](const std::string& difference) {
        text += (text.empty() ? "" : "; ") + difference;
    };
    if (logged.m_strProfileDigest != asked.m_strProfileDigest)
        add("the profile's fields or values are not those of the log's runs");
    if (logged.m_strFirst != asked.m_strFirst)
        add(wording.m_strFirst + " is " + asked.m_strFirst + ", the log's runs had " + logged.m_strFirst);
    if (logged.m_vecSettings != asked.m_vecSettings)
        add(wording.m_strSettings + " are " + Quoted(asked.m_vecSettings) + ", the log's runs had " +
            Quoted(logged.m_vecSettings));
    return text;
}

// The password the profile or --set give modules, if they give one that
// does not depend on the module.
std::string NewPassword(const CProfileSettings& profile, const std::vector<std::string>& settings)
{
    CProfileSettings given = profile;
    for (const std::string& setting : settings) {
        std::string ignored;
        if (setting.find('{') == std::string::npos)
            given.Parse(setting, ignored);
    }
    return given.Names(ProfileField::ConfigPassword) ? given.Values().CfgPwd : std::string();
}

// What a run's ports share: the options, the ports, the clock, the log and
// the ledger, and whether the run has ended.
class CRun {
public:
    CRun(RunOptions options, IRunObserver& observer, IRunPorts* ports, IRunTime* time,
         std::unique_ptr<ILogFile> log)
        : m_options(std::move(options)),
          m_observer(observer),
          m_pOwnPorts(ports ? nullptr : std::make_unique<CSerialPorts>()),
          m_pOwnTime(time ? nullptr : std::make_unique<CSteadyTime>()),
          m_ports(ports ? *ports : *m_pOwnPorts),
          m_time(time ? *time : *m_pOwnTime),
          m_log(log ? std::move(log) : OpenLogFile(m_options.m_strLogPath)),
          m_ledger(m_options.m_profile, m_options.m_vecSettings),
          m_vecConfiguredPerPort(m_options.m_vecPorts.size(), 0)
    {
    }

    ~CRun()
    {
        RequestStop();
        Wait();
    }
    CRun(const CRun&) = delete;
    CRun& operator=(const CRun&) = delete;

    RunCheck Check();
    RunCheck Start(CProductionRun::Threads threads);
    void RequestStop() { m_bStop = true; }
    RunSummary Wait();
    void RunPort(std::size_t port);

    // What the ports' loops share.
    const RunOptions& Options() const { return m_options; }
    IRunObserver& Observer() { return m_observer; }
    IRunTime& Time() { return m_time; }
    IRunPorts& Ports() { return m_ports; }
    CModuleLedger& Ledger() { return m_ledger; }
    const std::string& NewPasswordGiven() const { return m_strNewPassword; }

    bool Ended() const
    {
        return m_bStop || CModuleSession::StopRequested() || m_bLogFailed ||
               m_ledger.TargetReached() || m_nPortsStopped == m_options.m_vecPorts.size();
    }
    void Pause(RunClock::duration duration)
    {
        m_time.Pause(duration, [this] { return Ended(); });
    }
    // Appends a row; a log that cannot be written ends the run.
    bool Log(const RunLogRow& row)
    {
        std::string error;
        if (m_log.Append(row, error))
            return true;
        if (!m_bLogFailed.exchange(true))
            m_observer.Message(IRunObserver::kRunWide, error + "; the run ends");
        return false;
    }
    void PortStopped() { ++m_nPortsStopped; }
    void CountConfigured(std::size_t port) { ++m_vecConfiguredPerPort[port]; }
    void CountsChanged() { m_observer.CountsChanged(m_ledger.Counts()); }

private:
    // The first {n} as given, or the log's; empty when --first is no number.
    std::string First(const EarlierRows& earlier) const;
    void Preview(RunCheck& check) const;

    RunOptions m_options;
    IRunObserver& m_observer;
    std::unique_ptr<IRunPorts> m_pOwnPorts;
    std::unique_ptr<IRunTime> m_pOwnTime;
    IRunPorts& m_ports;
    IRunTime& m_time;
    CRunLog m_log;
    CModuleLedger m_ledger;
    RunLogSettings m_settings;
    std::string m_strNewPassword;
    bool m_bChecked = false;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bLogFailed{false};
    std::atomic<std::size_t> m_nPortsStopped{0};
    std::vector<long> m_vecConfiguredPerPort;  // each written by its port's loop only
    std::vector<std::unique_ptr<IModuleSession>> m_vecSessions;
    std::vector<std::thread> m_vecThreads;
};

// One port's loop: probe until a module answers, configure it unless it is
// known, then wait until it is taken off. The port stays open throughout.
class CPortRunner {
public:
    CPortRunner(CRun& run, std::size_t index, IModuleSession& session)
        : m_run(run),
          m_nIndex(index),
          m_port(run.Options().m_vecPorts[index]),
          m_session(session),
          m_strPassword(run.Options().m_strPassword)
    {
    }

    void Run()
    {
        SetState(PortState::WaitingForModule);
        while (!m_run.Ended() && !m_bStopped) {
            if (!m_session.IsOpen() && !Reopen())
                continue;
            const SessionOutcome outcome = Probe();
            switch (outcome) {
            case SessionOutcome::Done: Answered(); break;
            case SessionOutcome::NoAnswer: Silent(); break;
            case SessionOutcome::PasswordRefused:
            case SessionOutcome::VersionRefused: Refused(outcome); break;
            case SessionOutcome::PortNotOpened:
            case SessionOutcome::WriteFailed:
            case SessionOutcome::DeviceGone: PortFailed(); break;
            case SessionOutcome::Stopped: break;
            }
        }
        m_session.Close();
        if (!m_bStopped)
            SetState(PortState::Ended);
    }

private:
    // What is known of the module the port handled last, while it stays.
    enum class OnLine { None, Configured, AlreadyConfigured, Failed };

    // A port that went away is opened again once it is back.
    bool Reopen()
    {
        if (!m_run.Ports().Present(m_port)) {
            // An unplugged port is not there until it is back: said once.
            Problem(m_bUnplugged ? m_strProblem : m_port.Name() + " is not there");
            m_run.Pause(kProbeGap);
            return false;
        }
        const SessionOutcome opened = m_session.Open();
        if (opened == SessionOutcome::Stopped)
            return false;
        if (opened != SessionOutcome::Done) {
            Problem(m_port.Describe(m_session.Failure()));
            m_run.Pause(kPortRetry);
            return false;
        }
        Problem("");
        m_bUnplugged = false;
        SetState(PortState::WaitingForModule);
        return true;
    }

    // A port's problem is said once, and again when it changes.
    void Problem(const std::string& problem)
    {
        if (problem == m_strProblem)
            return;
        if (!problem.empty() || !m_strProblem.empty())
            Message(problem.empty() ? "back, and open again" : problem);
        m_strProblem = problem;
        Forget();
        if (!problem.empty())
            SetState(PortState::NotThere, problem);
    }

    void PortFailed()
    {
        Problem(m_port.Describe(m_session.Failure()));
        m_bUnplugged = !m_session.IsOpen();
        // A held port whose line failed stays open: it is tried again later.
        if (!m_bUnplugged)
            m_run.Pause(kPortRetry);
    }

    // The connect command with the password that last worked on this port,
    // then the others a module may have: the one modules come with, and the
    // one the run gives them (a module configured a moment ago answers to it
    // after its reboot).
    SessionOutcome Probe()
    {
        std::vector<std::string> passwords = {m_strPassword, m_run.Options().m_strPassword,
                                              m_run.NewPasswordGiven(), m_strWrittenPassword};
        SessionOutcome outcome = SessionOutcome::PasswordRefused;
        for (std::size_t i = 0; i < passwords.size(); ++i) {
            const std::string& password = passwords[i];
            const bool tried = std::find(passwords.begin(), passwords.begin() + static_cast<long>(i),
                                         password) != passwords.begin() + static_cast<long>(i);
            if (tried || (password.empty() && i >= 2))
                continue;
            outcome = m_session.Connect(password, kProbeWait);
            if (outcome == SessionOutcome::Done)
                m_strPassword = password;
            if (outcome != SessionOutcome::PasswordRefused)
                break;
        }
        return outcome;
    }

    // Nothing answered: the module on the line has been taken off once the
    // port stayed silent, unless it is one rebooting after its configuration.
    void Silent()
    {
        const bool booting = m_onLine == OnLine::Configured &&
                             m_run.Time().Now() - m_tRebooted < kBootAllowance;
        if (++m_nSilentProbes >= kSilentProbesTakenOff && !booting && m_onLine != OnLine::None) {
            Forget();
            SetState(PortState::WaitingForModule);
        }
    }

    void Refused(SessionOutcome outcome)
    {
        m_nSilentProbes = 0;
        // A module that failed is not tried again until it was taken off.
        if (m_onLine == OnLine::Failed) {
            m_run.Pause(kProbeGap);
            return;
        }
        ModuleOutcome refused = Outcome("");
        Fail(refused, ResultOf(outcome, m_session, m_port, "Connect"), {}, false);
        if (outcome != SessionOutcome::PasswordRefused) {
            m_nRefusedInARow = 0;
        } else if (++m_nRefusedInARow >= kRefusalsStopPort) {
            const std::string reason =
                std::to_string(kRefusalsStopPort) +
                " modules in a row refused the password \"" + m_run.Options().m_strPassword +
                "\": the port stops; check " + m_run.Options().m_wording.m_strPassword +
                ", the password modules come with";
            Message(reason);
            SetState(PortState::PortStopped, reason);
            m_bStopped = true;
            m_run.PortStopped();
        }
    }

    void Answered()
    {
        m_nSilentProbes = 0;
        if (m_onLine == OnLine::Failed) {
            m_run.Pause(kProbeGap);
            return;
        }
        if (m_onLine == OnLine::None)
            SetState(PortState::Reading);
        ProfileBytes record{};
        const SessionOutcome read = m_session.Read(record);
        if (read == SessionOutcome::Stopped)
            return;
        if (read != SessionOutcome::Done) {
            // A module that stays may miss a probe; one that came did not answer.
            if (m_onLine == OnLine::None)
                Fail(Outcome(""), ResultOf(read, m_session, m_port, "Read"), {}, false);
            if (read == SessionOutcome::DeviceGone)
                PortFailed();
            return;
        }
        if (m_onLine != OnLine::None && m_run.Ledger().StillHolds(m_known, record)) {
            m_run.Pause(kProbeGap);
            return;
        }
        Forget();
        ProfileView module;
        DecodeProfileRecord(record, module);
        const std::string address = StoredAddressOf(module);
        m_status.m_strAddress = address;
        if (const auto known = m_run.Ledger().FindConfigured(record)) {
            m_onLine = OnLine::AlreadyConfigured;
            m_known = *known;
            m_status.m_strDeviceName = known->m_strDeviceName;
            Message(address + ": already configured as " + known->m_strDeviceName);
            SetState(PortState::AlreadyConfigured);
            m_run.Pause(kProbeGap);
            return;
        }
        if (!m_run.Ledger().TakeSlot()) {
            SetState(PortState::WaitingForModule,
                     "the target is about to be met by the modules on other ports");
            m_run.Pause(kProbeGap);
            return;
        }
        Configure(record, module, address);
    }

    // Gives the module the profile and its own values, writes and verifies
    // them, reboots it, and logs each step.
    void Configure(const ProfileBytes& record, const ProfileView& module,
                   const std::string& address)
    {
        CModuleLedger& ledger = m_run.Ledger();
        const long number = ledger.TakeNumber(record);
        ModuleOutcome outcome = Outcome(address);
        outcome.m_strNumber = ledger.NumberText(number);
        ProfileView view;
        std::string error;
        if (!ledger.ProfileFor(module, address, number, view, error)) {
            ledger.GiveBack(number);
            Fail(outcome, {false, SessionOutcome::Done, error, error}, {address}, true);
            return;
        }
        outcome.m_strDeviceName = FormatProfileValue(view, ProfileField::DeviceName);
        if (StoredAddressOf(view) != address)
            outcome.m_strNewAddress = StoredAddressOf(view);
        m_status.m_strDeviceName = outcome.m_strDeviceName;
        SetState(PortState::Writing);

        // The number is recorded before the module can hold it.
        bool written = false;
        const auto recordStep = [&](WriteStep step, const ProfileBytes&) {
            if (step == WriteStep::Verify) {
                SetState(PortState::Verifying);
                return true;
            }
            written = m_run.Log(Row(outcome, RunLogRow::Result::Writing));
            return written;
        };
        StepResult result = WriteProfile(m_session, m_port, view, true, recordStep);
        if (result.Ok()) {
            SetState(PortState::Rebooting);
            result = ResultOf(m_session.Reboot(), m_session, m_port, "Reboot");
        }
        const KnownModule given = {
            address, outcome.m_strNewAddress.empty() ? address : outcome.m_strNewAddress,
            outcome.m_strNumber, outcome.m_strDeviceName};
        if (!result.Ok()) {
            if (written)
                ledger.HoldFor(given);
            else
                ledger.GiveBack(number);
            std::vector<std::string> addresses = {address};
            if (!outcome.m_strNewAddress.empty())
                addresses.push_back(outcome.m_strNewAddress);
            Fail(outcome, result, addresses, true);
            if (result.m_outcome == SessionOutcome::DeviceGone)
                PortFailed();
            return;
        }

        m_known = given;
        if (const auto sharer = ledger.Configured(m_known)) {
            outcome.m_bSharesAddress = true;
            outcome.m_strReason = "shares its address with " + *sharer;
        }
        outcome.m_bOk = true;
        m_run.Log(Row(outcome, RunLogRow::Result::Ok));
        m_onLine = OnLine::Configured;
        m_tRebooted = m_run.Time().Now();
        m_nRefusedInARow = 0;
        m_strWrittenPassword = view.CfgPwd;
        m_run.CountConfigured(m_nIndex);
        ++m_status.m_nConfigured;
        Finished(outcome);
        SetState(PortState::Configured);
        m_run.Pause(kProbeGap);
    }

    // A module that answered and was not configured: its row, its message,
    // and it is not tried again until it was taken off.
    void Fail(ModuleOutcome outcome, const StepResult& result,
              const std::vector<std::string>& addresses, bool slotTaken)
    {
        outcome.m_strReason = result.m_strReason;
        m_run.Ledger().NotConfigured(addresses, m_port.Name(), outcome.m_strReason, slotTaken);
        m_run.Log(Row(outcome, RunLogRow::Result::Failed));
        Forget();
        m_onLine = OnLine::Failed;
        Finished(outcome);
        SetState(PortState::Failed, outcome.m_strReason);
    }

    void Finished(const ModuleOutcome& outcome)
    {
        const std::string module =
            outcome.m_strAddress.empty() ? "module (address unknown)" : outcome.m_strAddress;
        std::string text = outcome.m_bOk ? "configured as " + outcome.m_strDeviceName
                                         : "failed: " + outcome.m_strReason;
        if (outcome.m_bSharesAddress)
            text += "; it " + outcome.m_strReason +
                    " (two modules with one address disturb each other: " +
                    m_run.Options().m_wording.m_strOwnAddress + " gives each its own)";
        Message(module + ": " + text);
        m_run.Observer().ModuleFinished(m_nIndex, outcome);
        m_run.CountsChanged();
    }

    ModuleOutcome Outcome(const std::string& address) const
    {
        ModuleOutcome outcome;
        outcome.m_strPort = m_port.Name();
        outcome.m_strAddress = address;
        outcome.m_strFirmware = m_session.Version().Text();
        return outcome;
    }

    static RunLogRow Row(const ModuleOutcome& outcome, RunLogRow::Result result)
    {
        RunLogRow row;
        row.m_strPort = outcome.m_strPort;
        row.m_strNumber = outcome.m_strNumber;
        row.m_strAddress = outcome.m_strAddress;
        row.m_strNewAddress = outcome.m_strNewAddress;
        row.m_strFirmware = outcome.m_strFirmware;
        row.m_strDeviceName = outcome.m_strDeviceName;
        row.m_result = result;
        row.m_strReason = result == RunLogRow::Result::Writing ? "" : outcome.m_strReason;
        return row;
    }

    void Forget()
    {
        m_onLine = OnLine::None;
        m_known = {};
        m_nSilentProbes = 0;
        m_status.m_strAddress.clear();
        m_status.m_strDeviceName.clear();
    }

    void SetState(PortState state, const std::string& reason = {})
    {
        if (state != m_status.m_state)
            m_status.m_tSince = m_run.Time().Now();
        m_status.m_state = state;
        m_status.m_strReason = reason;
        m_run.Observer().PortChanged(m_nIndex, m_status);
    }

    void Message(const std::string& text) { m_run.Observer().Message(m_nIndex, text); }

    CRun& m_run;
    const std::size_t m_nIndex;
    const CPortChoice& m_port;
    IModuleSession& m_session;
    PortStatus m_status;
    std::string m_strPassword;         // the password that last worked here
    std::string m_strWrittenPassword;  // the one the last module configured here got
    std::string m_strProblem;          // as last said; empty while the port opens
    OnLine m_onLine = OnLine::None;
    KnownModule m_known;  // the module on the line, configured
    RunClock::time_point m_tRebooted;
    int m_nSilentProbes = 0;
    int m_nRefusedInARow = 0;
    bool m_bUnplugged = false;  // its device went away while it was open
    bool m_bStopped = false;
};

std::string CRun::First(const EarlierRows& earlier) const
{
    const std::string first = !m_options.m_strFirst.empty() ? m_options.m_strFirst
                              : earlier.m_settings         ? earlier.m_settings->m_strFirst
                                                           : "1";
    const bool number = !first.empty() && first.size() <= 9 &&
                        first.find_first_not_of("0123456789") == std::string::npos;
    return number ? first : std::string();
}

RunCheck CRun::Check()
{
    using Verdict = RunCheck::Verdict;
    const std::vector<CPortChoice>& ports = m_options.m_vecPorts;
    if (ports.empty())
        return Refusal(Verdict::Usage, "no port to work on");
    for (std::size_t i = 0; i < ports.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (ports[i].Identity() == ports[j].Identity())
                return Refusal(Verdict::Usage,
                               ports[i].Name() == ports[j].Name()
                                   ? ports[i].Name() + " is named twice"
                                   : ports[j].Name() + " and " + ports[i].Name() +
                                         " are the same port");

    RunCheck check;
    // One profile's own address on every module would make them all one
    // device to their peers; --set, applied after the file, may still give one.
    if (m_options.m_profile.Names(ProfileField::LocalAddress)) {
        check.m_vecNotes.push_back(
            "each module keeps its own Local Address (" +
            FormatProfileValue(m_options.m_profile.Values(), ProfileField::LocalAddress) +
            " from the file is not written; " + m_options.m_wording.m_strOwnAddress +
            " gives each its own)");
        m_options.m_profile.Forget(ProfileField::LocalAddress);
    }
    std::string error;
    if (!CheckPlaceholders(m_options.m_vecSettings, error))
        return Refusal(Verdict::Usage, m_options.m_wording.m_strSetting + error);

    EarlierRows earlier;
    if (!m_log.OpenAndRead(earlier, error))
        return Refusal(Verdict::Usage, error);
    m_settings = {ProfileDigest(m_options.m_profile), First(earlier), m_options.m_vecSettings};
    if (m_settings.m_strFirst.empty())
        return Refusal(Verdict::Usage,
                       m_options.m_wording.m_strFirst + " takes a number, e.g. 1 or 001");
    const std::string logName =
        m_options.m_strLogPath.empty() ? "the log" : m_options.m_strLogPath;
    if (earlier.m_settings && !(*earlier.m_settings == m_settings) &&
        !m_options.m_bNewSettingsMeant)
        return Refusal(Verdict::Usage,
                       logName + " was begun with other settings: " +
                           Differences(*earlier.m_settings, m_settings, m_options.m_wording) +
                           "; give the same, or " + m_options.m_wording.m_strGoOn);

    Placeholders first;
    first.m_nCounter = std::stol(m_settings.m_strFirst);
    first.m_nWidth = static_cast<int>(m_settings.m_strFirst.size());
    const long failing = FirstCounterThatFails(m_options.m_vecSettings, first, error);
    if (failing == first.m_nCounter)
        return Refusal(Verdict::Usage, m_options.m_wording.m_strSetting + error);
    if (failing != 0)
        check.m_vecNotes.push_back(m_options.m_wording.m_strSetting + error +
                                   "; modules from then on fail");
    m_ledger.Begin(first.m_nCounter, first.m_nWidth, earlier, m_options.m_nTarget);
    m_strNewPassword = NewPassword(m_options.m_profile, m_options.m_vecSettings);

    check.m_vecNotes.insert(check.m_vecNotes.end(), earlier.m_vecNotes.begin(),
                            earlier.m_vecNotes.end());
    if (!earlier.m_vecConfigured.empty())
        check.m_vecNotes.push_back(logName + ": " + std::to_string(earlier.m_vecConfigured.size()) +
                                   " modules configured earlier count as configured");
    for (const RunLogRow& row : earlier.m_vecInterrupted)
        check.m_vecNotes.push_back(
            logName + ": the last run ended while " + row.m_strPort + " was writing " +
            (row.m_strAddress.empty() ? "a module" : row.m_strAddress) + " as " +
            row.m_strDeviceName + ": that module gets " + row.m_strNumber +
            " again when it comes back");

    for (const CPortChoice& port : ports) {
        if (!m_ports.Present(port))
            return Refusal(Verdict::PortProblem, port.Name() + " is not there; nothing was sent");
        const std::string holder = m_ports.Holder(port);
        if (!holder.empty())
            return Refusal(Verdict::PortProblem,
                           port.Name() + " is in use by " + holder + "; nothing was sent");
    }
    Preview(check);
    m_bChecked = true;
    return check;
}

void CRun::Preview(RunCheck& check) const
{
    ProfileView sample;
    DecodeProfileRecord(DefaultProfile, sample);
    const std::string address = StoredAddressOf(sample);
    bool byAddress = false;
    for (const std::string& setting : m_options.m_vecSettings)
        byAddress = byAddress || setting.find("{addr") != std::string::npos;
    for (const long number : m_ledger.NextNumbers(kPreviewCount)) {
        ProfileView view;
        std::string error;
        if (!m_ledger.ProfileFor(sample, address, number, view, error)) {
            check.m_vecPreview.push_back(m_ledger.NumberText(number) + ": " + error);
            break;
        }
        std::string text = m_ledger.NumberText(number) + ": " +
                           FormatProfileValue(view, ProfileField::DeviceName);
        if (StoredAddressOf(view) != address)
            text += ", Local Address " + StoredAddressOf(view);
        if (byAddress)
            text += " (for a module at " + address + ")";
        check.m_vecPreview.push_back(text);
    }
}

RunCheck CRun::Start(CProductionRun::Threads threads)
{
    if (!m_bChecked || !m_vecSessions.empty())
        return Refusal(RunCheck::Verdict::Usage, "the run was not checked, or has started");
    for (const CPortChoice& port : m_options.m_vecPorts) {
        m_observer.PortChanged(m_vecSessions.size(), PortStatus{PortState::Opening, {}, {}, {},
                                                                m_time.Now(), 0});
        m_vecSessions.push_back(m_ports.Session(port, m_bStop));
        const SessionOutcome opened = m_vecSessions.back()->Open();
        if (opened != SessionOutcome::Done) {
            const std::string error =
                opened == SessionOutcome::Stopped
                    ? "stopped before the ports were open"
                    : port.Describe(m_vecSessions.back()->Failure()) + "; nothing was sent";
            m_vecSessions.clear();
            return Refusal(RunCheck::Verdict::PortProblem, error);
        }
    }
    std::string error;
    if (!m_log.Begin(m_settings, error)) {
        m_vecSessions.clear();
        return Refusal(RunCheck::Verdict::Usage, error);
    }
    if (threads == CProductionRun::Threads::PerPort)
        for (std::size_t port = 0; port < m_vecSessions.size(); ++port)
            m_vecThreads.emplace_back([this, port] { RunPort(port); });
    return {};
}

void CRun::RunPort(std::size_t port)
{
    CPortRunner(*this, port, *m_vecSessions.at(port)).Run();
}

RunSummary CRun::Wait()
{
    for (std::thread& thread : m_vecThreads)
        thread.join();
    m_vecThreads.clear();
    for (auto& session : m_vecSessions)
        session->Close();
    RunSummary summary;
    summary.m_counts = m_ledger.Counts();
    summary.m_vecConfiguredPerPort = m_vecConfiguredPerPort;
    summary.m_vecNotConfigured = m_ledger.StillNotConfigured();
    summary.m_bLogFailed = m_bLogFailed;
    summary.m_bPortsStopped =
        !m_vecSessions.empty() && m_nPortsStopped == m_options.m_vecPorts.size();
    return summary;
}

}  // namespace

class CProductionRun::CImpl : public CRun {
public:
    using CRun::CRun;
};

CProductionRun::CProductionRun(RunOptions options, IRunObserver& observer,
                               std::unique_ptr<ILogFile> log)
    : m_pImpl(std::make_unique<CImpl>(std::move(options), observer, nullptr, nullptr,
                                      std::move(log)))
{
}

CProductionRun::CProductionRun(RunOptions options, IRunObserver& observer, IRunPorts& ports,
                               IRunTime& time, std::unique_ptr<ILogFile> log)
    : m_pImpl(std::make_unique<CImpl>(std::move(options), observer, &ports, &time,
                                      std::move(log)))
{
}

CProductionRun::~CProductionRun() = default;

RunCheck CProductionRun::Check()
{
    return m_pImpl->Check();
}

RunCheck CProductionRun::Start(Threads threads)
{
    return m_pImpl->Start(threads);
}

void CProductionRun::RequestStop()
{
    m_pImpl->RequestStop();
}

RunSummary CProductionRun::Wait()
{
    return m_pImpl->Wait();
}

void CProductionRun::RunPortForTest(std::size_t port)
{
    m_pImpl->RunPort(port);
}
