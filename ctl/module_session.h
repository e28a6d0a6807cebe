// One module on the command line's port, through the window's handlers
// (btnConnectClick, btnReadClick, ...), so the bytes are the window's.
#pragma once

#include <string>

#include "console_window.h"
#include "profile.h"

// zr9ctl's exit status.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitModuleFailed = 1,  // refused, did not answer, or did not keep what was written
    kExitUsage = 2,         // usage or file errors
    kExitPortFailed = 3,    // the port could not be opened
};

// What the command line opens: "COMn" (1..31) as the window names ports
// (ZR9_PORT_DIR works the same), or a device path.
class CPortChoice {
public:
    // False when `port` is neither.
    bool Parse(const std::string& port);
    // Points PortMap[0], SerialPort and the window's failure messages at it.
    void Select(CConsoleWindow& window) const;
    // True when its device exists now (a missing port is not tried).
    bool Present() const;
    const std::string& Name() const { return m_strName; }

private:
    std::string m_strName;
    std::string m_strDevice;  // empty for COMn
    int m_nPortIndex = 0;
};

class CModuleSession {
public:
    CModuleSession(CConsoleWindow& window, const CPortChoice& port);
    // Disconnects.
    ~CModuleSession();
    CModuleSession(const CModuleSession&) = delete;
    CModuleSession& operator=(const CModuleSession&) = delete;

    // Each returns an ExitStatus; Reason() says what failed, in the window's
    // words where the window has them.
    int Connect(const std::string& password);
    // Reads the module's profile into `view`.
    int Read(ProfileView& view);
    // Writes `view` as the window's Write does; with `verify`, reads back and
    // compares every field the module shows.
    int Write(const ProfileView& view, bool verify);
    // Fails only when the port did not take the command: the module does not answer it.
    int Reboot();
    void Disconnect();

    const std::string& Reason() const { return m_strReason; }
    // "1.03", from the version the connect answer carried.
    std::string FirmwareVersion() const;

private:
    int Fail(int status, const std::string& reason);

    CConsoleWindow& m_window;
    const CPortChoice& m_port;
    std::string m_strReason;
};

// "02:A2:01:A2:00:A1": the module's own address as the window shows it.
std::string LocalAddressOf(const ProfileView& view);
