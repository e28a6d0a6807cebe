#include "batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "batch_log.h"
#include "commands.h"
#include "module_session.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A module answers a connect within a few byte times, so a waiting port asks
// several times a second with a short wait and finds a module attached within
// a quarter of a second. Read, Write and the read-back keep their full waits.
constexpr auto kProbeWait = 150ms;
// Between probes of a module that stays or a port that is missing.
constexpr auto kProbeGap = 100ms;
// How often a port that is there but does not open is tried again.
constexpr auto kPortRetry = 1s;
// A rebooted module that stays silent this long has been taken off.
constexpr auto kBootAllowance = 10s;
// A module that stays answers every probe; one probe missed (a busy machine,
// a module still taking the reboot command) is not yet a module taken off.
constexpr int kSilentProbesTakenOff = 3;

// What stands for a module on the line whose address is unknown.
const char kRefusingModule[] = "(refused)";
const char kUnreadModule[] = "(unread)";

enum class FailureKind {
    PasswordRefused,
    VersionRefused,
    NoAnswer,
    DeviceGone,
    WriteFailed,
    NotKept,
    Values,
    Stopped,
};

const char* FailureKindName(FailureKind kind)
{
    switch (kind) {
    case FailureKind::PasswordRefused: return "password refused";
    case FailureKind::VersionRefused: return "version refused";
    case FailureKind::NoAnswer: return "no answer";
    case FailureKind::DeviceGone: return "port lost";
    case FailureKind::WriteFailed: return "write failed";
    case FailureKind::NotKept: return "not kept";
    case FailureKind::Values: return "values do not fit";
    case FailureKind::Stopped: return "stopped";
    }
    return "";
}

FailureKind KindOf(SessionOutcome outcome)
{
    switch (outcome) {
    case SessionOutcome::PasswordRefused: return FailureKind::PasswordRefused;
    case SessionOutcome::VersionRefused: return FailureKind::VersionRefused;
    case SessionOutcome::DeviceGone:
    case SessionOutcome::PortNotOpened: return FailureKind::DeviceGone;
    case SessionOutcome::WriteFailed: return FailureKind::WriteFailed;
    case SessionOutcome::Stopped: return FailureKind::Stopped;
    case SessionOutcome::Done:
    case SessionOutcome::NoAnswer: break;
    }
    return FailureKind::NoAnswer;
}


// The serial layer's line for a failure of the port, which the batch says
// with its own message instead of at every try.
std::string DiagnosticOf(SessionOutcome outcome, const CModuleSession& session)
{
    const bool portFailed = outcome == SessionOutcome::PortNotOpened ||
                            outcome == SessionOutcome::WriteFailed ||
                            outcome == SessionOutcome::DeviceGone;
    return portFailed ? session.Failure().diagnostic : "";
}

std::string Seconds(Clock::duration elapsed)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()) +
           " s";
}

// What every port's thread shares: the log, the counter, the modules this
// run has configured (by every address they answered with) and the ones
// being configured, the tallies and the status lines. Each call holds the
// lock only for its own bookkeeping, never while a port waits.
class CBatchRun {
public:
    CBatchRun(const BatchOptions& options, CConsole& console, CBatchLog& log,
              const EarlierRun& earlier)
        : m_console(console),
          m_log(log),
          m_mapConfigured(earlier.m_mapConfigured),
          m_nNextNumber(std::max(options.m_placeholders.m_nCounter, earlier.m_nLastNumber + 1))
    {
        for (const CPortChoice& port : options.m_vecPorts)
            m_vecPortNames.push_back(port.Name());
        m_console.SetStatusLines(m_vecPortNames.size());
    }

    bool Ended() const { return CModuleSession::StopRequested() || m_bLogFailed; }

    enum class Claim { Taken, Configured, OnAnotherPort };
    // Takes the module at `address` for `port` unless it is configured
    // already (`holder` gets its name) or being configured on another port
    // (`holder` gets that port).
    Claim ClaimModule(const std::string& address, const std::string& port, std::string& holder)
    {
        const std::lock_guard lock(m_mutex);
        if (const auto done = m_mapConfigured.find(address); done != m_mapConfigured.end()) {
            holder = done->second;
            return Claim::Configured;
        }
        const auto [busy, taken] = m_mapBusy.emplace(address, port);
        holder = busy->second;
        return taken || busy->second == port ? Claim::Taken : Claim::OnAnotherPort;
    }

    // The next {n}: a number a failed module gave back first, so none is skipped.
    long TakeNumber()
    {
        const std::lock_guard lock(m_mutex);
        if (m_setReturned.empty())
            return m_nNextNumber++;
        const long number = *m_setReturned.begin();
        m_setReturned.erase(m_setReturned.begin());
        return number;
    }

