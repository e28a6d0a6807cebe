// When the bytes of a write have left the line. A driver's output queue does
// not count the bytes a USB adapter holds in its own buffer, and with RTS/CTS
// on the adapter sends them only while CTS is high; the modem lines it
// reports are up to its latency old.
#pragma once

#include <cstdint>

namespace serial_platform {

// What a write hands its bytes to and the wait looks at, on a real line or a
// scripted one.
class COutputLine {
public:
    enum class Cts : std::uint8_t { NoHandshake, High, Low };

    // Hands bytes to the driver: how many it took, 0 when it has no room now,
    // -1 when it refused them (LastErrorCode says why).
    virtual long Put(const std::uint8_t* bytes, std::uint32_t length) = 0;
    // Waits at most `timeLimitMs` for room in the driver's queue; false when
    // the wait itself failed.
    virtual bool AwaitRoom(std::int64_t timeLimitMs) = 0;
    // Milliseconds `bytes` take on the wire at the line's settings.
    virtual std::uint32_t LineTimeOf(std::uint32_t bytes) = 0;
    virtual bool QueueEmpty() = 0;  // the driver's output queue
    virtual Cts ClearToSend() = 0;  // NoHandshake: RTS/CTS off, or no modem lines
    virtual std::int64_t NowMs() = 0;  // a steady clock
    virtual void Pause() = 0;          // a millisecond or so

protected:
    ~COutputLine() = default;
};

// Milliseconds `bytes` take on the wire at `baudRate`, each of `bitsPerByte`
// (start, data, parity and stop bits), rounded up.
std::uint32_t LineTimeMs(std::uint32_t bytes, std::uint32_t baudRate, std::uint32_t bitsPerByte);

// Waits, until `deadlineMs` at most, for the bytes a write has just handed to
// the driver to leave: once the queue is empty, CTS seen high since they were
// handed over for their line time plus the adapter's latency in all means
// they have left, whatever CTS does afterwards. False at the deadline, when
// CTS was low for all of the wait but less than that: some may still be held.
bool AwaitOutputLeft(COutputLine& line, std::uint32_t lineTimeMs, std::int64_t deadlineMs);

}  // namespace serial_platform
