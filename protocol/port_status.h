// What became of an operation's calls on SerialPort, for the status bar.
#pragma once

#include <cstdint>

#include "window_ops.h"

// Shows SerialPort's latest failure when it failed since its FailureCount was
// `failuresBefore`, the count taken as the operation began; otherwise clears
// a failure shown.
void ShowPortOutcome(CWindowOps& window, std::uint32_t failuresBefore);
