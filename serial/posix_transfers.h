// How the POSIX port keeps the rules of Win32's transfer records, over a line
// that a test can script. Every transfer ends inside the call that starts it,
// except a write whose bytes the line still holds at kWriteTimeLimitMs: that
// one ends like a Win32 write whose wait ran out. Its record stays
// outstanding (kStatusPending) through any wait, until CancelPending has
// discarded what the line held and AwaitCancelled ends it.
#pragma once

#include <cstdint>

#include "output_drain.h"
#include "serial_platform.h"

namespace serial_platform::posix {

enum class WriteEnd : std::uint8_t {
    Left,      // the bytes have left the line
    HeldBack,  // the line still holds some: the record is left outstanding
    Failed,    // the driver refused them
};

// Hands the bytes to the line and waits until they have left, within
// kWriteTimeLimitMs in all; `count` is what the driver took.
WriteEnd StartWrite(COutputLine& line, const std::uint8_t* buffer, std::uint32_t length,
                    std::uint32_t& count, Overlapped& record);
// Records a transfer that ended inside its call.
void Done(Overlapped& record, std::uint32_t count);
// kWaitTimeout while the record is outstanding, else kWaitSignalled; the
// record stays as it is.
std::uint32_t WaitForCompletion(const Overlapped& record);
bool GetCompletionResult(const Overlapped& record, std::uint32_t& count);
// A write given up stopped then; what it queued is gone with the cancel.
CancelEnd AwaitCancelled(Overlapped& record, std::uint32_t& count);

}  // namespace serial_platform::posix
