#include "connection.h"

#include <cstdio>
#include <cstring>

#include "port_status.h"
#include "reply.h"
#include "serialport.h"

int ConnectionState = Idle;
std::int32_t PortMap[kPortMapSize] = {};

namespace {

constexpr char kConnectTemplate[] = "AT+PROG=?7481V\n\r";
constexpr std::size_t kPasswordOffset = 9;
constexpr std::size_t kPasswordMaxSize = 4;
constexpr std::size_t kConnectFlagOffset = 13;

constexpr int kConnectTimeoutMs = 2000;
constexpr int kConnectProgressMaximum = 20000;

constexpr char kVersionAnswer[] = "+VER";
constexpr std::size_t kAnswerKindSize = 4;
constexpr std::uint8_t kPasswordAccepted = '1';

void CloseAsIdle(CWindowOps& window)
{
    SerialPort.Close();
    window.SetConnectCaption("Connect");
    ConnectionState = Idle;
}

void Disconnect(CWindowOps& window)
{
    // Only a failure shows: the one of an operation before stays in view.
    const std::uint32_t failures = SerialPort.FailureCount();
    SerialPort.Close();
    if (SerialPort.FailureCount() != failures)
        window.ShowPortFailure(SerialPort.PortIndex(), SerialPort.LastFailure());
    window.SetConnectCaption("Connect");
    window.SetControlEnabled(Control::btnWrite, false);
    window.SetControlEnabled(Control::btnRead, false);
    window.SetControlEnabled(Control::btnReboot, false);
    ConnectionState = Idle;
    window.SetControlEnabled(Control::cmbComSel, true);
}

void HandleConnectAnswer(CWindowOps& window, const std::uint8_t* line, std::size_t length)
{
    const ConnectAnswer answer = ReadConnectAnswer(line, length);
    if (answer.kind == ConnectAnswer::Kind::VersionError) {
        ConnectionState = VersionError;
        TimeoutFlag = 1;
        return;
    }
    if (answer.kind != ConnectAnswer::Kind::Password)
        return;

    if (answer.accepted) {
        ConnectionState = Connected;
    } else {
        ConnectionState = PasswordRefused;
        window.ShowErrorBox("Password Error");
    }
    window.SetVersionCaption(FormatVersion(answer.version.major, answer.version.minor));
    TimeoutFlag = 1;
}

void FinishConnect(CWindowOps& window)
{
    switch (ConnectionState) {
    case Connected:
        window.SetConnectCaption("Disconnect");
        window.SetControlEnabled(Control::btnWrite, true);
        window.SetControlEnabled(Control::btnRead, true);
        window.SetControlEnabled(Control::btnReboot, true);
        window.SetControlEnabled(Control::cmbComSel, false);
        break;
    case VersionError:
        window.ShowErrorBox("Version Error");
        CloseAsIdle(window);
        break;
    case PasswordRefused:
        // The answer's handler has told the user already.
        CloseAsIdle(window);
        break;
    default:
        window.ShowErrorBox(kNoAnswerMessage);
        CloseAsIdle(window);
        break;
    }
}

void Connect(CWindowOps& window)
{
    const int position = window.SelectedPortPosition();
    if (position < 0 || position >= kPortMapSize) {
        window.SetConnectCaption("Fail");
        return;
    }
    const std::uint32_t failures = SerialPort.FailureCount();
    SerialPort.SetPort(PortMap[position]);
    if (SerialPort.Open() != 1) {
        window.SetConnectCaption("Fail");
        ShowPortOutcome(window, failures);
        return;
    }

    ConnectionState = Connecting;
    const auto command = BuildConnectCommand(window.CfgPwdText());
    SerialPort.Write(command.data(), command.size());

    WaitLoop(window, kConnectTimeoutMs, kConnectProgressMaximum, true,
             [&window](const std::uint8_t* line, std::size_t length) {
                 HandleConnectAnswer(window, line, length);
             });
    window.SetTimerEnabled(false);
    const bool unplugged = EndConnectionIfUnplugged(window);
    if (!unplugged)
        FinishConnect(window);
    window.ResetProgress(kConnectProgressMaximum);
    if (!unplugged)
        ShowPortOutcome(window, failures);
}

}  // namespace

std::array<std::uint8_t, kConnectCommandSize> BuildConnectCommand(const std::string& password)
{
    std::array<std::uint8_t, kConnectCommandSize> command;
    std::memcpy(command.data(), kConnectTemplate, kConnectCommandSize);

    // The text ends at its first 0x00; a shorter one is followed by one 0x00
    // and the template's filler digits.
    std::size_t count = 0;
    while (count < kPasswordMaxSize && count < password.size() && password[count] != '\0') {
        command[kPasswordOffset + count] = static_cast<std::uint8_t>(password[count]);
        ++count;
    }
    command[kPasswordOffset + count] = 0x00;
    command[kConnectFlagOffset] = 0x01;
    return command;
}

ConnectAnswer ReadConnectAnswer(const std::uint8_t* line, std::size_t length)
{
    // A byte the line does not reach counts as 0x00, never as a byte of an older line.
    const auto byteAt = [line, length](std::size_t offset) -> std::uint8_t {
        return offset < length ? line[offset] : 0;
    };
    const auto begins = [line, length](const char* kind) {
        return length >= kAnswerKindSize && std::memcmp(line, kind, kAnswerKindSize) == 0;
    };
    ConnectAnswer answer;
    if (begins(kVersionAnswer)) {
        answer.kind = ConnectAnswer::Kind::VersionError;
    } else if (begins(kPasswordAnswer)) {
        answer.kind = ConnectAnswer::Kind::Password;
        answer.accepted = byteAt(kPasswordStatusOffset) == kPasswordAccepted;
        answer.version = {byteAt(kPasswordMajorOffset), byteAt(kPasswordMinorOffset)};
    }
    return answer;
}

std::string FirmwareVersion::Text() const
{
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d", major, minor);
    return text;
}

std::string FormatVersion(std::uint8_t major, std::uint8_t minor)
{
    char text[16];
    std::snprintf(text, sizeof text, "Version %2d.%02d", major, minor);
    return text;
}

bool EndConnectionIfUnplugged(CWindowOps& window)
{
    if (!SerialPort.DeviceGone())
        return false;
    const PortFailure gone = SerialPort.LastFailure();
    Disconnect(window);
    window.ShowPortFailure(SerialPort.PortIndex(), gone);
    return true;
}

void WatchConnection(CWindowOps& window)
{
    // TimeoutFlag is 0 only while a wait runs, and every pass of that asks
    // the device already; a device found gone is left to the operation that
    // found it, which ends the connection once its events are pumped.
    if (ConnectionState != Connected || TimeoutFlag == 0 || SerialPort.DeviceGone())
        return;
    SerialPort.CheckDevice();
    EndConnectionIfUnplugged(window);
}

void btnConnectClick(CWindowOps& window)
{
    // The port list is probing ports through the one SerialPort.
    if (window.PortDiscoveryRunning())
        return;
    if (ConnectionState != Idle)
        Disconnect(window);
    else
        Connect(window);
}
