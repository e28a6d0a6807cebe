#include "serialport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <mutex>

namespace os = serial_platform;

CSerialPort SerialPort(20, 9600, 0, 8, 0, 4096, 4096);

namespace {

// Longest a Read waits for a read the system deferred.
constexpr std::uint32_t kReadWaitMs = 50;
// Longest Close lets unsent output drain. A terminal's close otherwise waits
// for it up to the driver's closing wait (30 s for serial drivers on Linux),
// which a line held off would spend in full with the window frozen.
constexpr std::uint32_t kCloseDrainMs = 500;
// Longest the port waits for each transfer it cancelled to finish; a driver
// that is well takes a few milliseconds.
constexpr std::uint32_t kCancelWaitMs = 500;
// Room for the bytes of any command without allocating.
constexpr std::size_t kWriteBufferSize = 4096;

}  // namespace

CSerialPort::CTransfers::CTransfers()
{
    m_vecWrite.reserve(kWriteBufferSize);
}

CSerialPort::CSerialPort(int portIndex, std::uint32_t baudRate, std::uint8_t parity,
                         std::uint8_t byteSize, std::uint8_t stopBits, std::uint32_t inQueue,
                         std::uint32_t outQueue)
    : m_dwBaudRate(baudRate),
      m_dwInQueue(inQueue),
      m_dwOutQueue(outQueue),
      m_byParity(parity),
      m_byByteSize(byteSize),
      m_byStopBits(stopBits),
      m_nPortIndex(portIndex),
      m_pTransfers(std::make_unique<CTransfers>())
{
}

CSerialPort::~CSerialPort()
{
    Close();
}

// `code` is taken by the caller before anything is written.
void CSerialPort::Fail(PortOperation operation, PortStep step, std::uint32_t code,
                       const char* text, LineEnd end)
{
    m_failure = PortFailure{};
    m_failure.operation = operation;
    m_failure.step = step;
    m_failure.errorCode = code;
    m_failure.deviceGone = os::MeansDeviceGone(code, operation != PortOperation::Open);
    ++m_dwFailureCount;
    if (operation == PortOperation::Read || operation == PortOperation::Write)
        m_bDeviceGone = m_bDeviceGone || m_failure.deviceGone;
    if (!text)
        return;
    char* const line = m_failure.diagnostic;
    const std::size_t size = sizeof m_failure.diagnostic;
    switch (end) {
    case LineEnd::CodeFullStop: std::snprintf(line, size, "%s%" PRIu32 ".", text, code); break;
    case LineEnd::Code: std::snprintf(line, size, "%s%" PRIu32, text, code); break;
    case LineEnd::Text: std::snprintf(line, size, "%s", text); break;
    }
    if (m_bPrintsDiagnostics)
        std::fprintf(stderr, "%s\n", line);
}

int CSerialPort::Open()
{
    // A device held by an earlier failed Open would otherwise stay in use until exit.
    if (m_hPort != os::kInvalidHandle && Close() == 0)
        return 0;

    char name[os::kPortNameSize];
    const char* device = !m_strDeviceName.empty() ? m_strDeviceName.c_str()
                         : os::PortName(m_nPortIndex, name, sizeof name) ? name
                                                                         : nullptr;
    m_hPort = device ? os::OpenExclusive(device) : os::kInvalidHandle;
    const auto failed = [this](PortStep step, const char* text) {
        Fail(PortOperation::Open, step, os::LastErrorCode(), text);
        return 0;
    };
    if (m_hPort == os::kInvalidHandle)
        return failed(PortStep::CreateFile, "CreateFile failed with error ");
    if (!os::SetEventMask(m_hPort))
        return failed(PortStep::SetCommMask, "SetCommMask failed with error ");
    if (!os::SetQueueSizes(m_hPort, m_dwInQueue, m_dwOutQueue))
        return failed(PortStep::SetupComm, "SetupComm failed with error ");
    if (!os::PurgeAll(m_hPort))
        return failed(PortStep::PurgeComm, "PurgeComm failed with error ");
    os::LineSettings settings;
    if (!os::GetLineSettings(m_hPort, settings))
        return failed(PortStep::GetCommState, "GetCommState failed with error ");
    settings.baudRate = m_dwBaudRate;
    settings.byteSize = m_byByteSize;
    settings.parity = m_byParity;
    settings.stopBits = m_byStopBits;
    settings.dtrControl = os::kDtrControlEnable;
    if (!os::SetLineSettings(m_hPort, settings))
        return failed(PortStep::SetCommState, "SetCommState Failed with error ");

    m_bReadPending = false;
    os::Handle& readEvent = m_pTransfers->m_osRead.hEvent;
    readEvent = os::CreateCompletionEvent();
    if (readEvent == os::kNoEvent)
        failed(PortStep::CreateEvent, "CreateEvent for osRead failed with error ");
    os::Handle& writeEvent = m_pTransfers->m_osWrite.hEvent;
    writeEvent = os::CreateCompletionEvent();
    if (writeEvent == os::kNoEvent)
        failed(PortStep::CreateEvent, "CreateEvent for osWrite failed with error ");
    return 1;
}

