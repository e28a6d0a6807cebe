#include "batch.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "zr9ctl.h"

namespace {

using namespace std::chrono_literals;

// How often the status lines' times are brought up to date.
constexpr auto kStatusRefresh = 500ms;

// Rows on standard output go round the status lines, which share the terminal.
class CRowsAroundStatus final : public ILogFile {
public:
    CRowsAroundStatus(std::unique_ptr<ILogFile> file, CConsole& console)
        : m_file(std::move(file)), m_console(console)
    {
    }
    bool ReadAll(std::optional<std::string>& content, std::string& error) override
    {
        return m_file->ReadAll(content, error);
    }
    bool Lock(std::string& holder, std::string& error) override
    {
        return m_file->Lock(holder, error);
    }
    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        bool written = false;
        m_console.Output([&] { written = m_file->AppendDurably(bytes, error); });
        return written;
    }
    const std::string& Path() const override { return m_file->Path(); }
    bool IsStandardOutput() const override { return m_file->IsStandardOutput(); }

private:
    std::unique_ptr<ILogFile> m_file;
    CConsole& m_console;
};

std::string Seconds(RunClock::duration elapsed)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()) +
           " s";
}

// What a port's status line says it does, with the module on it.
std::string StateText(const PortStatus& status)
{
    const std::string& name = status.m_strDeviceName;
    switch (status.m_state) {
    case PortState::Opening: return "opening";
    case PortState::NotThere: return status.m_strReason;
    case PortState::WaitingForModule:
        return status.m_strReason.empty() ? "waiting for a module"
                                           : "waiting: " + status.m_strReason;
    case PortState::Reading: return "reading";
    case PortState::Writing: return "writing " + name;
    case PortState::Verifying: return "verifying " + name;
    case PortState::Rebooting: return "rebooting " + name;
    case PortState::Configured: return "configured as " + name + ", until taken off";
    case PortState::AlreadyConfigured:
        return "already configured as " + name + ", until taken off";
    case PortState::Failed: return "failed, until taken off: " + status.m_strReason;
    case PortState::PortStopped: return "stopped: " + status.m_strReason;
    case PortState::Ended: return "ended";
    }
    return "";
}

// The run's events as zr9ctl shows them: messages naming their port, and a
// status line per port with what it does, since when, and the count
// against the target.
class CBatchObserver final : public IRunObserver {
public:
    CBatchObserver(CConsole& console, const std::vector<CPortChoice>& ports)
        : m_console(console), m_vecPorts(ports), m_vecStatus(ports.size())
    {
        m_console.SetStatusLines(ports.size());
    }

    void PortChanged(std::size_t port, const PortStatus& status) override
    {
        {
            const std::lock_guard lock(m_mutex);
            m_vecStatus.at(port) = status;
        }
        Draw(port);
    }
    void ModuleFinished(std::size_t, const ModuleOutcome&) override {}
    void CountsChanged(const RunCounts& counts) override
    {
        {
            const std::lock_guard lock(m_mutex);
            m_counts = counts;
        }
        Redraw();
    }
    void Message(std::size_t port, const std::string& text) override
    {
        m_console.Message(port == kRunWide ? text : m_vecPorts.at(port).Name() + ": " + text);
    }

    // Every status line, its time brought up to date.
    void Redraw()
    {
        for (std::size_t port = 0; port < m_vecPorts.size(); ++port)
            Draw(port);
    }

private:
    void Draw(std::size_t port)
    {
        if (!m_console.IsTerminal())
            return;
        std::string line;
        {
            const std::lock_guard lock(m_mutex);
            const PortStatus& status = m_vecStatus[port];
            line = m_vecPorts[port].Name() + ": ";
            if (!status.m_strAddress.empty())
                line += status.m_strAddress + ": ";
            line += StateText(status) + " (" + Seconds(RunClock::now() - status.m_tSince) + ")";
            if (m_counts.m_nTarget > 0)
                line += ", " + std::to_string(m_counts.m_nConfigured) + "/" +
                        std::to_string(m_counts.m_nTarget);
        }
        m_console.Status(port, line);
    }

    CConsole& m_console;
    const std::vector<CPortChoice>& m_vecPorts;
    std::mutex m_mutex;
    std::vector<PortStatus> m_vecStatus;
    RunCounts m_counts;
};

int StatusOfCheck(const RunCheck& check)
{
    switch (check.m_verdict) {
    case RunCheck::Verdict::Ready: return kExitSuccess;
    case RunCheck::Verdict::Usage: return kExitUsage;
    case RunCheck::Verdict::PortProblem: return kExitPortFailed;
    }
    return kExitUsage;
}

// The summary, per port when there are several, and the exit status.
int Summarize(CConsole& console, const std::vector<CPortChoice>& ports, const RunSummary& summary)
{
    console.ClearStatus();
    if (ports.size() > 1)
        for (std::size_t port = 0; port < ports.size(); ++port)
            console.Message(ports[port].Name() + ": " +
                            std::to_string(summary.m_vecConfiguredPerPort.at(port)) +
                            " configured");
    const RunCounts& counts = summary.m_counts;
    console.Message("batch ended: " + std::to_string(counts.m_nConfigured) + " configured" +
                    (counts.m_nTarget > 0 ? " of " + std::to_string(counts.m_nTarget) : "") +
                    ", " + std::to_string(counts.m_nNotConfigured) + " not configured");
    for (const UnconfiguredModule& module : summary.m_vecNotConfigured)
        console.Message("not configured: " +
                        (module.m_strAddress.empty() ? "a module (address unknown)"
                                                     : module.m_strAddress) +
                        " on " + module.m_strPort + ": " + module.m_strReason);
    const bool allConfigured = counts.m_nNotConfigured == 0 && !summary.m_bLogFailed &&
                               !summary.m_bPortsStopped;
    return allConfigured ? kExitSuccess : kExitModuleFailed;
}

}  // namespace

int RunBatch(CConsole& console, RunOptions options, bool dryRun)
{
    const std::vector<CPortChoice> ports = options.m_vecPorts;
    std::unique_ptr<ILogFile> log = OpenLogFile(options.m_strLogPath);
    if (log->IsStandardOutput())
        log = std::make_unique<CRowsAroundStatus>(std::move(log), console);
    CBatchObserver observer(console, ports);
    CProductionRun run(std::move(options), observer, std::move(log));

    RunCheck check = run.Check();
    for (const std::string& note : check.m_vecNotes)
        console.Message(note);
    if (check.m_verdict == RunCheck::Verdict::Ready && dryRun) {
        std::string names;
        for (const std::string& name : check.m_vecPreview)
            names += (names.empty() ? "" : "; ") + name;
        console.Message("dry run, nothing was sent: the next modules would get " + names);
        return kExitSuccess;
    }
    if (check.m_verdict == RunCheck::Verdict::Ready)
        check = run.Start();
    if (check.m_verdict != RunCheck::Verdict::Ready) {
        console.Message(check.m_strError);
        return StatusOfCheck(check);
    }
    std::string names;
    for (const CPortChoice& port : ports)
        names += (names.empty() ? "" : ", ") + port.Name();
    console.Message("configuring modules on " + names + "; Ctrl+C ends");

    // The status lines' times go on while nothing changes.
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread refresher([&] {
        std::unique_lock lock(mutex);
        while (!ended.wait_for(lock, kStatusRefresh, [&] { return done; }))
            observer.Redraw();
    });
    const RunSummary summary = run.Wait();
    {
        const std::lock_guard lock(mutex);
        done = true;
    }
    ended.notify_one();
    refresher.join();
    return Summarize(console, ports, summary);
}
