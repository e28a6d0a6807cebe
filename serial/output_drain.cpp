#include "output_drain.h"

namespace serial_platform {

namespace {

// The longest a common adapter takes to pass bytes on and to report its modem
// lines (an FTDI chip's default latency timer).
constexpr std::uint32_t kAdapterLatencyMs = 16;

}  // namespace

std::uint32_t LineTimeMs(std::uint32_t bytes, std::uint32_t baudRate, std::uint32_t bitsPerByte)
{
    if (baudRate == 0)
        return 0;
    const std::uint64_t bits = std::uint64_t{bytes} * bitsPerByte * 1000;
    return static_cast<std::uint32_t>((bits + baudRate - 1) / baudRate);
}

bool AwaitOutputLeft(COutputLine& line, std::uint32_t lineTimeMs, std::int64_t deadlineMs)
{
    const std::int64_t needed = std::int64_t{lineTimeMs} + kAdapterLatencyMs;
    std::int64_t seenHighMs = 0;
    std::int64_t lookedAt = line.NowMs();
    COutputLine::Cts cts = line.ClearToSend();
    for (;;) {
        if (line.QueueEmpty() &&
            (cts == COutputLine::Cts::NoHandshake || seenHighMs >= needed))
            return true;
        if (lookedAt >= deadlineMs)
            return false;
        line.Pause();
        const std::int64_t now = line.NowMs();
        // The time since the last look counts as CTS found then.
        if (cts != COutputLine::Cts::Low)
            seenHighMs += now - lookedAt;
        lookedAt = now;
        cts = line.ClearToSend();
    }
}

}  // namespace serial_platform
