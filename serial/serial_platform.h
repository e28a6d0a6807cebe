// The operating system's serial operations, by role, as the port uses them.
// One implementation file per platform (serial_posix.cpp; a Win32 one maps each
// function to its Win32 call); tests link a fake instead. Every function that
// can fail returns false (or an invalid handle) and leaves its error code for
// LastErrorCode(). No operating-system header appears here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serial_platform {

// A device or event handle: a file descriptor on POSIX, a HANDLE on Win32.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;  // no device (INVALID_HANDLE_VALUE)
inline constexpr Handle kNoEvent = 0;         // no event (a null HANDLE)

// Error code of a transfer that was started and will complete later (ERROR_IO_PENDING).
inline constexpr std::uint32_t kErrorIoPending = 997;
// Status word of a record while its transfer is outstanding (STATUS_PENDING).
inline constexpr std::uintptr_t kStatusPending = 259;

// Results of WaitForEvent (WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED).
inline constexpr std::uint32_t kWaitSignalled = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

// Longest a write may take before it is given up, in milliseconds.
inline constexpr std::uint32_t kWriteTimeLimitMs = 2000;

// The record of one transfer; laid out like Win32's OVERLAPPED, so the Win32
// implementation hands it to the system as it is.
struct Overlapped {
    std::uintptr_t status = 0;       // kStatusPending while outstanding
    std::uintptr_t transferred = 0;  // bytes moved once complete
    std::uint32_t offset = 0;        // never used by a serial device
    std::uint32_t offsetHigh = 0;
    Handle hEvent = kNoEvent;        // signalled when the transfer completes
};

// Parity and stop-bit codes as in Win32's DCB.
inline constexpr std::uint8_t kParityNone = 0;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kDtrControlEnable = 1;  // DTR on while open

// Line settings: the values the port changes, plus the platform's whole
// settings record as read, so that writing them back leaves the rest (flow
// control, special characters) as the driver had it.
struct LineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 0;
    std::uint8_t parity = kParityNone;
    std::uint8_t stopBits = kOneStopBit;
    std::uint8_t dtrControl = 0;
    alignas(std::max_align_t) unsigned char native[128] = {};  // DCB or termios
};

// Buffer size for PortName.
inline constexpr std::size_t kPortNameSize = 4096;

// Device names of port index 0..30 (COM1..COM31); nullptr for other indices.
// Win32: "COM1".."COM9", then "\\.\COM10".."\\.\COM31".
const char* WindowsPortName(int portIndex);
// Linux without ZR9_PORT_DIR: /dev/ttyS0-3, /dev/ttyUSB0-15, /dev/ttyACM0-10.
const char* DefaultPosixPortName(int portIndex);

// The device name this platform opens for a port index; false for an index
// outside 0..30 or a name longer than `size`.
bool PortName(int portIndex, char* name, std::size_t size);

// POSIX: true when `device` is one of the kernel's active consoles
// (ZR9_CONSOLE_LIST names a stand-in for their list).
bool IsActiveConsole(const char* device);

// Opens the device for exclusive, asynchronous use (CreateFileA).
Handle OpenExclusive(const char* deviceName);
// Asks the device to report received characters (SetCommMask EV_RXCHAR).
bool SetEventMask(Handle port);
// Recommended driver queue sizes (SetupComm).
bool SetQueueSizes(Handle port, std::uint32_t inQueue, std::uint32_t outQueue);
// Abandons outstanding transfers and discards both queues (PurgeComm 15).
bool PurgeAll(Handle port);
// Current line settings (GetCommState).
bool GetLineSettings(Handle port, LineSettings& settings);
// Applies settings read by GetLineSettings with some values changed (SetCommState).
bool SetLineSettings(Handle port, const LineSettings& settings);

// A manual-reset completion event, not signalled (CreateEventA); kNoEvent on failure.
Handle CreateCompletionEvent();
// Releases an event (CloseHandle).
bool CloseEvent(Handle event);

// Start a transfer on `record` (ReadFile/WriteFile). True: done, `count` holds
// the bytes moved. False with LastErrorCode() == kErrorIoPending: the transfer
// completes later into the same buffer and signals record.hEvent.
bool StartRead(Handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
               Overlapped& record);
bool StartWrite(Handle port, const std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t& count, Overlapped& record);
// Waits for an event at most `timeLimitMs` (WaitForSingleObject): kWaitSignalled,
// kWaitTimeout or kWaitFailed.
std::uint32_t WaitForEvent(Handle event, std::uint32_t timeLimitMs);
// The byte count of a completed transfer, without waiting (GetOverlappedResult).
bool GetCompletionResult(Handle port, Overlapped& record, std::uint32_t& count);

// Clears the device's error state and reports the bytes waiting in its input
// queue (ClearCommError, COMSTAT.cbInQue).
bool ClearErrors(Handle port, std::uint32_t& queuedBytes);
// Cancels the transfers this thread started on the device (CancelIo); what a
// cancelled write left queued is not sent.
bool CancelPending(Handle port);
// Lets queued output go out for at most `timeLimitMs`, then discards what is
// still queued, so that releasing the device never waits on a line that is
// held off.
bool DrainOutput(Handle port, std::uint32_t timeLimitMs);
// Releases the device (CloseHandle).
bool ClosePort(Handle port);

// Error code of the call that just failed (errno, GetLastError).
std::uint32_t LastErrorCode();

}  // namespace serial_platform
