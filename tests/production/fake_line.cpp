#include "fake_line.h"

#include <cstring>

namespace {

// What the line and the module take for each step, roughly as at 9600 bit/s.
constexpr auto kConnectAnswer = 30ms;
constexpr auto kReadAnswer = 90ms;
constexpr auto kWriteTime = 80ms;
constexpr auto kBootTime = 300ms;

std::string PasswordOf(const ProfileBytes& profile)
{
    ProfileView view;
    DecodeProfileRecord(profile, view);
    return view.CfgPwd;
}

class CFakeSession final : public IModuleSession {
public:
    explicit CFakeSession(CFakePorts& line) : m_line(line) {}

    SessionOutcome Open() override
    {
        m_bOpen = true;
        return SessionOutcome::Done;
    }
    SessionOutcome Connect(const std::string& password, std::chrono::milliseconds wait) override
    {
        ++m_line.m_nConnects;
        FakeModule* module = Listening();
        if (!module) {
            m_line.Time().Advance(wait);
            return SessionOutcome::NoAnswer;
        }
        m_line.Time().Advance(kConnectAnswer);
        m_version = {1, 3};
        return module->m_bRefuses || password != PasswordOf(module->m_profile)
                   ? SessionOutcome::PasswordRefused
                   : SessionOutcome::Done;
    }
    SessionOutcome Read(ProfileBytes& record) override
    {
        FakeModule* module = Listening();
        const bool slow =
            module && (module->m_tReadDelay >= kReadWait || module->m_nSlowReads-- > 0);
        if (!module || slow) {
            m_line.Time().Advance(kReadWait);
            return SessionOutcome::NoAnswer;
        }
        m_line.Time().Advance(module->m_tReadDelay + kReadAnswer);
        record = module->m_profile;
        return SessionOutcome::Done;
    }
    SessionOutcome Write(const ProfileBytes& record) override
    {
        m_line.Time().Advance(kWriteTime);
        if (FakeModule* module = Listening()) {
            module->m_nSlowReads = module->m_bSlowAfterWrite ? 1 : 0;
            module->m_bSlowAfterWrite = false;
            if (module->m_bKeepsWrites)
                module->m_profile = record;
        }
        return SessionOutcome::Done;
    }
    SessionOutcome Reboot() override
    {
        if (FakeModule* module = Listening())
            module->m_tDeafUntil = m_line.Time().Now() + kBootTime;
        m_line.Time().Advance(10ms);
        return SessionOutcome::Done;
    }
    void Close() override { m_bOpen = false; }
    bool IsOpen() const override { return m_bOpen; }
    const FirmwareVersion& Version() const override { return m_version; }
    const PortFailure& Failure() const override { return m_failure; }

private:
    FakeModule* Listening()
    {
        FakeModule* module = m_line.OnLine();
        return module && m_line.Time().Now() >= module->m_tDeafUntil ? module : nullptr;
    }

    CFakePorts& m_line;
    bool m_bOpen = false;
    FirmwareVersion m_version;
    PortFailure m_failure;
};

class CMemoryLogFile final : public ILogFile {
public:
    explicit CMemoryLogFile(MemoryLog& log) : m_log(log) {}
    bool ReadAll(std::optional<std::string>& content, std::string&) override
    {
        content = m_log.m_content;
        return true;
    }
    bool Lock(std::string&, std::string&) override { return true; }
    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        if (!m_log.m_strFullAt.empty() && bytes.find(m_log.m_strFullAt) != std::string::npos) {
            error = m_strPath + ": No space left on device";
            return false;
        }
        m_log.m_content = m_log.m_content.value_or("") + bytes;
        return true;
    }
    const std::string& Path() const override { return m_strPath; }

private:
    MemoryLog& m_log;
    const std::string m_strPath = "pumps.csv";
};

}  // namespace

void CFakeTime::Pause(RunClock::duration duration, const std::function<bool()>& stopped)
{
    if (!stopped())
        Advance(duration);
}

void CFakeTime::Advance(RunClock::duration duration)
{
    m_tNow += duration;
    if (m_fnAtEnd && Elapsed() >= m_tEnd) {
        const auto atEnd = std::move(m_fnAtEnd);
        m_fnAtEnd = nullptr;
        atEnd();
    }
}

void CFakeTime::EndAt(RunClock::duration end, std::function<void()> atEnd)
{
    m_tEnd = end;
    m_fnAtEnd = std::move(atEnd);
}

FakeModule ModuleAt(const char* address, const char* name)
{
    FakeModule module;
    module.m_profile = DefaultProfile;
    std::memcpy(module.m_profile.data(), address, 12);
    if (name) {
        ProfileView view;
        DecodeProfileRecord(module.m_profile, view);
        view.LocalName = name;
        EncodeProfile(view, module.m_profile);
    }
    return module;
}

std::unique_ptr<IModuleSession> CFakePorts::Session(const CPortChoice&, const std::atomic<bool>&)
{
    return std::make_unique<CFakeSession>(*this);
}

FakeModule* CFakePorts::OnLine()
{
    const RunClock::duration now = m_time.Elapsed();
    for (const Visit& visit : m_vecVisits)
        if (visit.m_tFrom <= now && now < visit.m_tTo)
            return &m_modules.at(visit.m_nModule);
    return nullptr;
}

std::unique_ptr<ILogFile> MemoryLogFile(MemoryLog& log)
{
    return std::make_unique<CMemoryLogFile>(log);
}

void CRecordingObserver::ModuleFinished(std::size_t, const ModuleOutcome& outcome)
{
    m_vecOutcomes.push_back((outcome.m_bOk ? "ok " : "failed ") + outcome.m_strNumber + " " +
                            outcome.m_strDeviceName +
                            (outcome.m_strReason.empty() ? "" : " (" + outcome.m_strReason + ")"));
}
