#include "module_session.h"

#include <atomic>
#include <thread>

#include "commands.h"

namespace {

using Clock = std::chrono::steady_clock;

// Set from a signal handler, so lock-free; read by every session's waits.
std::atomic<bool> g_bStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The window's line: 9600 bit/s, 8 data bits, no parity, one stop bit.
constexpr std::uint32_t kBaudRate = 9600;
constexpr std::uint8_t kByteSize = 8;
constexpr std::uint32_t kQueueSize = 4096;

// A wait with nothing come sleeps this long a pass, so that waiting costs no
// processor time; a byte of the line at 9600 bit/s takes about as long.
constexpr auto kIdlePass = std::chrono::milliseconds(1);

}  // namespace

void CModuleSession::RequestStop()
{
    g_bStopRequested.store(true);
}

bool CModuleSession::StopRequested()
{
    return g_bStopRequested.load();
}

CModuleSession::CModuleSession(int portIndex, const std::string& deviceName)
    : m_port(portIndex, kBaudRate, serial_platform::kParityNone, kByteSize,
             serial_platform::kOneStopBit, kQueueSize, kQueueSize)
{
    m_port.SetDeviceName(deviceName);
}

CModuleSession::~CModuleSession()
{
    Close();
}

bool CModuleSession::Stopping() const
{
    return StopRequested() || (m_pStop && m_pStop->load());
}

void CModuleSession::Close()
{
    m_port.Close();
    m_bOpen = false;
    m_bHeld = false;
}

SessionOutcome CModuleSession::EndWithPortFailure(SessionOutcome outcome)
{
    m_failure = m_port.LastFailure();
    if (!m_bHeld || m_port.DeviceGone() || outcome == SessionOutcome::PortNotOpened)
        Close();
    return outcome;
}

SessionOutcome CModuleSession::Open()
{
    if (m_bOpen) {
        m_bHeld = true;
        return SessionOutcome::Done;
    }
    Close();
    if (Stopping())
        return SessionOutcome::Stopped;
    if (m_port.Open() != 1)
        return EndWithPortFailure(SessionOutcome::PortNotOpened);
    m_bOpen = true;
    m_bHeld = true;
    return SessionOutcome::Done;
}

SessionOutcome CModuleSession::Connect(const std::string& password, std::chrono::milliseconds wait)
{
    if (m_bHeld && m_bOpen) {
        // A late answer to the last probe is no answer to this one.
        DiscardQueuedInput(m_port);
    } else {
        Close();
        if (Stopping())
            return SessionOutcome::Stopped;
        if (m_port.Open() != 1)
            return EndWithPortFailure(SessionOutcome::PortNotOpened);
        m_bOpen = true;
    }

    const auto command = BuildConnectCommand(password);
    SessionOutcome outcome = Send(command.data(), command.size());
    ConnectAnswer answer;
    if (outcome == SessionOutcome::Done)
        outcome = WaitForLine(wait, [&answer](const std::uint8_t* line, std::size_t length) {
            answer = ReadConnectAnswer(line, length);
            return answer.kind != ConnectAnswer::Kind::Other;
        });
    if (outcome == SessionOutcome::Done) {
        if (answer.kind == ConnectAnswer::Kind::VersionError) {
            outcome = SessionOutcome::VersionRefused;
        } else {
            m_version = answer.version;
            if (!answer.accepted)
                outcome = SessionOutcome::PasswordRefused;
        }
    }
    if (outcome != SessionOutcome::Done && !m_bHeld)
        Close();
    return outcome;
}

SessionOutcome CModuleSession::Read(ProfileBytes& record)
{
    if (!m_bOpen)
        return SessionOutcome::PortNotOpened;
    // What came while nothing waited is no answer to this command.
    DiscardQueuedInput(m_port);
    SessionOutcome outcome = Send(kReadCommand, sizeof kReadCommand);
    if (outcome != SessionOutcome::Done)
        return outcome;
    return WaitForLine(kReadWait, [&record](const std::uint8_t* line, std::size_t length) {
        if (!IsWholeProfileReply(line, length))
            return false;
        record = RecordOfProfileReply(line);
        return true;
    });
}

SessionOutcome CModuleSession::Write(const ProfileBytes& record)
{
    if (!m_bOpen)
        return SessionOutcome::PortNotOpened;
    const auto command = BuildWriteCommand(record);
    return Send(command.data(), command.size());
}

SessionOutcome CModuleSession::Reboot()
{
    if (!m_bOpen)
        return SessionOutcome::PortNotOpened;
    return Send(kRebootCommand, sizeof kRebootCommand);
}

SessionOutcome CModuleSession::Send(const std::uint8_t* bytes, std::size_t size)
{
    if (Stopping())
        return SessionOutcome::Stopped;
    if (m_port.Write(bytes, static_cast<std::uint32_t>(size)) == static_cast<int>(size))
        return SessionOutcome::Done;
    return EndWithPortFailure(m_port.DeviceGone() ? SessionOutcome::DeviceGone
                                                  : SessionOutcome::WriteFailed);
}

SessionOutcome CModuleSession::WaitForLine(
    std::chrono::milliseconds period,
    const std::function<bool(const std::uint8_t*, std::size_t)>& accept)
{
    const Clock::time_point start = Clock::now();
    // A half line left by an earlier wait belongs to no answer of this one.
    m_reply.fillIndex = 0;
    for (;;) {
        if (Stopping())
            return SessionOutcome::Stopped;
        const PollResult taken = TakeReplyBytes(m_port, m_reply);
        if (m_port.DeviceGone())
            return EndWithPortFailure(SessionOutcome::DeviceGone);
        if (taken == PollResult::LineEnd) {
            const bool accepted = accept(m_reply.line, m_reply.fillIndex);
            m_reply.fillIndex = 0;
            if (accepted)
                return SessionOutcome::Done;
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (waited >= period)
            return SessionOutcome::NoAnswer;
        if (m_fnObserver)
            m_fnObserver(waited, period);
        if (taken == PollResult::NoByte)
            std::this_thread::sleep_for(kIdlePass);
    }
}
