#include "reply.h"

#include <cstring>

#include "profile.h"
#include "serialport.h"

namespace {

// The window's reply line; ReplyLine and ReplyFillIndex name its parts.
ReplyAssembly WindowReply;

constexpr std::uint8_t kLineStart = '+';
constexpr std::uint8_t kLineFeed = 0x0A;

// Lines that carry raw bytes at fixed places, which may hold line feeds of
// their own.
struct RawField {
    const char* prefix;
    std::size_t prefixSize;
    std::size_t begin;
    std::size_t end;
};

constexpr RawField kRawFields[] = {
    {kProfileReplyPrefix, kProfileReplyPrefixSize, kProfileReplyPrefixSize,
     kProfileReplyPrefixSize + kProfileSize},
    {kPasswordAnswer, sizeof kPasswordAnswer - 1, kPasswordStatusOffset, kPasswordMinorOffset + 1},
};

// True while the byte about to be stored is one of a line's raw bytes.
bool InsideRawField(const ReplyAssembly& reply)
{
    for (const RawField& field : kRawFields)
        if (reply.fillIndex >= field.begin && reply.fillIndex < field.end &&
            std::memcmp(reply.line, field.prefix, field.prefixSize) == 0)
            return true;
    return false;
}

}  // namespace

std::uint8_t (&ReplyLine)[kReplyLineSize] = WindowReply.line;
std::uint8_t& ReplyFillIndex = WindowReply.fillIndex;
int TimeoutFlag = 0;

PollResult PollReply(CSerialPort& port, ReplyAssembly& reply)
{
    std::uint8_t byte = 0;
    if (port.Read(&byte, 1) != 1)
        return PollResult::NoByte;

    if (reply.fillIndex == 0) {
        // Bytes before the line's "+" (a stray line feed included) are noise.
        if (byte == kLineStart)
            reply.line[reply.fillIndex++] = byte;
        return PollResult::Byte;
    }

    const bool endsLine = byte == kLineFeed && !InsideRawField(reply);
    // An over-long line keeps what fits and still ends at its line feed.
    if (reply.fillIndex < kReplyLineSize)
        reply.line[reply.fillIndex++] = byte;
    return endsLine ? PollResult::LineEnd : PollResult::Byte;
}

PollResult TakeReplyBytes(CSerialPort& port, ReplyAssembly& reply)
{
    PollResult polled = PollResult::Byte;
    for (std::size_t taken = 0; taken < kReplyLineSize && polled == PollResult::Byte; ++taken)
        polled = PollReply(port, reply);
    return polled;
}

void DiscardQueuedInput(CSerialPort& port)
{
    // Bounded by the driver's input queue, so a module that keeps sending
    // cannot hold the caller here.
    constexpr int kDiscardLimit = 4096;
    std::uint8_t byte = 0;
    for (int count = 0; count < kDiscardLimit && port.Read(&byte, 1) == 1; ++count) {
    }
}

void WaitLoop(CWindowOps& window, int timerInterval, int progressMaximum, bool extraPump,
              const LineHandler& handler)
{
    TimeoutFlag = 0;
    // A half line left by an earlier wait that timed out belongs to no reply.
    ReplyFillIndex = 0;
    // Stopped first, so that a timer still running from an earlier wait (a
    // Read ends on its answer and leaves it running) starts its period anew.
    window.SetTimerEnabled(false);
    window.SetTimerInterval(timerInterval);
    window.SetTimerEnabled(true);
    window.ResetProgress(progressMaximum);

    while (TimeoutFlag == 0) {
        // A device that went away answers nothing more: the wait ends at once.
        if (SerialPort.DeviceGone()) {
            TimeoutFlag = 1;
            break;
        }
        window.StepProgress();
        // A pass repaints the progress bar, which on a slow display or an
        // emulated machine takes milliseconds: a reply of 74 bytes taken one
        // byte a pass would miss Read's second.
        const PollResult taken = TakeReplyBytes(SerialPort, WindowReply);
        if (taken == PollResult::LineEnd) {
            handler(ReplyLine, ReplyFillIndex);
            ReplyFillIndex = 0;
        }
        if (extraPump)
            window.ProcessPendingEvents();
        // A silent port is not polled flat out: the pass sleeps until there
        // is something to do.
        if (taken == PollResult::NoByte && TimeoutFlag == 0)
            window.WaitForEvents(SerialPort, kIdlePassMs);
    }
}

void TimerTimer(CWindowOps& window)
{
    TimeoutFlag = 1;
    // One tick per start.
    window.SetTimerEnabled(false);
}
