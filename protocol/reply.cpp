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

// A "+PROG=R" line carries raw record bytes, which may hold line feeds of
// their own; true while the byte about to be stored is one of them.
bool InsideProfileRecord()
{
    return ReplyFillIndex >= kProfileReplyPrefixSize &&
           ReplyFillIndex < kProfileReplyPrefixSize + kProfileSize &&
           std::memcmp(ReplyLine, kProfileReplyPrefix, kProfileReplyPrefixSize) == 0;
}

}  // namespace

bool PollReply()
{
    std::uint8_t byte = 0;
    if (SerialPort.Read(&byte, 1) != 1)
        return false;

    if (ReplyFillIndex == 0) {
        // Bytes before the line's "+" (a stray line feed included) are noise.
        if (byte == kLineStart)
            ReplyLine[ReplyFillIndex++] = byte;
        return false;
    }

    const bool endsLine = byte == kLineFeed && !InsideProfileRecord();
    // An over-long line keeps what fits and still ends at its line feed.
    if (ReplyFillIndex < kReplyLineSize)
        ReplyLine[ReplyFillIndex++] = byte;
    return endsLine;
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
        window.StepProgress();
        if (PollReply()) {
            handler(ReplyLine, ReplyFillIndex);
            ReplyFillIndex = 0;
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
