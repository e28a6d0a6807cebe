// Connect, Read, Write, ReBoot and Disconnect through the real handlers, with the
// module's side of the line played by the fuzz input: the first byte chooses
// how often the device defers a read, the rest is what the module sends.
// The device is a scripted stand-in for the serial platform layer, so the
// port logic, the reply assembly and the line handlers all run unchanged.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "commands.h"
#include "connection.h"
#include "fuzz_check.h"
#include "reply.h"
#include "serial_platform.h"
#include "serialport.h"

namespace {

constexpr serial_platform::Handle kDeviceHandle = 3;

struct ScriptedDevice {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t position = 0;
    bool open = false;
    bool commandSent = false;  // the module answers only what it was asked
    int deferEvery = 0;        // every n-th read is deferred; 0 never
    int reads = 0;
    int liveEvents = 0;
    serial_platform::Handle nextEvent = 100;
    serial_platform::Overlapped* deferredRecord = nullptr;
    std::uint8_t* deferredBuffer = nullptr;
    std::uint32_t lastError = 0;

    std::size_t Queued() const { return open && commandSent ? size - position : 0; }
    bool Idle() const { return Queued() == 0 && deferredRecord == nullptr; }
};

ScriptedDevice Device;

bool Fail(int error)
{
    Device.lastError = static_cast<std::uint32_t>(error);
    return false;
}

}  // namespace

namespace serial_platform {

bool PortName(int portIndex, char* name, std::size_t size)
{
    std::snprintf(name, size, "scripted%d", portIndex);
    return true;
}

Handle OpenExclusive(const char*)
{
    if (Device.open) {
        Fail(EBUSY);
        return kInvalidHandle;
    }
    Device.open = true;
    Device.commandSent = false;
    return kDeviceHandle;
}

bool SetEventMask(Handle) { return true; }
bool SetQueueSizes(Handle, std::uint32_t, std::uint32_t) { return true; }
bool PurgeAll(Handle) { return true; }
bool GetLineSettings(Handle, LineSettings&) { return true; }
bool SetLineSettings(Handle, const LineSettings&) { return true; }

Handle CreateCompletionEvent()
{
    ++Device.liveEvents;
    return Device.nextEvent++;
}

bool CloseEvent(Handle)
{
    --Device.liveEvents;
    return true;
}

bool StartRead(Handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
               Overlapped& record)
{
    FUZZ_CHECK(port == kDeviceHandle && Device.open);
    FUZZ_CHECK(length <= Device.Queued());
    ++Device.reads;
    if (Device.deferEvery != 0 && Device.reads % Device.deferEvery == 0) {
        record.status = kStatusPending;
        Device.deferredRecord = &record;
        Device.deferredBuffer = buffer;
        return Fail(static_cast<int>(kErrorIoPending));
    }
    std::memcpy(buffer, Device.data + Device.position, length);
    Device.position += length;
    count = length;
    return true;
}

bool StartWrite(Handle port, const std::uint8_t*, std::uint32_t length, std::uint32_t& count,
                Overlapped&)
{
    FUZZ_CHECK(port == kDeviceHandle && Device.open);
    Device.commandSent = true;
    count = length;
    return true;
}

std::uint32_t WaitForCompletion(Overlapped& record, std::uint32_t)
{
    if (Device.deferredRecord != &record)
        return kWaitSignalled;
    // The deferred one-byte read completes now.
    *Device.deferredBuffer = Device.data[Device.position++];
    Device.deferredRecord->status = 0;
    Device.deferredRecord->transferred = 1;
    Device.deferredRecord = nullptr;
    return kWaitSignalled;
}

bool GetCompletionResult(Handle, Overlapped& record, std::uint32_t& count)
{
    count = static_cast<std::uint32_t>(record.transferred);
    return true;
}

CancelEnd AwaitCancelled(Handle, Overlapped&, std::uint32_t& count, std::uint32_t)
{
    count = 0;
    return CancelEnd::Aborted;
}

bool ClearErrors(Handle port, std::uint32_t& queuedBytes)
{
    if (port != kDeviceHandle || !Device.open)
        return Fail(EBADF);
    queuedBytes = static_cast<std::uint32_t>(Device.Queued());
    return true;
}

bool CancelPending(Handle, bool)
{
    if (Device.deferredRecord != nullptr)
        Device.deferredRecord->status = 0;
    Device.deferredRecord = nullptr;
    return true;
}

bool DrainOutput(Handle port, std::uint32_t)
{
    FUZZ_CHECK(port == kDeviceHandle && Device.open);
    return true;
}

bool OutputHeldByHandshake(Handle) { return false; }
bool TurnOffHardwareFlowControl(Handle) { return true; }

bool ClosePort(Handle port)
{
    FUZZ_CHECK(port == kDeviceHandle && Device.open);
    Device.open = false;
    return true;
}

std::uint32_t LastErrorCode() { return Device.lastError; }
bool MeansDeviceGone(std::uint32_t, bool) { return false; }

}  // namespace serial_platform

