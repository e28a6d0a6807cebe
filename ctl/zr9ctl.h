// What zr9ctl's commands share: the exit status, the port a command names,
// and the steps on a module whose result they report.
#pragma once

#include <string>

#include "module_session.h"
#include "port_failure.h"
#include "profile.h"

// zr9ctl's exit status.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitModuleFailed = 1,  // refused, did not answer, did not keep what was written
    kExitUsage = 2,         // usage or file errors; nothing was written
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
    // A failure of the port in words, naming the port.
    std::string Describe(const PortFailure& failure) const;

private:
    std::string m_strName;
    std::string m_strDevice;  // empty for COMn
    int m_nPortIndex = 0;
};

// What became of a step on a module, for the exit status and the user.
struct StepResult {
    int m_nStatus = kExitSuccess;
    // Why it failed: the window's words for the module's answers ("Password
    // Error"), or the port's failure in words, which name the port.
    std::string m_strReason;
    // The reason as a message, naming the port.
    std::string m_strMessage;

    bool Ok() const { return m_nStatus == kExitSuccess; }
};

// The result of one session step; `step` names it in messages ("Read").
StepResult ResultOf(SessionOutcome outcome, const CModuleSession& session,
                    const CPortChoice& port, const std::string& step);

// Connects with `password` and reads the module's record.
StepResult ConnectAndRead(CModuleSession& session, const CPortChoice& port,
                          const std::string& password, ProfileBytes& record);

// Writes `view` as the window's first Write after its start does (the bytes
// after the name's terminator are the default record's), and with `verify`
// reads it back and compares every field the module shows: the module has no
// acknowledgement of its own.
StepResult WriteProfile(CModuleSession& session, const CPortChoice& port, const ProfileView& view,
                        bool verify);

// False when `held`, read back, shows another value than `written` in a
// field, with `reason` saying which ("verify: ...: Device Name is A, written B").
bool ProfileKept(const ProfileBytes& written, const ProfileBytes& held, std::string& reason);

// "02:A2:01:A2:00:A1": the module's own address as the window shows it.
std::string LocalAddressOf(const ProfileView& view);
