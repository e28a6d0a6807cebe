#include "serialport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace os = serial_platform;

CSerialPort SerialPort(20, 9600, 0, 8, 0, 4096, 4096);

namespace {

// Longest a Read waits for a read the system deferred.
constexpr std::uint32_t kReadWaitMs = 50;
// Longest Close lets unsent output drain. A terminal's close otherwise waits
// for it up to the driver's closing wait (30 s for serial drivers on Linux),
// which a line held off would spend in full with the window frozen.
constexpr std::uint32_t kCloseDrainMs = 500;

// `code` is taken by the caller before anything is written.
void ReportError(const char* text, std::uint32_t code)
{
    std::fprintf(stderr, "%s%" PRIu32 ".\n", text, code);
}

}  // namespace

CSerialPort::CSerialPort(int portIndex, std::uint32_t baudRate, std::uint8_t parity,
                         std::uint8_t byteSize, std::uint8_t stopBits, std::uint32_t inQueue,
                         std::uint32_t outQueue)
    : m_dwBaudRate(baudRate),
      m_dwInQueue(inQueue),
      m_dwOutQueue(outQueue),
      m_byParity(parity),
      m_byByteSize(byteSize),
      m_byStopBits(stopBits),
      m_nPortIndex(portIndex)
{
}

CSerialPort::~CSerialPort()
{
    Close();
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
    if (m_hPort == os::kInvalidHandle) {
        ReportError("CreateFile failed with error ", os::LastErrorCode());
        return 0;
    }
    if (!os::SetEventMask(m_hPort)) {
        ReportError("SetCommMask failed with error ", os::LastErrorCode());
        return 0;
    }
    if (!os::SetQueueSizes(m_hPort, m_dwInQueue, m_dwOutQueue)) {
        ReportError("SetupComm failed with error ", os::LastErrorCode());
        return 0;
    }
    if (!os::PurgeAll(m_hPort)) {
        ReportError("PurgeComm failed with error ", os::LastErrorCode());
        return 0;
    }
    os::LineSettings settings;
    if (!os::GetLineSettings(m_hPort, settings)) {
        ReportError("GetCommState failed with error ", os::LastErrorCode());
        return 0;
    }
    settings.baudRate = m_dwBaudRate;
    settings.byteSize = m_byByteSize;
    settings.parity = m_byParity;
    settings.stopBits = m_byStopBits;
    settings.dtrControl = os::kDtrControlEnable;
    if (!os::SetLineSettings(m_hPort, settings)) {
        ReportError("SetCommState Failed with error ", os::LastErrorCode());
        return 0;
    }

    m_bReadPending = false;
    m_osRead.hEvent = os::CreateCompletionEvent();
    if (m_osRead.hEvent == os::kNoEvent)
        ReportError("CreateEvent for osRead failed with error ", os::LastErrorCode());
    m_osWrite.hEvent = os::CreateCompletionEvent();
    if (m_osWrite.hEvent == os::kNoEvent)
        ReportError("CreateEvent for osWrite failed with error ", os::LastErrorCode());
    return 1;
}

int CSerialPort::Close()
{
    if ((m_osRead.status == os::kStatusPending || m_osWrite.status == os::kStatusPending) &&
        !os::CancelPending(m_hPort))
        ReportError("CancelIO failed with error ", os::LastErrorCode());

    if (m_osRead.hEvent != os::kNoEvent) {
        if (!os::CloseEvent(m_osRead.hEvent))
            ReportError("CloseHandle m_osRead.hEvent Failed with error ", os::LastErrorCode());
        m_osRead.hEvent = os::kNoEvent;
    }
    if (m_osWrite.hEvent != os::kNoEvent) {
        if (!os::CloseEvent(m_osWrite.hEvent))
            ReportError("CloseHandle m_osWrite.hEvent Failed with error ", os::LastErrorCode());
        m_osWrite.hEvent = os::kNoEvent;
    }

    if (m_hPort == os::kInvalidHandle)
        return 1;
    os::DrainOutput(m_hPort, kCloseDrainMs);
    if (!os::ClosePort(m_hPort)) {
        ReportError("CloseHandle Failed with error ", os::LastErrorCode());
        return 0;
    }
    m_hPort = os::kInvalidHandle;
    return 1;
}

int CSerialPort::Write(const std::uint8_t* buffer, std::uint32_t length)
{
    if (length == 0)
        return 1;

    std::uint32_t count = 0;
    if (os::StartWrite(m_hPort, buffer, length, count, m_osWrite))
        return static_cast<int>(count);
    if (os::LastErrorCode() != os::kErrorIoPending) {
        std::uint32_t queued = 0;
        os::ClearErrors(m_hPort, queued);
        return 0;
    }

    if (os::WaitForEvent(m_osWrite.hEvent, os::kWriteTimeLimitMs) != os::kWaitSignalled) {
        // The system must not go on reading the caller's buffer after we return.
        os::CancelPending(m_hPort);
        std::fputs("WaitForSingleObject Failed!\n", stderr);
        return 0;
    }
    if (!os::GetCompletionResult(m_hPort, m_osWrite, count)) {
        const std::uint32_t code = os::LastErrorCode();
        std::fprintf(stderr, "GetOverlappedResult Failed with error %" PRIu32 "\n", code);
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

    // A device that cannot report its queue counts as having nothing queued.
    std::uint32_t queued = 0;
    if (!os::ClearErrors(m_hPort, queued))
        queued = 0;
    const std::uint32_t amount = queued >= length ? length : 0;
    if (amount == 0 && !m_bReadPending)
        return -1;

    if (!m_bReadPending) {
        if (amount > kReadBufferSize)
            return 0;
        std::uint32_t count = 0;
        if (os::StartRead(m_hPort, m_abyReadBuffer, amount, count, m_osRead)) {
            std::copy_n(m_abyReadBuffer, count, buffer);
            return static_cast<int>(count);
        }
        const std::uint32_t code = os::LastErrorCode();
        if (code != os::kErrorIoPending) {
            ReportError("ReadFile Failed with error ", code);
            return 0;
        }
        m_bReadPending = true;
    }

    switch (os::WaitForEvent(m_osRead.hEvent, kReadWaitMs)) {
    case os::kWaitSignalled: {
        std::uint32_t count = 0;
        if (!os::GetCompletionResult(m_hPort, m_osRead, count)) {
            ReportError("GetOverlappedResult Failed with error ", os::LastErrorCode());
            // Nothing is outstanding any more; the next call starts afresh.
            m_bReadPending = false;
            return 0;
        }
        // Bytes are handed only to a buffer that holds them all.
        if (count > length)
            return -1;
        m_bReadPending = false;
        std::copy_n(m_abyReadBuffer, count, buffer);
        return static_cast<int>(count);
    }
    case os::kWaitTimeout:
        return -1;
    default:
        std::fputs("WaitForSingleObject Failed.\n", stderr);
        return 0;
    }
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
