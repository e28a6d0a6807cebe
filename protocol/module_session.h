// One module on one serial port, for a program without a window (zr9ctl and
// the production run): connect, read, write and reboot say what happened as
// values. The bytes on the line and the reading of the answers are the
// window's own (commands.h, connection.h, reply.h); a session owns its port,
// its reply line and its waits, so that sessions on different ports, on
// different threads, share nothing but the process's stop request. One thread
// runs a session's steps from its Connect to its Close: Win32 cancels only
// the calling thread's transfers.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "connection.h"
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
    PortNotOpened,    // Failure() says why; also a step asked of a session not connected
    WriteFailed,      // the port did not take the command; Failure() says why
    DeviceGone,       // the device went away (unplugged); the port is closed
    Stopped,          // a stop was requested (Ctrl+C, SIGTERM, SIGHUP) during the step
};

// The steps on a module as the programs use them, so that a fake module
// stands in for tests of what a program decides.
class IModuleSession {
public:
    // The window's full waits; a production run probing for a module uses a
    // shorter connect wait and keeps the full one for the real connect.
    static constexpr std::chrono::milliseconds kConnectWait{2000};
    static constexpr std::chrono::milliseconds kReadWait{1000};

    virtual ~IModuleSession() = default;

    // Opens the port and holds it until Close: Connect then sends on the
    // open port instead of opening it, and a failed Connect leaves it open
    // unless its device went away. Done, or PortNotOpened with Failure().
    virtual SessionOutcome Open() = 0;
    // Sends the connect command with `password` (at most 4 characters),
    // opening the port first unless it is held; waits `wait` for "+PWD" or
    // "+VER". Done leaves the port open; every other outcome closes a port
    // that is not held.
    virtual SessionOutcome Connect(const std::string& password,
                                   std::chrono::milliseconds wait = kConnectWait) = 0;
    // Sends the read command and waits, its own full period, for the whole
    // "+PROG=R" line; Done fills `record`. Other lines are passed over.
    virtual SessionOutcome Read(ProfileBytes& record) = 0;
    // Sends the write command with `record`, as one write.
    virtual SessionOutcome Write(const ProfileBytes& record) = 0;
    // Sends the reboot command.
    virtual SessionOutcome Reboot() = 0;
    // Closes the port (bounded), and ends its hold; harmless when closed.
    virtual void Close() = 0;

    virtual bool IsOpen() const = 0;
    // The version of the last connect answer ("+PWD"), refused ones included.
    virtual const FirmwareVersion& Version() const = 0;
    // The port's failure that ended the last PortNotOpened, WriteFailed or
    // DeviceGone step.
    virtual const PortFailure& Failure() const = 0;
};

class CModuleSession final : public IModuleSession {
public:
    // Told on each pass of a wait how long it has waited of its period.
    using WaitObserver =
        std::function<void(std::chrono::milliseconds waited, std::chrono::milliseconds period)>;

    // `portIndex` 0..30 names COM1..COM31; a non-empty `deviceName` is opened
    // instead (a path, or a Windows name beyond COM31). The port starts closed.
    explicit CModuleSession(int portIndex, const std::string& deviceName = {});
    // Closes the port through the bounded close.
    ~CModuleSession();
    CModuleSession(const CModuleSession&) = delete;
    CModuleSession& operator=(const CModuleSession&) = delete;

    SessionOutcome Open() override;
    SessionOutcome Connect(const std::string& password,
                           std::chrono::milliseconds wait = kConnectWait) override;
    SessionOutcome Read(ProfileBytes& record) override;
    SessionOutcome Write(const ProfileBytes& record) override;
    SessionOutcome Reboot() override;
    void Close() override;

    bool IsOpen() const override { return m_bOpen; }
    const FirmwareVersion& Version() const override { return m_version; }
    const PortFailure& Failure() const override { return m_failure; }
    int PortIndex() const { return m_port.PortIndex(); }

    // Whether the port's failures write their diagnostic line to standard
    // error (at first they do); Failure() keeps it either way.
    void PrintPortDiagnostics(bool printed) { m_port.PrintDiagnostics(printed); }

    // For a progress display; called on the thread that runs the step.
    void ObserveWaits(WaitObserver observer) { m_fnObserver = std::move(observer); }

    // The process's stop request, set from a signal handler; every wait of
    // every session ends at its next step with Stopped, and no new command is
    // sent once it is set.
    static void RequestStop();
    static bool StopRequested();
    // A stop of this session's own as well, such as a production run's, which
    // ends its sessions and no other. `stop` outlives the session.
    void StopAlso(const std::atomic<bool>& stop) { m_pStop = &stop; }

private:
    bool Stopping() const;
    // Waits `period` for a line that `accept` takes; other lines are passed over.
    SessionOutcome WaitForLine(std::chrono::milliseconds period,
                               const std::function<bool(const std::uint8_t*, std::size_t)>& accept);
    // Sends a whole command on the open port.
    SessionOutcome Send(const std::uint8_t* bytes, std::size_t size);
    // Keeps the port's failure for Failure() and closes the port, unless it
    // is held and its device is still there.
    SessionOutcome EndWithPortFailure(SessionOutcome outcome);

    CSerialPort m_port;
    bool m_bOpen = false;
    bool m_bHeld = false;
    const std::atomic<bool>* m_pStop = nullptr;
    FirmwareVersion m_version;
    PortFailure m_failure;
    // The reply being assembled; see reply.h.
    ReplyAssembly m_reply;
    WaitObserver m_fnObserver;
};
