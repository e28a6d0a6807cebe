#include "commands.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "connection.h"
#include "port_status.h"
#include "profile.h"
#include "reply.h"
#include "serialport.h"

namespace {

constexpr std::uint8_t kWriteCommand[] = {'A', 'T', '+', 'P', 'R', 'O', 'G', '=', 'W'};
constexpr std::uint8_t kCommandEnd[] = {'\n', '\r'};
static_assert(sizeof kWriteCommand + kProfileSize + sizeof kCommandEnd == kWriteCommandSize);

constexpr int kReadTimeoutMs = 1000;
constexpr int kReadProgressMaximum = 100;
constexpr std::size_t kPinCodeMinSize = 6;

// The status bar after an operation on the port; a device that went away
// ends the connection.
void FinishOperation(CWindowOps& window, std::uint32_t failuresBefore)
{
    if (!EndConnectionIfUnplugged(window))
        ShowPortOutcome(window, failuresBefore);
}

void DecodeIntoWindow(CWindowOps& window, const std::uint8_t* line, std::size_t length)
{
    const ProfileView shown = window.GetProfileView();
    ProfileView view = shown;
    DecodeProfileReply(line, length, view);
    // Rewriting unchanged fields would still reset their cursors and undo history.
    if (view != shown)
        window.SetProfileView(view);
}

}  // namespace

std::array<std::uint8_t, kWriteCommandSize> BuildWriteCommand(const ProfileBytes& record)
{
    std::array<std::uint8_t, kWriteCommandSize> command;
    auto end = std::copy(std::begin(kWriteCommand), std::end(kWriteCommand), command.begin());
    end = std::copy(record.begin(), record.end(), end);
    std::copy(std::begin(kCommandEnd), std::end(kCommandEnd), end);
    return command;
}

bool PinCodeLongEnough(const std::string& pinCode)
{
    return pinCode.size() >= kPinCodeMinSize;
}

bool CheckPinCodeLength(CWindowOps& window)
{
    if (PinCodeLongEnough(window.PinCodeText()))
        return true;
    window.ShowErrorBox(kPinCodeMessage);
    return false;
}

void ShowWorkingCopy(CWindowOps& window)
{
    std::memcpy(ReplyLine, kProfileReplyPrefix, kProfileReplyPrefixSize);
    std::memcpy(ReplyLine + kProfileReplyPrefixSize, ModuleProfile.data(), kProfileSize);
    DecodeIntoWindow(window, ReplyLine, kProfileReplyPrefixSize + kProfileSize);
}

void btnReadClick(CWindowOps& window)
{
    const std::uint32_t failures = SerialPort.FailureCount();
    DiscardQueuedInput(SerialPort);
    SerialPort.Write(kReadCommand, sizeof kReadCommand);
    // Any line ends the wait; only a profile line changes the fields.
    WaitLoop(window, kReadTimeoutMs, kReadProgressMaximum, false,
             [&window](const std::uint8_t* line, std::size_t length) {
                 DecodeIntoWindow(window, line, length);
                 TimeoutFlag = 1;
             });
    window.ResetProgress(kReadProgressMaximum);
    FinishOperation(window, failures);
}

void btnWriteClick(CWindowOps& window)
{
    if (!CheckPinCodeLength(window))
        return;
    EncodeProfile(window.GetProfileView());
    const auto command = BuildWriteCommand(ModuleProfile);
    const std::uint32_t failures = SerialPort.FailureCount();
    SerialPort.Write(command.data(), command.size());
    FinishOperation(window, failures);
}

void btnRebootClick(CWindowOps& window)
{
    const std::uint32_t failures = SerialPort.FailureCount();
    SerialPort.Write(kRebootCommand, sizeof kRebootCommand);
    FinishOperation(window, failures);
}
