#include "batch.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <thread>

namespace {

using namespace std::chrono_literals;

// How often a port is tried again while it is missing or its module stays.
constexpr auto kProbeInterval = 1s;

const char kCsvHeader[] = "time,port,local address,firmware,device name,result,reason\n";

// What the port showed at the last probe, so a module is handled once while
// it stays attached.
const char kNoModule[] = "";
const char kUnreadModule[] = "(refused or unread)";

std::string CsvField(const std::string& value)
{
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string quoted = "\"";
    for (char c : value)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void Pause(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!CModuleSession::StopRequested() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
}

class CBatchLog {
public:
    explicit CBatchLog(const std::string& path) : m_pFile(stdout)
    {
        if (path.empty()) {
            std::fputs(kCsvHeader, m_pFile);
            return;
        }
        m_pFile = std::fopen(path.c_str(), "a");
        // A new or empty log begins with its header; rows of earlier runs stay.
        if (m_pFile && std::fseek(m_pFile, 0, SEEK_END) == 0 && std::ftell(m_pFile) == 0)
            std::fputs(kCsvHeader, m_pFile);
    }
    ~CBatchLog()
    {
        if (m_pFile && m_pFile != stdout)
            std::fclose(m_pFile);
    }
    CBatchLog(const CBatchLog&) = delete;
    CBatchLog& operator=(const CBatchLog&) = delete;

    bool IsOpen() const { return m_pFile != nullptr; }

    void Row(const std::vector<std::string>& fields)
    {
        std::string line;
        for (const std::string& field : fields)
            line += (line.empty() ? "" : ",") + CsvField(field);
        std::fprintf(m_pFile, "%s\n", line.c_str());
        std::fflush(m_pFile);
    }

private:
    std::FILE* m_pFile;
};

}  // namespace

std::string LocalTime()
{
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return text;
}

std::string Placeholders::Expand(const std::string& text, const ProfileView& module) const
{
    std::string counter = std::to_string(m_nCounter);
    if (static_cast<int>(counter.size()) < m_nWidth)
        counter.insert(0, static_cast<std::size_t>(m_nWidth) - counter.size(), '0');
    std::string address, lastPairs;
    const auto pairs = LocalAddressPairs(module);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        address += *pairs[i];
        if (i >= pairs.size() - 3)
            lastPairs += *pairs[i];
    }
    const std::pair<const char*, const std::string*> names[] = {
        {"{n}", &counter}, {"{addr}", &address}, {"{addr3}", &lastPairs}};

    std::string expanded;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto& [name, value] : names) {
            if (text.compare(i, std::string(name).size(), name) == 0) {
                expanded += *value;
                i += std::string(name).size();
                replaced = true;
                break;
            }
        }
        if (!replaced)
            expanded += text[i++];
    }
    return expanded;
}

bool ApplySettings(const std::vector<std::string>& assignments, const Placeholders& placeholders,
                   const ProfileView& module, ProfileView& view, std::string& error)
{
    CProfileSettings settings;
    for (const std::string& assignment : assignments) {
        if (!settings.Parse(placeholders.Expand(assignment, module), error)) {
            error = "--set " + assignment + ": " + error;
            return false;
        }
    }
    settings.ApplyTo(view);
    return true;
}

namespace {

// Gives the module read as `module` the profile and the --set values (into
// `profile`), verifies and reboots it.
int Configure(CModuleSession& session, const BatchOptions& options, const ProfileView& module,
              ProfileView& profile, std::string& reason)
{
    options.m_profile.ApplyTo(profile);
    if (!ApplySettings(options.m_vecSettings, options.m_placeholders, module, profile, reason))
        return kExitModuleFailed;
    StepResult result = WriteProfile(session, options.m_port, profile, true);
    if (result.Ok())
        result = ResultOf(session.Reboot(), session, options.m_port, "Reboot");
    reason = result.m_strReason;
    return result.m_nStatus;
}

}  // namespace

