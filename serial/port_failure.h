// What the port records of its latest failure, so that a caller can tell the
// user which operation failed, at which call and why.
#pragma once

#include <cstdint>

enum class PortOperation : std::uint8_t { Open, Close, Write, Read };

// The operating-system call that failed, named after its Win32 call.
enum class PortStep : std::uint8_t {
    CreateFile,
    SetCommMask,
    SetupComm,
    PurgeComm,
    GetCommState,
    SetCommState,
    CreateEvent,
    CancelIo,
    CloseEvent,
    CloseHandle,
    Transfer,            // ReadFile, WriteFile
    WaitForSingleObject,
    GetOverlappedResult,
    ClearCommError,      // the line's status, asked before each read and by a watch
    RemovalNotice,       // the system reported the device removed (WM_DEVICECHANGE)
};

struct PortFailure {
    PortOperation operation = PortOperation::Open;
    PortStep step = PortStep::CreateFile;
    std::uint32_t errorCode = 0;   // errno or GetLastError; 0 for a wait that ran out of time
    bool timedOut = false;         // a write the line held back for the whole time limit
    bool heldByHandshake = false;  // ... while RTS/CTS flow control was on and CTS low
    bool deviceGone = false;       // the code says the device went away (unplugged)
    // The diagnostic line written to standard error, without its line end;
    // empty when the failure writes none.
    char diagnostic[96] = {};
};
