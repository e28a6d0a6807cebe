// Assembly of the module's reply lines and the bounded wait for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "window_ops.h"

constexpr std::size_t kReplyLineSize = 128;

// The current reply line, stored as received, line feed included.
extern std::uint8_t ReplyLine[kReplyLineSize];
// Bytes stored for the line being assembled; 0 while no line is anchored.
extern std::uint8_t ReplyFillIndex;
// 1 ends the wait that is running.
extern int TimeoutFlag;

// Takes at most one byte from SerialPort into ReplyLine; true when that byte
// completed a line.
bool PollReply();

// Called with each completed line; a handler that accepts it sets TimeoutFlag.
using LineHandler = std::function<void(const std::uint8_t* line, std::size_t length)>;

// Polls for reply lines until TimeoutFlag is 1, stepping the progress bar and
// pumping window events; the timer's tick (TimerTimer) ends it.
void WaitLoop(CWindowOps& window, int timerInterval, int progressMaximum, bool extraPump,
              const LineHandler& handler);

// The timer's tick handler.
void TimerTimer(CWindowOps& window);
