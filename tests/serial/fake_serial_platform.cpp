#include "fake_serial_platform.h"

#include <algorithm>
#include <cstdio>

#include "posix_transfers.h"

CFakeSerialPlatform FakePlatform;

namespace {

constexpr serial_platform::Handle kFakeDevice = 100;
constexpr std::uint32_t kErrorIoIncomplete = 996;
constexpr std::uintptr_t kStatusCancelled = 0xC0000120;
constexpr std::uint32_t kErrorOperationAborted = 995;

// Logs the call; true when the test scripted this occurrence to fail.
bool Fails(const std::string& name)
{
    FakePlatform.m_vecCalls.push_back(name);
    const int occurrence = ++FakePlatform.m_mapCallsMade[name];
    if (!FakePlatform.m_mapFailingCalls[name].contains(occurrence))
        return false;
    FakePlatform.m_dwLastError = FakePlatform.m_dwFailCode;
    return true;
}

// As Fails, and every call on an unplugged device fails.
bool FailsOnDevice(const std::string& name)
{
    if (Fails(name))
        return true;
    if (!FakePlatform.m_bUnplugged)
        return false;
    FakePlatform.m_dwLastError = CFakeSerialPlatform::kErrorDeviceRemoved;
    return true;
}

void Defer(serial_platform::Overlapped& record)
{
    record.status = serial_platform::kStatusPending;
    record.transferred = 0;
    FakePlatform.m_mapEventSignalled[record.hEvent] = false;
    FakePlatform.m_dwLastError = serial_platform::kErrorIoPending;
}

void Complete(serial_platform::Overlapped& record, std::uint32_t count)
{
    record.status = 0;
    record.transferred = count;
    FakePlatform.m_mapEventSignalled[record.hEvent] = true;
}

// What GetOverlappedResult gives for a record, the transfer no longer awaited.
bool Result(serial_platform::Overlapped& record, std::uint32_t& count)
{
    const bool cancelled = record.status == kStatusCancelled;
    if (cancelled || record.status == serial_platform::kStatusPending) {
        FakePlatform.m_dwLastError = cancelled ? kErrorOperationAborted : kErrorIoIncomplete;
        return false;
    }
    count = static_cast<std::uint32_t>(record.transferred);
    return true;
}

class CScriptedLine final : public serial_platform::COutputLine {
public:
    long Put(const std::uint8_t* bytes, std::uint32_t length) override
    {
        FakePlatform.m_vecWritten.insert(FakePlatform.m_vecWritten.end(), bytes, bytes + length);
        return static_cast<long>(length);
    }
    bool AwaitRoom(std::int64_t) override { return true; }  // Put takes every byte
    std::uint32_t LineTimeOf(std::uint32_t bytes) override
    {
        return serial_platform::LineTimeMs(bytes, 9600, 10);
    }
    bool QueueEmpty() override { return FakePlatform.m_nLineNowMs >= FakePlatform.m_nQueueMs; }
    Cts ClearToSend() override
    {
        if (!FakePlatform.m_pfnCtsAt)
            return FakePlatform.m_bWritesCompleteOnWait ? Cts::NoHandshake : Cts::Low;
        return FakePlatform.m_pfnCtsAt(FakePlatform.m_nLineNowMs);
    }
    std::int64_t NowMs() override { return FakePlatform.m_nLineNowMs; }
    void Pause() override { ++FakePlatform.m_nLineNowMs; }
};

void CountReuse(const serial_platform::Overlapped& record)
{
    FakePlatform.m_nOwnedRecordsReused +=
        &record == FakePlatform.m_pPendingRead || &record == FakePlatform.m_pPendingWrite;
}

}  // namespace

void CFakeSerialPlatform::Reset()
{
    *this = CFakeSerialPlatform();
}

int CFakeSerialPlatform::CallCount(const std::string& name) const
{
    return static_cast<int>(std::count(m_vecCalls.begin(), m_vecCalls.end(), name));
}