int CSerialPort::Close()
{
    const auto failed = [this](PortStep step, const char* text) {
        Fail(PortOperation::Close, step, os::LastErrorCode(), text);
    };
    if (CancelTransfers(PortOperation::Close) == CancelOutcome::Refused)
        failed(PortStep::CancelIo, "CancelIO failed with error ");

    os::Handle& readEvent = m_pTransfers->m_osRead.hEvent;
    if (readEvent != os::kNoEvent) {
        if (!os::CloseEvent(readEvent))
            failed(PortStep::CloseEvent, "CloseHandle m_osRead.hEvent Failed with error ");
        readEvent = os::kNoEvent;
    }
    os::Handle& writeEvent = m_pTransfers->m_osWrite.hEvent;
    if (writeEvent != os::kNoEvent) {
        if (!os::CloseEvent(writeEvent))
            failed(PortStep::CloseEvent, "CloseHandle m_osWrite.hEvent Failed with error ");
        writeEvent = os::kNoEvent;
    }

    if (m_hPort == os::kInvalidHandle) {
        // Closed already, or just abandoned: closing forgets that it went.
        m_bDeviceGone = false;
        return 1;
    }
    // A line that held the output back must not hold the release as well:
    // the port's RTS/CTS setting is changed in that case only.
    if (!os::DrainOutput(m_hPort, kCloseDrainMs) || m_bOutputHeld)
        os::TurnOffHardwareFlowControl(m_hPort);
    m_bOutputHeld = false;
    if (!os::ClosePort(m_hPort)) {
        failed(PortStep::CloseHandle, "CloseHandle Failed with error ");
        return 0;
    }
    m_hPort = os::kInvalidHandle;
    m_bDeviceGone = false;
    return 1;
}

int CSerialPort::Write(const std::uint8_t* buffer, std::uint32_t length)
{
    if (length == 0)
        return 1;

    // The system may read the bytes until the write has finished, which a
    // cancel that never finishes would leave to it after this call.
    CTransfers& transfers = *m_pTransfers;
    transfers.m_vecWrite.assign(buffer, buffer + length);
    std::uint32_t count = 0;
    if (os::StartWrite(m_hPort, transfers.m_vecWrite.data(), length, count, transfers.m_osWrite))
        return static_cast<int>(count);
    const std::uint32_t startCode = os::LastErrorCode();
    if (startCode != os::kErrorIoPending) {
        Fail(PortOperation::Write, PortStep::Transfer, startCode, nullptr);
        std::uint32_t queued = 0;
        os::ClearErrors(m_hPort, queued);
        return 0;
    }

    const std::uint32_t waited = os::WaitForCompletion(transfers.m_osWrite, os::kWriteTimeLimitMs);
    if (waited != os::kWaitSignalled) {
        const bool timedOut = waited == os::kWaitTimeout;
        const std::uint32_t code = timedOut ? 0 : os::LastErrorCode();
        const bool heldByHandshake = timedOut && os::OutputHeldByHandshake(m_hPort);
        // The line must not send later what it held back.
        if (CancelTransfers(PortOperation::Write) == CancelOutcome::Abandoned)
            return 0;
        m_bOutputHeld = true;
        Fail(PortOperation::Write, PortStep::WaitForSingleObject, code,
             "WaitForSingleObject Failed!", LineEnd::Text);
        m_failure.timedOut = timedOut;
        m_failure.heldByHandshake = heldByHandshake;
        return 0;
    }
    if (!os::GetCompletionResult(m_hPort, transfers.m_osWrite, count)) {
        Fail(PortOperation::Write, PortStep::GetOverlappedResult, os::LastErrorCode(),
             "GetOverlappedResult Failed with error ", LineEnd::Code);
        std::uint32_t queued = 0;
        os::ClearErrors(m_hPort, queued);
        return 0;
    }
    return static_cast<int>(count);
}

