// Profile read, write and reboot.
#pragma once

#include "window_ops.h"

constexpr char kPinCodeMessage[] = "PinCode Need 6 Digit (0-9) ";

// Shows kPinCodeMessage and returns false when the PIN has fewer than 6 characters.
bool CheckPinCodeLength(CWindowOps& window);

// Puts "+PROG=R" and the working copy into ReplyLine and decodes it into the
// window, so the window shows the working copy (used at window construction).
void ShowWorkingCopy(CWindowOps& window);

void btnReadClick(CWindowOps& window);
void btnWriteClick(CWindowOps& window);
void btnRebootClick(CWindowOps& window);
