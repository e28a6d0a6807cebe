// Profile read, write and reboot.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "profile.h"
#include "window_ops.h"

// The bytes of the read and reboot commands.
inline constexpr std::uint8_t kReadCommand[] = {'A', 'T', '+', 'P', 'R', 'O',
                                                'G', '=', 'R', '\n', '\r'};
inline constexpr std::uint8_t kRebootCommand[] = {'A', 'T', '+', 'R', 'E', 'B',
                                                  'O', 'O', 'T', '\n', '\r'};

// The write command with its record: "AT+PROG=W", the 64 bytes, "\n\r", as
// one buffer, so that the module never gets the command's end without its
// record. A write that fails can have sent its beginning (what left before
// the line held it or the device went); what it still had queued is
// discarded, so no rest of it follows later.
constexpr std::size_t kWriteCommandSize = 9 + kProfileSize + 2;
std::array<std::uint8_t, kWriteCommandSize> BuildWriteCommand(const ProfileBytes& record);

constexpr char kPinCodeMessage[] = "PinCode Need 6 Digit (0-9) ";

// Write's check: only the length is tested, any text of 6 or more characters passes.
bool PinCodeLongEnough(const std::string& pinCode);
// Shows kPinCodeMessage and returns false when the PIN has fewer than 6 characters.
bool CheckPinCodeLength(CWindowOps& window);

// Puts "+PROG=R" and the working copy into ReplyLine and decodes it into the
// window, so the window shows the working copy (used at window construction).
void ShowWorkingCopy(CWindowOps& window);

void btnReadClick(CWindowOps& window);
void btnWriteClick(CWindowOps& window);
void btnRebootClick(CWindowOps& window);
