#include "reply.h"

#include <cstring>

#include "profile.h"
#include "serialport.h"

std::uint8_t ReplyLine[kReplyLineSize];
std::uint8_t ReplyFillIndex = 0;
int TimeoutFlag = 0;

namespace {

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
bool InsideRawField()
{
    for (const RawField& field : kRawFields)
        if (ReplyFillIndex >= field.begin && ReplyFillIndex < field.end &&
            std::memcmp(ReplyLine, field.prefix, field.prefixSize) == 0)
            return true;
    return false;
}

}  // namespace

PollResult PollReply()
{
    std::uint8_t byte = 0;
    if (SerialPort.Read(&byte, 1) != 1)
        return PollResult::NoByte;

    if (ReplyFillIndex == 0) {
        // Bytes before the line's "+" (a stray line feed included) are noise.
        if (byte == kLineStart)
            ReplyLine[ReplyFillIndex++] = byte;
        return PollResult::Byte;
    }

    const bool endsLine = byte == kLineFeed && !InsideRawField();
    // An over-long line keeps what fits and still ends at its line feed.
    if (ReplyFillIndex < kReplyLineSize)
        ReplyLine[ReplyFillIndex++] = byte;
    return endsLine ? PollResult::LineEnd : PollResult::Byte;
}

void DiscardQueuedInput()
{
    // Bounded by the driver's input queue, so a module that keeps sending
    // cannot hold the window here.
    constexpr int kDiscardLimit = 4096;
    std::uint8_t byte = 0;
    for (int count = 0; count < kDiscardLimit && SerialPort.Read(&byte, 1) == 1; ++count) {
    }
}

void WaitLoop(CWindowOps& window, int timerInterval, int progressMaximum, bool extraPump,
              const LineHandler& handler)
{
    TimeoutFlag = 0;
    // A half line left by an earlier wait that timed out belongs to no reply.
    ReplyFillIndex = 0;
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
        // byte a pass would miss Read's second. Bounded, so that a module
        // sending without end cannot hold the window.
        for (std::size_t taken = 0; taken < kReplyLineSize; ++taken) {
            const PollResult polled = PollReply();
            if (polled == PollResult::LineEnd) {
                handler(ReplyLine, ReplyFillIndex);
                ReplyFillIndex = 0;
            }
            if (polled != PollResult::Byte)
                break;
        }
        if (extraPump)
            window.ProcessPendingEvents();
    }
}

void TimerTimer(CWindowOps& window)
{
    TimeoutFlag = 1;
    // One tick per start.
    window.SetTimerEnabled(false);
}
