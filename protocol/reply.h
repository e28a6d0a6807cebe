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
// completed a line. A "+PROG=R" line is framed by length: its 64 record bytes
// never end it.
bool PollReply();

// Drops what the module sent while no command was waiting for it, so that a
// late answer to an earlier command cannot pass for the answer to the next one.
void DiscardQueuedInput();

// Called with each completed line and the number of bytes assembled for it;
// later bytes of ReplyLine belong to older lines. A handler that accepts the
// line sets TimeoutFlag.
using LineHandler = std::function<void(const std::uint8_t* line, std::size_t length)>;

// Polls for reply lines until TimeoutFlag is 1, stepping the progress bar and
// pumping window events; the timer's tick (TimerTimer) ends it.
void WaitLoop(CWindowOps& window, int timerInterval, int progressMaximum, bool extraPump,
              const LineHandler& handler);

// The timer's tick handler.
void TimerTimer(CWindowOps& window);
