// One module on one serial port, for a program without a window (zr9ctl):
// connect, read, write and reboot say what happened as values. The bytes on
// the line and the reading of the answers are the window's own (commands.h,
// reply.h); a session owns its port, its reply line and its waits, so that
// sessions on different ports, on different threads, share nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "port_failure.h"
#include "profile.h"
#include "reply.h"
#include "serialport.h"

// What became of one step of a session.
enum class SessionOutcome {
    Done,             // connect accepted, profile read, command taken by the port
    PasswordRefused,  // "+PWD" with another status; the version is known
    VersionRefused,   // "+VER"
    NoAnswer,         // the answer waited for did not come in time (or came incomplete)
    PortNotOpened,    // Failure() says why
    WriteFailed,      // the port did not take the command; Failure() says why
    DeviceGone,       // the device went away (unplugged); the port is closed
    Stopped,          // a stop was requested (Ctrl+C, SIGTERM, SIGHUP) during the step
};

// The firmware version a connect answer carried.
struct FirmwareVersion {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;

    // "1.03", as the window's "Version  1.03" shows it.
    std::string Text() const;
};

class CModuleSession {
public:
    // The window's full waits; a batch probing for a module uses a shorter
    // connect wait and keeps the full one for the real connect.
    static constexpr std::chrono::milliseconds kConnectWait{2000};
    static constexpr std::chrono::milliseconds kReadWait{1000};

    // `portIndex` 0..30 names COM1..COM31; a non-empty `deviceName` is opened
    // instead (a path, or a Windows name beyond COM31). The port starts closed.
    explicit CModuleSession(int portIndex, const std::string& deviceName = {});
    // Closes the port through the bounded close.
    ~CModuleSession();
    CModuleSession(const CModuleSession&) = delete;
    CModuleSession& operator=(const CModuleSession&) = delete;

    // Opens the port and sends the connect command with `password` (at most
    // 4 characters); waits `wait` for "+PWD" or "+VER". Done leaves the port
    // open; every other outcome closes it.
    SessionOutcome Connect(const std::string& password,
                           std::chrono::milliseconds wait = kConnectWait);
    // Sends the read command and waits, its own full period, for the whole
    // "+PROG=R" line; Done fills `record`.
    SessionOutcome Read(ProfileBytes& record);
    // Sends the write command with `record`, as one write.
    SessionOutcome Write(const ProfileBytes& record);
    // Sends the reboot command.
    SessionOutcome Reboot();
    // Closes the port (bounded); harmless when closed.
    void Close();

    bool IsOpen() const;
    // The version of the last connect answer ("+PWD"), refused ones included.
    const FirmwareVersion& Version() const { return m_version; }
    // The port's latest failure (PortNotOpened, WriteFailed, DeviceGone).
    const PortFailure& Failure() const { return m_port.LastFailure(); }
    int PortIndex() const { return m_port.PortIndex(); }

    // The process's stop request, set from a signal handler; every wait of
    // every session ends at its next step with Stopped, and no new command is
    // sent once it is set.
    static void RequestStop();
    static bool StopRequested();

private:
    CSerialPort m_port;
    FirmwareVersion m_version;
    // The reply being assembled; see reply.h.
    ReplyAssembly m_reply;
};