    // Logs the module's row, releases its claim and gives back its number if
    // it failed. A log that cannot be written ends the run.
    // `diagnostic` is the serial layer's line for the failure, if any.
    void Finish(BatchRow row, long number, std::optional<FailureKind> failure,
                const std::string& diagnostic = {})
    {
        row.m_bOk = !failure;
        std::string error;
        bool logged = false;
        m_console.Output([&] { logged = m_log.Append(row, error); });
        {
            const std::lock_guard lock(m_mutex);
            m_mapBusy.erase(row.m_strAddress);
            Tally& tally = m_mapTallies[row.m_strPort];
            if (failure) {
                ++tally.m_mapFailures[*failure];
                if (number >= 0)
                    m_setReturned.insert(number);
            } else {
                ++tally.m_nConfigured;
                for (const std::string* address : {&row.m_strAddress, &row.m_strNewAddress})
                    if (!address->empty())
                        m_mapConfigured[*address] = row.m_strDeviceName;
            }
        }
        const std::string module = row.m_strAddress.empty() ? "module" : row.m_strAddress;
        Message(row.m_strPort, module + ": " +
                                   (failure ? "failed: " + row.m_strReason
                                            : "configured as " + row.m_strDeviceName),
                diagnostic);
        if (!logged && !m_bLogFailed.exchange(true))
            Message("", error + "; the batch ends");
    }

    void Message(const std::string& port, const std::string& text,
                 const std::string& diagnostic = {})
    {
        m_console.Message(port.empty() ? text : port + ": " + text, diagnostic);
    }

    // The port's status line, in --port order: the module on it, what it
    // does or waits for, and since when.
    void SetStatus(const std::string& port, const std::string& text, Clock::time_point since)
    {
        if (!m_console.IsTerminal())
            return;
        const auto line = std::find(m_vecPortNames.begin(), m_vecPortNames.end(), port);
        m_console.Status(static_cast<std::size_t>(line - m_vecPortNames.begin()),
                         port + ": " + text + " (" + Seconds(Clock::now() - since) + ")");
    }

    // The summary, per port when there are several, and the exit status.
    int Summarize()
    {
        m_console.ClearStatus();
        Tally total;
        for (const std::string& port : m_vecPortNames) {
            const Tally& tally = m_mapTallies[port];
            total.m_nConfigured += tally.m_nConfigured;
            for (const auto& [kind, count] : tally.m_mapFailures)
                total.m_mapFailures[kind] += count;
            if (m_vecPortNames.size() > 1)
                Message(port, tally.Text());
        }
        Message("", "batch ended: " + total.Text());
        return total.m_mapFailures.empty() && !m_bLogFailed ? kExitSuccess : kExitModuleFailed;
    }

private:
    struct Tally {
        int m_nConfigured = 0;
        std::map<FailureKind, int> m_mapFailures;

        std::string Text() const
        {
            int failed = 0;
            std::string byKind;
            for (const auto& [kind, count] : m_mapFailures) {
                failed += count;
                byKind += (byKind.empty() ? " (" : ", ") + std::string(FailureKindName(kind)) +
                          ": " + std::to_string(count);
            }
            return std::to_string(m_nConfigured) + " configured, " + std::to_string(failed) +
                   " failed" + (byKind.empty() ? "" : byKind + ")");
        }
    };

    CConsole& m_console;
    CBatchLog& m_log;
    std::atomic<bool> m_bLogFailed{false};
    std::mutex m_mutex;
    std::vector<std::string> m_vecPortNames;
    std::map<std::string, std::string> m_mapConfigured;  // address -> device name
    std::map<std::string, std::string> m_mapBusy;        // address -> port configuring it
    long m_nNextNumber;
    std::set<long> m_setReturned;
    std::map<std::string, Tally> m_mapTallies;  // by port
};

// One port's batch: probe until a module answers, configure it unless it is
// known, then wait until it is taken off.
class CPortWorker {
public:
    CPortWorker(const CPortChoice& port, const BatchOptions& options, CBatchRun& run)
        : m_port(port), m_options(options), m_run(run)
    {
    }