namespace {

// The window: the timer ticks once the module has nothing more to send.
class CScriptedWindow final : public CWindowOps {
public:
    explicit CScriptedWindow(std::size_t passLimit) : m_nPassLimit(passLimit) {}

    void ResetProgress(int) override { ProcessPendingEvents(); }
    void StepProgress() override { ProcessPendingEvents(); }
    void WaitForEvents(const CSerialPort&, int) override { ProcessPendingEvents(); }
    void ProcessPendingEvents() override
    {
        FUZZ_CHECK(++m_nPasses < m_nPassLimit);  // a wait that never ends
        if (m_bTimerEnabled && m_nTimerInterval > 0 && Device.Idle())
            TimerTimer(*this);
    }
    void SetTimerInterval(int milliseconds) override { m_nTimerInterval = milliseconds; }
    void SetTimerEnabled(bool enabled) override { m_bTimerEnabled = enabled; }
    void ShowErrorBox(const std::string&) override { ++m_nErrorBoxes; }
    void ShowPortFailure(int, const PortFailure&) override {}
    void ClearPortFailure() override {}
    void SetConnectCaption(const std::string&) override {}
    void SetControlEnabled(Control, bool) override {}
    void SetVersionCaption(const std::string& caption) override
    {
        FUZZ_CHECK(caption.size() <= std::strlen("Version 255.255"));
    }
    std::string CfgPwdText() override { return "6874"; }
    std::string PinCodeText() override { return m_view.PinCode; }
    int SelectedPortPosition() override { return 0; }
    bool PortDiscoveryRunning() override { return false; }
    ProfileView GetProfileView() override { return m_view; }
    void SetProfileView(const ProfileView& view) override { m_view = view; }

    int TakeErrorBoxes() { return std::exchange(m_nErrorBoxes, 0); }

private:
    std::size_t m_nPassLimit;
    std::size_t m_nPasses = 0;
    int m_nTimerInterval = 0;
    bool m_bTimerEnabled = false;
    int m_nErrorBoxes = 0;
    ProfileView m_view;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    Device = ScriptedDevice{};
    Device.deferEvery = data[0] % 8;
    Device.data = data + 1;
    Device.size = size - 1;
    ReplyFillIndex = 0;
    ConnectionState = Idle;
    PortMap[0] = 2;

    // Every pass takes at most one byte; a few more end the wait by its timer.
    CScriptedWindow window(4 * size + 100);
    ShowWorkingCopy(window);

    btnConnectClick(window);
    FUZZ_CHECK(window.TakeErrorBoxes() <= 1);
    FUZZ_CHECK(ConnectionState == Idle || ConnectionState == Connected);
    FUZZ_CHECK(Device.open == (ConnectionState == Connected));
    if (ConnectionState == Connected) {
        btnReadClick(window);
        btnReadClick(window);
        FUZZ_CHECK(window.TakeErrorBoxes() == 0);
        btnWriteClick(window);
        btnRebootClick(window);
        btnConnectClick(window);
        FUZZ_CHECK(ConnectionState == Idle && !Device.open);
    }
    FUZZ_CHECK(Device.liveEvents == 0);
    FUZZ_CHECK(ReplyFillIndex <= kReplyLineSize);
    return 0;
}