void CFakeSerialPlatform::CompleteRead(const std::vector<std::uint8_t>& bytes)
{
    std::copy(bytes.begin(), bytes.end(), m_pbyPendingReadBuffer);
    Complete(*m_pPendingRead, static_cast<std::uint32_t>(bytes.size()));
    m_pPendingRead = nullptr;
}

namespace serial_platform {

bool PortName(int portIndex, char* name, std::size_t size)
{
    const char* fixedName = WindowsPortName(portIndex);
    if (!fixedName) {
        FakePlatform.m_dwLastError = 2;
        return false;
    }
    return std::snprintf(name, size, "%s", fixedName) < static_cast<int>(size);
}

Handle OpenExclusive(const char* deviceName)
{
    FakePlatform.m_strOpenedName = deviceName;
    return Fails("OpenExclusive") ? kInvalidHandle : kFakeDevice;
}

bool SetEventMask(Handle)
{
    return !Fails("SetEventMask");
}

bool SetQueueSizes(Handle, std::uint32_t inQueue, std::uint32_t outQueue)
{
    FakePlatform.m_dwInQueue = inQueue;
    FakePlatform.m_dwOutQueue = outQueue;
    return !Fails("SetQueueSizes");
}

bool PurgeAll(Handle)
{
    return !Fails("PurgeAll");
}

bool GetLineSettings(Handle, LineSettings& settings)
{
    if (Fails("GetLineSettings"))
        return false;
    // What a driver might report; the native record carries a marker pattern.
    settings.baudRate = 115200;
    settings.byteSize = 7;
    settings.parity = 2;
    settings.stopBits = 2;
    settings.dtrControl = 2;
    for (std::size_t i = 0; i < sizeof settings.native; ++i)
        settings.native[i] = static_cast<unsigned char>(i * 7 + 3);
    return true;
}

bool SetLineSettings(Handle, const LineSettings& settings)
{
    FakePlatform.m_settingsApplied = settings;
    return !Fails("SetLineSettings");
}

Handle CreateCompletionEvent()
{
    if (Fails("CreateCompletionEvent"))
        return kNoEvent;
    const Handle event = 200 + FakePlatform.m_mapCallsMade["CreateCompletionEvent"];
    FakePlatform.m_mapEventSignalled[event] = false;
    return event;
}

bool CloseEvent(Handle event)
{
    FakePlatform.m_mapEventSignalled.erase(event);
    return !Fails("CloseEvent");
}

bool StartRead(Handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
               Overlapped& record)
{
    if (FailsOnDevice("StartRead"))
        return false;
    CountReuse(record);
    if (FakePlatform.m_bDeferReads && !FakePlatform.kPosixRules) {
        Defer(record);
        FakePlatform.m_pPendingRead = &record;
        FakePlatform.m_pbyPendingReadBuffer = buffer;
        FakePlatform.m_dwPendingReadLength = length;
        return false;
    }
    auto& incoming = FakePlatform.m_vecIncoming;
    count = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(incoming.size()));
    std::copy_n(incoming.begin(), count, buffer);
    incoming.erase(incoming.begin(), incoming.begin() + count);
    Complete(record, count);
    return true;
}

bool StartWrite(Handle, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
                Overlapped& record)
{
    if (FailsOnDevice("StartWrite"))
        return false;
    CountReuse(record);
    if (FakePlatform.kPosixRules) {
        CScriptedLine line;
        FakePlatform.m_nLineNowMs = 0;
        const posix::WriteEnd end = posix::StartWrite(line, buffer, length, count, record);
        FakePlatform.m_dwLastError = kErrorIoPending;
        return end == posix::WriteEnd::Left;
    }
    FakePlatform.m_vecWritten.insert(FakePlatform.m_vecWritten.end(), buffer, buffer + length);
    if (FakePlatform.m_bDeferWrites) {
        Defer(record);
        FakePlatform.m_pPendingWrite = &record;
        FakePlatform.m_dwPendingWriteLength = length;
        return false;
    }
    if (FakePlatform.m_pfnCtsAt) {
        // A write held back is outstanding at the limit, and its wait times out.
        CScriptedLine line;
        FakePlatform.m_nLineNowMs = 0;
        if (!AwaitOutputLeft(line, LineTimeMs(length, 9600, 10), kWriteTimeLimitMs)) {
            Defer(record);
            FakePlatform.m_pPendingWrite = &record;
            FakePlatform.m_bWritesCompleteOnWait = false;
            return false;
        }
    }
    count = length;
    Complete(record, count);
    return true;
}