int RunBatch(CConsole& console, BatchOptions options)
{
    CBatchLog log(options.m_strLogPath);
    if (!log.IsOpen()) {
        console.Message(options.m_strLogPath + ": cannot write the log");
        return kExitUsage;
    }

    int configured = 0;
    std::map<std::string, int> failures;
    std::string lastModule = kNoModule;
    std::string portFailure;  // why the port did not open at the last probe
    int unconfirmedFailures = 0;
    while (!CModuleSession::StopRequested()) {
        CModuleSession session(options.m_port.PortIndex(), options.m_port.Device());
        if (!options.m_port.Present()) {
            lastModule = kNoModule;
            Pause(kProbeInterval);
            continue;
        }
        const SessionOutcome connectOutcome = session.Connect(options.m_strPassword);
        const StepResult connected = ResultOf(connectOutcome, session, options.m_port, "Connect");
        // A port that does not open says why once, not at every probe.
        if (connected.m_nStatus == kExitPortFailed && connected.m_strReason != portFailure)
            console.Message(connected.m_strReason);
        portFailure = connected.m_nStatus == kExitPortFailed ? connected.m_strReason : "";
        if (connectOutcome == SessionOutcome::PortNotOpened ||
            connectOutcome == SessionOutcome::NoAnswer) {
            lastModule = kNoModule;
            unconfirmedFailures = 0;
            if (connectOutcome == SessionOutcome::PortNotOpened)
                Pause(kProbeInterval);
            continue;
        }

        ProfileBytes record{};
        ProfileView module;
        int status = connected.m_nStatus;
        std::string reason = connected.m_strReason;
        if (status == kExitSuccess) {
            const StepResult read =
                ResultOf(session.Read(record), session, options.m_port, "Read");
            DecodeProfileRecord(record, module);
            status = read.m_nStatus;
            reason = read.m_strReason;
        }
        // A module removed during the probe fails it too; only a failure
        // that the next probe meets again is the module's.
        const bool unconfirmed = status != kExitSuccess && ++unconfirmedFailures < 2;
        if (status == kExitSuccess || !unconfirmed)
            unconfirmedFailures = 0;
        const std::string address =
            status == kExitSuccess ? LocalAddressOf(module) : std::string(kUnreadModule);
        if (unconfirmed || address == lastModule || CModuleSession::StopRequested()) {
            session.Close();
            Pause(kProbeInterval);
            continue;
        }

        ProfileView profile = module;
        if (status == kExitSuccess)
            status = Configure(session, options, module, profile, reason);
        if (status == kExitSuccess) {
            ++configured;
            ++options.m_placeholders.m_nCounter;
        } else {
            if (CModuleSession::StopRequested())
                reason = "stopped during the run";
            ++failures[reason];
        }
        session.Close();
        lastModule = address;

        const std::string name = status == kExitSuccess
                                     ? FormatProfileValue(profile, ProfileField::DeviceName)
                                     : "";
        log.Row({LocalTime(), options.m_port.Name(), address == kUnreadModule ? "" : address,
                 session.Version().Text(), name, status == kExitSuccess ? "ok" : "failed",
                 reason});
        console.Message(options.m_port.Name() + ": " +
                        (address == kUnreadModule ? "module" : address) + ": " +
                        (status == kExitSuccess ? "configured as " + name : "failed: " + reason));
        // A rebooting module does not answer yet; and opening the port again
        // at once would discard what the line has not yet delivered.
        Pause(kProbeInterval);
    }

    int failed = 0;
    std::string byReason;
    for (const auto& [reason, count] : failures) {
        failed += count;
        byReason += (byReason.empty() ? " (" : ", ") + reason + ": " + std::to_string(count);
    }
    console.Message("batch ended: " + std::to_string(configured) + " configured, " +
                    std::to_string(failed) + " failed" + (byReason.empty() ? "" : byReason + ")"));
    return failed == 0 ? kExitSuccess : kExitModuleFailed;
}
