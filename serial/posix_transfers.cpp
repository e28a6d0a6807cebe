#include "posix_transfers.h"

namespace serial_platform::posix {

namespace {

WriteEnd HeldBack(Overlapped& record, std::uint32_t count)
{
    record.status = kStatusPending;
    record.transferred = count;
    return WriteEnd::HeldBack;
}

}  // namespace

WriteEnd StartWrite(COutputLine& line, const std::uint8_t* buffer, std::uint32_t length,
                    std::uint32_t& count, Overlapped& record)
{
    // A UART or USB adapter takes kilobytes at once and sends them only as
    // RTS/CTS allows, so the bytes handed over are waited for as well.
    const std::int64_t deadline = line.NowMs() + kWriteTimeLimitMs;
    count = 0;
    record.status = 0;
    // The bytes the last hand-over took; the driver took them once the bytes
    // before had moved on towards the line.
    std::uint32_t lastTaken = 0;
    while (count < length) {
        const long taken = line.Put(buffer + count, length - count);
        if (taken < 0)
            return WriteEnd::Failed;
        if (taken > 0) {
            lastTaken = static_cast<std::uint32_t>(taken);
            count += lastTaken;
            continue;
        }
        const std::int64_t left = deadline - line.NowMs();
        if (left <= 0)
            return HeldBack(record, count);
        if (!line.AwaitRoom(left))
            return WriteEnd::Failed;
    }
    if (!AwaitOutputLeft(line, line.LineTimeOf(lastTaken), deadline))
        return HeldBack(record, count);
    Done(record, count);
    return WriteEnd::Left;
}

void Done(Overlapped& record, std::uint32_t count)
{
    record.status = 0;
    record.transferred = count;
}

std::uint32_t WaitForCompletion(const Overlapped& record)
{
    return record.status == kStatusPending ? kWaitTimeout : kWaitSignalled;
}

bool GetCompletionResult(const Overlapped& record, std::uint32_t& count)
{
    count = static_cast<std::uint32_t>(record.transferred);
    return true;
}

CancelEnd AwaitCancelled(Overlapped& record, std::uint32_t& count)
{
    count = static_cast<std::uint32_t>(record.transferred);
    record.status = 0;
    return CancelEnd::Aborted;
}

}  // namespace serial_platform::posix