    void Run()
    {
        while (!m_run.Ended()) {
            Status(m_strModuleOnLine.empty() ? "waiting for a module" : "until taken off");
            // On Windows the device map misses some ports that open (Wine's,
            // some virtual and USB drivers): those are tried all the same.
#ifndef _WIN32
            if (!m_port.Present()) {
                ShowPortProblem("not there");
                Pause(kProbeGap);
                continue;
            }
#endif
            CModuleSession session(m_port.PortIndex(), m_port.Device());
            session.PrintPortDiagnostics(false);
            const SessionOutcome connected = session.Connect(m_options.m_strPassword, kProbeWait);
            if (connected == SessionOutcome::PortNotOpened) {
                ShowPortProblem(m_port.Describe(session.Failure()),
                                DiagnosticOf(connected, session));
                Pause(kPortRetry);
                continue;
            }
            ShowPortProblem("");
            if (connected == SessionOutcome::Done)
                Handle(session);
            else if (connected == SessionOutcome::PasswordRefused ||
                     connected == SessionOutcome::VersionRefused)
                Refused(session, connected);
            else if (connected != SessionOutcome::Stopped)
                Silent(connected);
        }
    }

private:
    // Nothing answered the probe: the module on the line has been taken
    // off, unless it is one rebooting after its configuration.
    void Silent(SessionOutcome outcome)
    {
        m_nUnconfirmed = 0;
        const bool takenOff = ++m_nSilentProbes >= kSilentProbesTakenOff;
        if (takenOff && (!m_tRebooted || Clock::now() - *m_tRebooted > kBootAllowance)) {
            m_strModuleOnLine.clear();
            m_tRebooted.reset();
        }
        if (outcome != SessionOutcome::NoAnswer)
            Pause(kProbeGap);
    }

    void Refused(CModuleSession& session, SessionOutcome outcome)
    {
        m_nSilentProbes = 0;
        m_tRebooted.reset();
        if (m_strModuleOnLine == kRefusingModule) {
            Pause(kProbeGap);
            return;
        }
        m_strModuleOnLine = kRefusingModule;
        BatchRow row = Row(session, "");
        row.m_strReason = ResultOf(outcome, session, m_port, "Connect").m_strReason;
        m_run.Finish(row, -1, KindOf(outcome));
    }

    void Handle(CModuleSession& session)
    {
        m_nSilentProbes = 0;
        ProfileBytes record;
        const SessionOutcome read = session.Read(record);
        if (read == SessionOutcome::Stopped)
            return;
        if (read != SessionOutcome::Done) {
            // The first such failure may be a module pulled during the
            // probe; the module's own failure is met again by the next probe.
            if (++m_nUnconfirmed < 2 || m_strModuleOnLine == kUnreadModule)
                return;
            m_nUnconfirmed = 0;
            m_strModuleOnLine = kUnreadModule;
            BatchRow row = Row(session, "");
            row.m_strReason = ResultOf(read, session, m_port, "Read").m_strReason;
            m_run.Finish(row, -1, KindOf(read), DiagnosticOf(read, session));
            return;
        }
        m_nUnconfirmed = 0;
        m_tRebooted.reset();
        ProfileView module;
        DecodeProfileRecord(record, module);
        const std::string address = LocalAddressOf(module);
        if (address == m_strModuleOnLine) {
            session.Close();
            Pause(kProbeGap);
            return;
        }
        m_strModuleOnLine = address;
        std::string holder;
        switch (m_run.ClaimModule(address, m_port.Name(), holder)) {
        case CBatchRun::Claim::Configured:
            m_run.Message(m_port.Name(), address + ": already configured as " + holder);
            return;
        case CBatchRun::Claim::OnAnotherPort:
            m_run.Message(m_port.Name(), address + ": the same module is on " + holder +
                                             " and is configured there");
            return;
        case CBatchRun::Claim::Taken: break;
        }
        Configure(session, record, module);
    }

