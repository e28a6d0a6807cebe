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

// Results of WaitForCompletion (WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED).
inline constexpr std::uint32_t kWaitSignalled = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

// Longest a write may take, until its bytes have left, before it is given up,
// in milliseconds.
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

// Port indices 0..30 name COM1..COM31.
inline constexpr int kPortCount = 31;

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

// POSIX: the root of sysfs, /sys, or the stand-in that ZR9_SYSFS names for tests.
const char* SysfsRoot();
// POSIX: true when `device` is one of the kernel's active consoles (listed in
// class/tty/console/active of sysfs).
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
// Applies settings read by GetLineSettings with some values changed, made
// binary-safe (SetCommState).
bool SetLineSettings(Handle port, const LineSettings& settings);
// Turns off, in the platform's record, everything that drops, replaces or
// holds back bytes of binary data: XON/XOFF and, on Win32, fNull,
// fDsrSensitivity, fErrorChar and fAbortOnError (fBinary on); on POSIX, the
// terminal's line editing and translations. Hardware flow control stays.
void MakeBinarySafe(LineSettings& settings);

// A manual-reset completion event, not signalled (CreateEventA); kNoEvent on failure.
Handle CreateCompletionEvent();
// Releases an event (CloseHandle).
bool CloseEvent(Handle event);

// Start a transfer on `record` (ReadFile/WriteFile). True: done, `count` holds
// the bytes moved; a write is done once its bytes have left. False with
// LastErrorCode() == kErrorIoPending: the transfer completes later into the
// same buffer and signals record.hEvent.
bool StartRead(Handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
               Overlapped& record);
bool StartWrite(Handle port, const std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t& count, Overlapped& record);
// Waits at most `timeLimitMs` for the transfer on `record` to complete
// (WaitForSingleObject on record.hEvent): kWaitSignalled, kWaitTimeout or
// kWaitFailed. A transfer that has not completed stays outstanding, its
// record kStatusPending, until CancelPending and AwaitCancelled end it: the
// port learns from its records what there is to cancel.
std::uint32_t WaitForCompletion(Overlapped& record, std::uint32_t timeLimitMs);
// The byte count of a completed transfer, without waiting (GetOverlappedResult).
bool GetCompletionResult(Handle port, Overlapped& record, std::uint32_t& count);

// How a transfer that CancelPending cancelled ended.
enum class CancelEnd : std::uint8_t {
    Completed,   // before the cancel reached it; `count` holds its bytes
    Aborted,     // by the cancel
    Unfinished,  // not yet: the system still owns its record, event and buffer
};
// Waits at most `timeLimitMs` until a transfer that CancelPending cancelled
// has finished (GetOverlappedResultEx): only then may its record, event and
// buffer be used again.
CancelEnd AwaitCancelled(Handle port, Overlapped& record, std::uint32_t& count,
                         std::uint32_t timeLimitMs);

// Clears the device's error state and reports the bytes waiting in its input
// queue (ClearCommError, COMSTAT.cbInQue).
bool ClearErrors(Handle port, std::uint32_t& queuedBytes);
// Cancels the transfers this thread started on the device (CancelIo). With
// `discardOutput`, whatever output the line still holds back is discarded
// too, as far as the driver can (PurgeComm, tcflush TCOFLUSH), so that a
// write given up cannot go out later. A cancelled transfer may still be
// finishing when this returns: see AwaitCancelled.
bool CancelPending(Handle port, bool discardOutput);
// Lets queued output go out for at most `timeLimitMs`, then discards what is
// still queued, so that releasing the device never waits on a line that is
// held off. False when output was still queued at the limit.
bool DrainOutput(Handle port, std::uint32_t timeLimitMs);
// True when hardware flow control holds the output back: RTS/CTS is on and
// the peer keeps CTS low (TIOCMGET, GetCommModemStatus).
bool OutputHeldByHandshake(Handle port);
// Turns RTS/CTS flow control off (on Win32 its output side, fOutxCtsFlow), so
// that releasing a device whose line held the output cannot wait for CTS (a
// USB adapter's own buffer is not among the queued output, and a driver's
// close waits up to 30 s for it).
bool TurnOffHardwareFlowControl(Handle port);
// Releases the device (CloseHandle).
bool ClosePort(Handle port);

// Error code of the call that just failed (errno, GetLastError).
std::uint32_t LastErrorCode();
// True when `code`, from a call on a device that was open (`portOpen`) or
// being opened, means the device went away: EIO, ENXIO, ENODEV; on Win32
// ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE,
// ERROR_DEV_NOT_EXIST, ERROR_DEVICE_NOT_CONNECTED, ERROR_OPERATION_ABORTED
// (a driver aborts what is outstanding when its device is removed), and
// ERROR_ACCESS_DENIED and ERROR_NOT_READY on an open port.
bool MeansDeviceGone(std::uint32_t code, bool portOpen);

}  // namespace serial_platform
