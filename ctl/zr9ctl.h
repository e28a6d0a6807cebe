// What zr9ctl's commands share: the exit status and the port a command names.
#pragma once

#include <string>

#include "port_failure.h"

// zr9ctl's exit status.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitModuleFailed = 1,  // refused, did not answer, did not keep what was written
    kExitUsage = 2,         // usage or file errors; nothing was sent
    kExitPortFailed = 3,    // the port could not be opened
    kExitStopped = 4,       // a signal (Ctrl+C, SIGTERM, SIGHUP) ended the command
};

// What the command line opens: "COMn" (1..31) as the window names ports
// (ZR9_PORT_DIR works the same), or a device path.
class CPortChoice {
public:
    // False when `port` is neither.
    bool Parse(const std::string& port);
    // What a session opens: the port index, or the device when it is not empty.
    int PortIndex() const { return m_nPortIndex; }
    const std::string& Device() const { return m_strDevice; }
    // What the user gave, for every message about the port.
    const std::string& Name() const { return m_strName; }
    // True when its device may be there now (a missing port is not tried).
    bool Present() const;
    // A failure of the port in words, with its diagnostic line.
    std::string Describe(const PortFailure& failure) const;

private:
    std::string m_strName;
    std::string m_strDevice;  // empty for COMn
    int m_nPortIndex = 0;
};
