// Assembly of the module's reply lines and the bounded wait for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "window_ops.h"

class CSerialPort;

constexpr std::size_t kReplyLineSize = 128;

// The answer to the connect command: "+PWD", a separator, then the password
// status and the firmware version's major and minor part as raw bytes, so a
// line feed among them is data.
constexpr char kPasswordAnswer[] = "+PWD";
constexpr std::size_t kPasswordStatusOffset = 5;
constexpr std::size_t kPasswordMajorOffset = 6;
constexpr std::size_t kPasswordMinorOffset = 7;

// A reply line being assembled: the bytes as received, line feed included,
// and how many are stored for the line (0 while no line is anchored).
struct ReplyAssembly {
    std::uint8_t line[kReplyLineSize] = {};
    std::uint8_t fillIndex = 0;
};

// The window's reply line, stored as received, line feed included.
extern std::uint8_t (&ReplyLine)[kReplyLineSize];
// Bytes stored for the window's line being assembled; 0 while no line is anchored.
extern std::uint8_t& ReplyFillIndex;
// 1 ends the window's wait that is running.
extern int TimeoutFlag;

// What one PollReply did: no byte had come, a byte was taken, or the byte
// taken completed a line.
enum class PollResult { NoByte, Byte, LineEnd };

// Takes at most one byte from `port` into `reply`. "+PROG=R" and "+PWD"
// lines are framed by length: their raw bytes (the 64 record bytes; status
// and version) never end them.
PollResult PollReply(CSerialPort& port, ReplyAssembly& reply);

// One pass of a wait: takes the bytes that have come, up to the end of a
// line. Bounded by a line's worth, so that a module sending without end
// cannot hold the caller. LineEnd leaves the line for the caller, who sets
// the fill index back to 0 once it has handled it; NoByte means nothing more
// has come.
PollResult TakeReplyBytes(CSerialPort& port, ReplyAssembly& reply);

// Drops what the module sent while no command was waiting for it, so that a
// late answer to an earlier command cannot pass for the answer to the next one.
void DiscardQueuedInput(CSerialPort& port);

// Called with each completed line and the number of bytes assembled for it;
// later bytes of ReplyLine belong to older lines. A handler that accepts the
// line sets TimeoutFlag.
using LineHandler = std::function<void(const std::uint8_t* line, std::size_t length)>;

// Longest a pass of WaitLoop sleeps while nothing comes: the progress bar
// still moves, and a device that signals nothing is still looked at.
constexpr int kIdlePassMs = 10;

// Polls for reply lines until TimeoutFlag is 1, stepping the progress bar and
// pumping window events once a pass, and taking in each pass the bytes that
// have come, up to the end of a line; a pass that took nothing sleeps until a
// window event, input or kIdlePassMs. The timer's tick (TimerTimer) ends it,
// and so does SerialPort's device going away (TimeoutFlag then set here).
// The timer is started afresh: every wait has its full period.
void WaitLoop(CWindowOps& window, int timerInterval, int progressMaximum, bool extraPump,
              const LineHandler& handler);

// The timer's tick handler.
void TimerTimer(CWindowOps& window);
