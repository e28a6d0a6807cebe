// The connect handshake and the connection state.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "window_ops.h"

enum ConnectionStates : int {
    Idle = 0,
    Connecting = 1,
    VersionError = 2,
    PasswordRefused = 3,
    Connected = 4,
};

extern int ConnectionState;

// The error box of a connect that no module answered.
constexpr char kNoAnswerMessage[] = "ComProt Error or BT MODE ERROR    ";

// Port list position -> port index (0 = COM1 ... 30 = COM31), filled by port
// discovery, read by connect at the selected position.
constexpr int kPortMapSize = 32;
extern std::int32_t PortMap[kPortMapSize];

constexpr std::size_t kConnectCommandSize = 16;
std::array<std::uint8_t, kConnectCommandSize> BuildConnectCommand(const std::string& password);

// The firmware version a connect answer carried.
struct FirmwareVersion {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;

    // "1.03", as the window's "Version  1.03" shows it.
    std::string Text() const;
};

// What a completed reply line says to the connect command. Only its first
// 8 bytes count; bytes the line does not reach count as 0x00.
struct ConnectAnswer {
    enum class Kind { Other, VersionError, Password };
    Kind kind = Kind::Other;
    bool accepted = false;    // "+PWD" with the status "1"
    FirmwareVersion version;  // of a "+PWD" line
};
ConnectAnswer ReadConnectAnswer(const std::uint8_t* line, std::size_t length);

// "Version %2d.%02d" of the module's version bytes.
std::string FormatVersion(std::uint8_t major, std::uint8_t minor);

// The Connect button: connects when Idle, disconnects otherwise.
void btnConnectClick(CWindowOps& window);

// When SerialPort's device went away (unplugged), closes the port and returns
// the window to Idle, without a box: the status bar says which port it was.
// True then.
bool EndConnectionIfUnplugged(CWindowOps& window);

// The window's watch over an established connection, run a few times a
// second while Connected and whenever the system reports a device removed:
// asks the device for its line status and ends the connection when it went
// away. A wait that runs polls the device itself and is left to do so.
void WatchConnection(CWindowOps& window);