int CSerialPort::Read(std::uint8_t* buffer, std::uint32_t length)
{
    // Callers poll; a closed port must not flood standard error.
    if (m_hPort == os::kInvalidHandle)
        return 0;

    std::uint32_t queued = 0;
    if (!QueuedBytes(queued))
        return 0;
    const std::uint32_t amount = queued >= length ? length : 0;
    if (amount == 0 && !m_bReadPending)
        return -1;

    CTransfers& transfers = *m_pTransfers;
    if (!m_bReadPending) {
        if (amount > kReadBufferSize)
            return 0;
        std::uint32_t count = 0;
        if (os::StartRead(m_hPort, transfers.m_abyRead, amount, count, transfers.m_osRead)) {
            std::copy_n(transfers.m_abyRead, count, buffer);
            return static_cast<int>(count);
        }
        const std::uint32_t code = os::LastErrorCode();
        if (code != os::kErrorIoPending) {
            Fail(PortOperation::Read, PortStep::Transfer, code, "ReadFile Failed with error ");
            return 0;
        }
        m_bReadPending = true;
    }

    switch (os::WaitForCompletion(transfers.m_osRead, kReadWaitMs)) {
    case os::kWaitSignalled: {
        std::uint32_t count = 0;
        if (!os::GetCompletionResult(m_hPort, transfers.m_osRead, count)) {
            Fail(PortOperation::Read, PortStep::GetOverlappedResult, os::LastErrorCode(),
                 "GetOverlappedResult Failed with error ");
            // Nothing is outstanding any more; the next call starts afresh.
            m_bReadPending = false;
            return 0;
        }
        // Bytes are handed only to a buffer that holds them all.
        if (count > length)
            return -1;
        m_bReadPending = false;
        std::copy_n(transfers.m_abyRead, count, buffer);
        return static_cast<int>(count);
    }
    case os::kWaitTimeout:
        return -1;
    default:
        Fail(PortOperation::Read, PortStep::WaitForSingleObject, os::LastErrorCode(),
             "WaitForSingleObject Failed.", LineEnd::Text);
        return 0;
    }
}

CSerialPort::CancelOutcome CSerialPort::CancelTransfers(PortOperation operation)
{
    os::Overlapped& osRead = m_pTransfers->m_osRead;
    os::Overlapped& osWrite = m_pTransfers->m_osWrite;
    const bool reading = osRead.status == os::kStatusPending;
    const bool writing = osWrite.status == os::kStatusPending;
    if (!reading && !writing)
        return CancelOutcome::Ended;
    // What a write given up left queued must not go out later.
    if (!os::CancelPending(m_hPort, writing))
        return CancelOutcome::Refused;
    // The aborts are the port's own doing: they are no failure, and no later
    // Read may take them for a device that went away. A driver that has not
    // finished one in time will not finish the other either.
    std::uint32_t count = 0;
    os::CancelEnd end = os::CancelEnd::Aborted;
    if (writing)
        end = os::AwaitCancelled(m_hPort, osWrite, count, kCancelWaitMs);
    if (reading && end != os::CancelEnd::Unfinished) {
        end = os::AwaitCancelled(m_hPort, osRead, count, kCancelWaitMs);
        // A read that completed before the cancel is left for Read to collect.
        if (end == os::CancelEnd::Aborted)
            m_bReadPending = false;
    }
    if (end != os::CancelEnd::Unfinished)
        return CancelOutcome::Ended;
    Abandon(operation);
    return CancelOutcome::Abandoned;
}

void CSerialPort::Abandon(PortOperation operation)
{
    const std::uint32_t code = os::LastErrorCode();
    // Until the driver finishes the transfers, as one wedged by a surprise
    // removal may never, it may still write into their records and buffers
    // and signal their events: they stay with it, reachable and never freed,
    // for the rest of the run. The device goes with them, since releasing it
    // would wait on the same driver. The port starts afresh with new ones.
    static std::mutex abandonedGuard;
    static auto* const abandoned = new std::vector<std::unique_ptr<CTransfers>>;
    {
        const std::lock_guard<std::mutex> lock(abandonedGuard);
        abandoned->push_back(std::move(m_pTransfers));
    }
    m_pTransfers = std::make_unique<CTransfers>();
    m_hPort = os::kInvalidHandle;
    m_bReadPending = false;
    m_bOutputHeld = false;
    Fail(operation, PortStep::CancelIo, code,
         "CancelIO did not finish; port abandoned with error ");
    m_failure.deviceGone = true;
    m_bDeviceGone = true;
}

void CSerialPort::DeviceRemoved()
{
    if (m_hPort == os::kInvalidHandle)
        return;
    Fail(PortOperation::Read, PortStep::RemovalNotice, 0, nullptr);
    m_failure.deviceGone = true;
    m_bDeviceGone = true;
}

bool CSerialPort::QueuedBytes(std::uint32_t& queued)
{
    if (os::ClearErrors(m_hPort, queued))
        return true;
    queued = 0;
    const std::uint32_t code = os::LastErrorCode();
    if (!os::MeansDeviceGone(code, true))
        return true;
    Fail(PortOperation::Read, PortStep::ClearCommError, code, "ClearCommError failed with error ");
    return false;
}

int CSerialPort::CheckDevice()
{
    std::uint32_t queued = 0;
    return m_hPort != os::kInvalidHandle && QueuedBytes(queued) ? 1 : 0;
}

int CSerialPort::SetPort(int portIndex)
{
    if (m_hPort != os::kInvalidHandle)
        return 0;
    m_nPortIndex = portIndex;
    return 1;
}

int CSerialPort::SetDeviceName(const std::string& deviceName)
{
    if (m_hPort != os::kInvalidHandle)
        return 0;
    m_strDeviceName = deviceName;
    return 1;
}
