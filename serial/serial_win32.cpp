// Win32 implementation of the serial operations: each one is the Win32 call it
// is named after, on a device opened for overlapped I/O.
#include "serial_platform.h"

#include <cstddef>
#include <cstring>
#include <windows.h>

namespace serial_platform {

static_assert(sizeof(HANDLE) == sizeof(Handle));
static_assert(sizeof(DCB) <= sizeof(LineSettings::native));
// The port's transfer records are handed to the system as OVERLAPPED.
static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, status) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, transferred) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, offsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(kStatusPending == STATUS_PENDING && kErrorIoPending == ERROR_IO_PENDING);
static_assert(kWaitSignalled == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT &&
              kWaitFailed == WAIT_FAILED);
static_assert(kParityNone == NOPARITY && kOneStopBit == ONESTOPBIT &&
              kDtrControlEnable == DTR_CONTROL_ENABLE);

namespace {

HANDLE ToWin32(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

Handle FromWin32(HANDLE handle)
{
    return reinterpret_cast<Handle>(handle);
}

OVERLAPPED* ToWin32(Overlapped& record)
{
    return reinterpret_cast<OVERLAPPED*>(&record);
}

DCB& NativeSettings(LineSettings& settings)
{
    return *reinterpret_cast<DCB*>(settings.native);
}

}  // namespace

bool PortName(int portIndex, char* name, std::size_t size)
{
    const char* fixedName = WindowsPortName(portIndex);
    if (!fixedName) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (std::strlen(fixedName) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::strcpy(name, fixedName);
    return true;
}

Handle OpenExclusive(const char* deviceName)
{
    return FromWin32(CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                 nullptr));
}

bool SetEventMask(Handle port)
{
    return SetCommMask(ToWin32(port), EV_RXCHAR) != FALSE;
}

bool SetQueueSizes(Handle port, std::uint32_t inQueue, std::uint32_t outQueue)
{
    return SetupComm(ToWin32(port), inQueue, outQueue) != FALSE;
}

bool PurgeAll(Handle port)
{
    return PurgeComm(ToWin32(port),
                     PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

bool GetLineSettings(Handle port, LineSettings& settings)
{
    DCB& dcb = NativeSettings(settings);
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(ToWin32(port), &dcb))
        return false;
    settings.baudRate = dcb.BaudRate;
    settings.byteSize = dcb.ByteSize;
    settings.parity = dcb.Parity;
    settings.stopBits = dcb.StopBits;
    settings.dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
    return true;
}

void MakeBinarySafe(LineSettings& settings)
{
    // A port keeps whatever the last program or `mode` left in its settings.
    // The profile and version bytes are binary: fNull would drop every 0x00,
    // fErrorChar replace bytes with parity errors, XON/XOFF take 0x11 and
    // 0x13; fDsrSensitivity drops all input while DSR is low (rarely wired on
    // a module) and fAbortOnError stops all I/O after any line error.
    DCB& dcb = NativeSettings(settings);
    dcb.fBinary = TRUE;
    dcb.fNull = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
}

bool SetLineSettings(Handle port, const LineSettings& settings)
{
    // Everything else in the record (hardware flow control, special
    // characters) goes back as the driver reported it.
    LineSettings safe = settings;
    MakeBinarySafe(safe);
    DCB& dcb = NativeSettings(safe);
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    dcb.fDtrControl = settings.dtrControl;
    return SetCommState(ToWin32(port), &dcb) != FALSE;
}

Handle CreateCompletionEvent()
{
    return FromWin32(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

bool CloseEvent(Handle event)
{
    return CloseHandle(ToWin32(event)) != FALSE;
}

bool StartRead(Handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
               Overlapped& record)
{
    DWORD done = 0;
    const BOOL completed = ReadFile(ToWin32(port), buffer, length, &done, ToWin32(record));
    count = done;
    return completed != FALSE;
}

bool StartWrite(Handle port, const std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t& count, Overlapped& record)
{
    DWORD done = 0;
    const BOOL completed = WriteFile(ToWin32(port), buffer, length, &done, ToWin32(record));
    count = done;
    return completed != FALSE;
}

std::uint32_t WaitForCompletion(Overlapped& record, std::uint32_t timeLimitMs)
{
    return WaitForSingleObject(ToWin32(record.hEvent), timeLimitMs);
}

bool GetCompletionResult(Handle port, Overlapped& record, std::uint32_t& count)
{
    DWORD done = 0;
    const BOOL completed = GetOverlappedResult(ToWin32(port), ToWin32(record), &done, FALSE);
    count = done;
    return completed != FALSE;
}

CancelEnd AwaitCancelled(Handle port, Overlapped& record, std::uint32_t& count,
                         std::uint32_t timeLimitMs)
{
    // Bounded: a USB driver wedged by a surprise removal may never finish
    // what it was told to cancel.
    DWORD done = 0;
    if (GetOverlappedResultEx(ToWin32(port), ToWin32(record), &done, timeLimitMs, FALSE)) {
        count = done;
        return CancelEnd::Completed;
    }
    const DWORD code = GetLastError();
    return code == WAIT_TIMEOUT || code == ERROR_IO_INCOMPLETE ? CancelEnd::Unfinished
                                                               : CancelEnd::Aborted;
}

bool ClearErrors(Handle port, std::uint32_t& queuedBytes)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(ToWin32(port), &errors, &status))
        return false;
    queuedBytes = status.cbInQue;
    return true;
}

bool CancelPending(Handle port, bool discardOutput)
{
    if (!CancelIo(ToWin32(port)))
        return false;
    // A driver may keep bytes of an aborted write in its own transmit buffer.
    if (discardOutput)
        PurgeComm(ToWin32(port), PURGE_TXABORT | PURGE_TXCLEAR);
    return true;
}

bool DrainOutput(Handle port, std::uint32_t timeLimitMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeLimitMs;
    DWORD errors = 0;
    COMSTAT status{};
    while (ClearCommError(ToWin32(port), &errors, &status) && status.cbOutQue > 0) {
        if (GetTickCount64() >= deadline) {
            PurgeComm(ToWin32(port), PURGE_TXABORT | PURGE_TXCLEAR);
            return false;
        }
        Sleep(5);
    }
    return true;
}

bool OutputHeldByHandshake(Handle port)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    DWORD modemStatus = 0;
    return GetCommState(ToWin32(port), &dcb) && dcb.fOutxCtsFlow &&
           GetCommModemStatus(ToWin32(port), &modemStatus) && !(modemStatus & MS_CTS_ON);
}

bool TurnOffHardwareFlowControl(Handle port)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(ToWin32(port), &dcb))
        return false;
    dcb.fOutxCtsFlow = FALSE;
    return SetCommState(ToWin32(port), &dcb) != FALSE;
}

bool ClosePort(Handle port)
{
    return CloseHandle(ToWin32(port)) != FALSE;
}

std::uint32_t LastErrorCode()
{
    return GetLastError();
}

bool MeansDeviceGone(std::uint32_t code, bool portOpen)
{
    switch (code) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
    // What USB serial drivers answer on the handle of a device removed by surprise.
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
        return true;
    case ERROR_ACCESS_DENIED:
        // Opening: the port is in use. On an open port: it vanished.
        return portOpen;
    case ERROR_NOT_READY:
        // On an open port: the system's "device not connected", and Wine's
        // word for a terminal the kernel hung up.
        return portOpen;
    default:
        return false;
    }
}

}  // namespace serial_platform