std::uint32_t WaitForCompletion(Overlapped& record, std::uint32_t timeLimitMs)
{
    const Handle event = record.hEvent;
    FakePlatform.m_vecWaitLimits.push_back(timeLimitMs);
    if (Fails("WaitForCompletion") || event == kNoEvent) {
        FakePlatform.m_dwLastError = 6;
        return kWaitFailed;
    }
    if (FakePlatform.kPosixRules)
        return posix::WaitForCompletion(record);
    Overlapped* write = FakePlatform.m_pPendingWrite;
    if (write && write->hEvent == event && FakePlatform.m_bWritesCompleteOnWait) {
        Complete(*write, FakePlatform.m_dwPendingWriteLength);
        FakePlatform.m_pPendingWrite = nullptr;
    }
    return FakePlatform.m_mapEventSignalled[event] ? kWaitSignalled : kWaitTimeout;
}

bool GetCompletionResult(Handle, Overlapped& record, std::uint32_t& count)
{
    return !Fails("GetCompletionResult") && Result(record, count);
}

CancelEnd AwaitCancelled(Handle, Overlapped& record, std::uint32_t& count,
                         std::uint32_t timeLimitMs)
{
    FakePlatform.m_vecCalls.push_back("AwaitCancelled");
    FakePlatform.m_vecCancelLimits.push_back(timeLimitMs);
    if (FakePlatform.kPosixRules)
        return posix::AwaitCancelled(record, count);
    FakePlatform.m_dwLastError = 258;  // WAIT_TIMEOUT, when it has not finished
    if (record.status == kStatusPending)
        return CancelEnd::Unfinished;
    return Result(record, count) ? CancelEnd::Completed : CancelEnd::Aborted;
}

bool ClearErrors(Handle, std::uint32_t& queuedBytes)
{
    queuedBytes = static_cast<std::uint32_t>(FakePlatform.m_vecIncoming.size());
    return !FailsOnDevice("ClearErrors");
}

bool CancelPending(Handle, bool discardOutput)
{
    if (Fails("CancelPending"))
        return false;
    FakePlatform.m_nOutputDiscards += discardOutput;
    if (FakePlatform.m_bDriverWedged)
        return true;
    // Each cancelled transfer ends aborted and signals its event, as a driver's do.
    for (Overlapped* record : {FakePlatform.m_pPendingRead, FakePlatform.m_pPendingWrite}) {
        if (record) {
            record->status = kStatusCancelled;
            FakePlatform.m_mapEventSignalled[record->hEvent] = true;
        }
    }
    FakePlatform.m_pPendingRead = nullptr;
    FakePlatform.m_pPendingWrite = nullptr;
    return true;
}

bool DrainOutput(Handle, std::uint32_t timeLimitMs)
{
    FakePlatform.m_vecDrainLimits.push_back(timeLimitMs);
    return !Fails("DrainOutput") && !FakePlatform.m_bOutputHeld;
}

bool OutputHeldByHandshake(Handle)
{
    return FakePlatform.m_bOutputHeld;
}

bool TurnOffHardwareFlowControl(Handle)
{
    return !Fails("TurnOffHardwareFlowControl");
}

bool ClosePort(Handle)
{
    return !Fails("ClosePort");
}

std::uint32_t LastErrorCode()
{
    return FakePlatform.m_dwLastError;
}

// As on Win32, a driver aborts what is outstanding when its device goes.
bool MeansDeviceGone(std::uint32_t code, bool)
{
    return code == CFakeSerialPlatform::kErrorDeviceRemoved || code == kErrorOperationAborted;
}

}  // namespace serial_platform