    // Gives the module the profile and the --set values, verifies, reboots it
    // and logs the row.
    void Configure(CModuleSession& session, const ProfileBytes& record, const ProfileView& module)
    {
        Placeholders placeholders = m_options.m_placeholders;
        placeholders.m_nCounter = m_run.TakeNumber();
        BatchRow row = Row(session, LocalAddressOf(module));
        ProfileView profile = module;
        m_options.m_profile.ApplyTo(profile);
        if (!ApplySettings(m_options.m_vecSettings, placeholders, module, profile,
                           row.m_strReason)) {
            m_run.Finish(row, placeholders.m_nCounter, FailureKind::Values);
            return;
        }
        row.m_strDeviceName = FormatProfileValue(profile, ProfileField::DeviceName);
        if (LocalAddressOf(profile) != row.m_strAddress)
            row.m_strNewAddress = LocalAddressOf(profile);
        // The window's Write refuses a shorter PIN, from the file or the module.
        if (!PinCodeLongEnough(profile.PinCode)) {
            row.m_strReason = kPinCodeMessage;
            m_run.Finish(row, placeholders.m_nCounter, FailureKind::Values);
            return;
        }

        ProfileBytes written = record;
        EncodeProfile(profile, written);
        Status("writing " + row.m_strDeviceName);
        SessionOutcome outcome = session.Write(written);
        const char* step = "Write";
        ProfileBytes readBack{};
        if (outcome == SessionOutcome::Done) {
            Status("verifying " + row.m_strDeviceName);
            outcome = session.Read(readBack);
            step = "Read after Write";
        }
        std::optional<FailureKind> failure;
        std::string diagnostic;
        if (outcome == SessionOutcome::Done &&
            !ProfileKept(written, readBack, row.m_strReason)) {
            failure = FailureKind::NotKept;
        } else if (outcome == SessionOutcome::Done) {
            outcome = session.Reboot();
            step = "Reboot";
        }
        if (outcome != SessionOutcome::Done) {
            failure = KindOf(outcome);
            row.m_strReason = ResultOf(outcome, session, m_port, step).m_strReason;
            diagnostic = DiagnosticOf(outcome, session);
        }
        session.Close();
        if (!failure) {
            row.m_strNumber = placeholders.Counter(placeholders.m_nCounter);
            m_strModuleOnLine = LocalAddressOf(profile);
            m_tRebooted = Clock::now();
        }
        m_run.Finish(row, placeholders.m_nCounter, failure, diagnostic);
        // Opening the port again at once would discard what the line has not
        // yet delivered of the reboot command.
        Pause(kProbeGap);
    }

    BatchRow Row(const CModuleSession& session, const std::string& address) const
    {
        BatchRow row;
        row.m_strTime = LocalTime();
        row.m_strPort = m_port.Name();
        row.m_strAddress = address;
        row.m_strFirmware = session.Version().Text();
        return row;
    }

    // A port's failure, its diagnostic line included, is said once, and
    // again when it changes.
    void ShowPortProblem(const std::string& problem, const std::string& diagnostic = {})
    {
        if (problem == m_strPortProblem && diagnostic == m_strPortDiagnostic)
            return;
        m_run.Message(m_port.Name(), problem.empty() ? "opens now" : problem, diagnostic);
        m_strPortProblem = problem;
        m_strPortDiagnostic = diagnostic;
        m_strModuleOnLine.clear();
        m_tRebooted.reset();
    }

    void Status(const std::string& step)
    {
        const std::string text =
            m_strModuleOnLine.empty() ? step : m_strModuleOnLine + ": " + step;
        if (text != m_strStatus) {
            m_strStatus = text;
            m_tStatusSince = Clock::now();
        }
        m_run.SetStatus(m_port.Name(), text, m_tStatusSince);
    }

    void Pause(Clock::duration duration) const
    {
        const auto end = Clock::now() + duration;
        while (!m_run.Ended() && Clock::now() < end)
            std::this_thread::sleep_for(std::min<Clock::duration>(20ms, end - Clock::now()));
    }

    const CPortChoice& m_port;
    const BatchOptions& m_options;
    CBatchRun& m_run;
    std::string m_strPortProblem;   // as last said; empty while the port opens
    std::string m_strPortDiagnostic;
    std::string m_strModuleOnLine;  // the module handled last, while it stays
    std::optional<Clock::time_point> m_tRebooted;
    int m_nUnconfirmed = 0;
    int m_nSilentProbes = 0;  // probes in a row that nothing answered
    std::string m_strStatus;
    Clock::time_point m_tStatusSince;
};

}  // namespace

std::string LocalTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

int RunBatch(CConsole& console, const BatchOptions& options)
{
    EarlierRun earlier;
    CBatchLog log;
    std::string error;
    if (!options.m_strLogPath.empty() &&
        !CBatchLog::ReadEarlier(options.m_strLogPath, earlier, error)) {
        console.Message(error);
        return kExitUsage;
    }
    if (!log.Open(options.m_strLogPath, error)) {
        console.Message(error);
        // A log that opened but took no header is a failed write.
        return log.IsOpen() ? kExitModuleFailed : kExitUsage;
    }
    if (!earlier.m_mapConfigured.empty())
        console.Message(options.m_strLogPath + ": modules with an ok row count as configured" +
                        (earlier.m_nLastNumber >= 0
                             ? "; {n} goes on after " + std::to_string(earlier.m_nLastNumber)
                             : ""));

    CBatchRun run(options, console, log, earlier);
    std::vector<std::thread> threads;
    for (const CPortChoice& port : options.m_vecPorts)
        threads.emplace_back([&run, &options, &port] { CPortWorker(port, options, run).Run(); });
    for (std::thread& thread : threads)
        thread.join();
    return run.Summarize();
}
