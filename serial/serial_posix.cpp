// POSIX implementation of the serial operations (termios). Every transfer
// ends before it returns, so an event has nothing to wait for: a record is
// left outstanding only by a write that ran out of time (posix_transfers.h).
#include "serial_platform.h"

#include "output_drain.h"
#include "posix_transfers.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace serial_platform {

static_assert(sizeof(termios) <= sizeof(LineSettings::native));

namespace {

// Every record's event: transfers complete before they return.
constexpr Handle kCompletionEvent = 1;

struct SpeedCode {
    std::uint32_t baudRate;
    speed_t speed;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

termios& NativeSettings(LineSettings& settings)
{
    return *reinterpret_cast<termios*>(settings.native);
}

std::int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// CTS, when RTS/CTS flow control is on and the device has modem lines.
COutputLine::Cts CtsOf(int fd)
{
    termios tio{};
    int modemLines = 0;
    if (tcgetattr(fd, &tio) != 0 || !(tio.c_cflag & CRTSCTS) ||
        ioctl(fd, TIOCMGET, &modemLines) != 0)
        return COutputLine::Cts::NoHandshake;
    return (modemLines & TIOCM_CTS) ? COutputLine::Cts::High : COutputLine::Cts::Low;
}

// The terminal's output queue and CTS, looked at every millisecond.
class CTerminalOutput final : public COutputLine {
public:
    explicit CTerminalOutput(int fd) : m_fd(fd) {}

    long Put(const std::uint8_t* bytes, std::uint32_t length) override
    {
        const ssize_t sent = write(m_fd, bytes, length);
        if (sent >= 0)
            return static_cast<long>(sent);
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    }
    bool AwaitRoom(std::int64_t timeLimitMs) override
    {
        pollfd room{m_fd, POLLOUT, 0};
        return poll(&room, 1, static_cast<int>(timeLimitMs)) >= 0 || errno == EINTR;
    }
    std::uint32_t LineTimeOf(std::uint32_t bytes) override;
    bool QueueEmpty() override
    {
        int queued = 0;
        return ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued == 0;
    }
    Cts ClearToSend() override { return CtsOf(m_fd); }
    std::int64_t NowMs() override { return SteadyMs(); }
    void Pause() override { poll(nullptr, 0, 1); }

private:
    int m_fd;
};

// The line time of `bytes` at the terminal's speed and character frame.
std::uint32_t CTerminalOutput::LineTimeOf(std::uint32_t bytes)
{
    LineSettings settings;
    if (!GetLineSettings(m_fd, settings))
        return 0;
    const std::uint32_t frameBits = 1 + settings.byteSize +
                                    (settings.parity != kParityNone ? 1 : 0) +
                                    (settings.stopBits == kOneStopBit ? 1 : 2);
    return LineTimeMs(bytes, settings.baudRate, frameBits);
}

}  // namespace

const char* SysfsRoot()
{
    const char* root = std::getenv("ZR9_SYSFS");
    return root ? root : "/sys";
}

bool IsActiveConsole(const char* device)
{
    struct stat deviceStat {};
    if (stat(device, &deviceStat) != 0 || !S_ISCHR(deviceStat.st_mode))
        return false;
    char listPath[PATH_MAX];
    std::snprintf(listPath, sizeof listPath, "%s/class/tty/console/active", SysfsRoot());
    std::FILE* list = std::fopen(listPath, "r");
    if (!list)
        return false;
    bool found = false;
    char consoleName[256];
    while (!found && std::fscanf(list, "%255s", consoleName) == 1) {
        char consolePath[300];
        std::snprintf(consolePath, sizeof consolePath, "/dev/%s", consoleName);
        struct stat consoleStat {};
        found = stat(consolePath, &consoleStat) == 0 && S_ISCHR(consoleStat.st_mode) &&
                consoleStat.st_rdev == deviceStat.st_rdev;
    }
    std::fclose(list);
    return found;
}

bool PortName(int portIndex, char* name, std::size_t size)
{
    const char* fixedName = DefaultPosixPortName(portIndex);
    if (!fixedName) {
        errno = ENOENT;
        return false;
    }
    const char* portDir = std::getenv("ZR9_PORT_DIR");
    const int length = portDir ? std::snprintf(name, size, "%s/COM%d", portDir, portIndex + 1)
                               : std::snprintf(name, size, "%s", fixedName);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

Handle OpenExclusive(const char* deviceName)
{
    // A console must never be reconfigured: it counts as busy unopened.
    if (IsActiveConsole(deviceName)) {
        errno = EBUSY;
        return kInvalidHandle;
    }
    const int fd = open(deviceName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return kInvalidHandle;
    // flock keeps out every other opener, root included; TIOCEXCL adds the
    // kernel's own refusal for other users and may fail on non-terminals.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockError = errno;
        close(fd);
        errno = lockError;
        return kInvalidHandle;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

// Linux sizes its terminal queues itself and reports received bytes through
// poll() without being asked; both requests are met as they stand.
bool SetEventMask(Handle)
{
    return true;
}

bool SetQueueSizes(Handle, std::uint32_t, std::uint32_t)
{
    return true;
}

bool PurgeAll(Handle port)
{
    return tcflush(static_cast<int>(port), TCIOFLUSH) == 0;
}

bool GetLineSettings(Handle port, LineSettings& settings)
{
    termios& tio = NativeSettings(settings);
    if (tcgetattr(static_cast<int>(port), &tio) != 0)
        return false;

    settings.baudRate = 0;
    for (const SpeedCode& code : kSpeeds)
        if (code.speed == cfgetospeed(&tio))
            settings.baudRate = code.baudRate;
    switch (tio.c_cflag & CSIZE) {
    case CS5: settings.byteSize = 5; break;
    case CS6: settings.byteSize = 6; break;
    case CS7: settings.byteSize = 7; break;
    default: settings.byteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB))
        settings.parity = kParityNone;
    else if (tio.c_cflag & CMSPAR)
        settings.parity = (tio.c_cflag & PARODD) ? 3 : 4;
    else
        settings.parity = (tio.c_cflag & PARODD) ? 1 : 2;
    settings.stopBits = (tio.c_cflag & CSTOPB) ? 2 : kOneStopBit;
    int modemLines = 0;
    settings.dtrControl =
        ioctl(static_cast<int>(port), TIOCMGET, &modemLines) == 0 && (modemLines & TIOCM_DTR)
            ? kDtrControlEnable
            : 0;
    return true;
}

void MakeBinarySafe(LineSettings& settings)
{
    // Raw. Software flow control is off as well: the profile and version
    // bytes are binary, 0x11 and 0x13 among them, and the module speaks no
    // XON/XOFF. A new terminal has IXON on.
    termios& tio = NativeSettings(settings);
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                     IXANY);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

bool SetLineSettings(Handle port, const LineSettings& settings)
{
    const int fd = static_cast<int>(port);
    LineSettings safe = settings;
    MakeBinarySafe(safe);
    termios tio = NativeSettings(safe);

    const SpeedCode* speed = nullptr;
    for (const SpeedCode& code : kSpeeds)
        if (code.baudRate == settings.baudRate)
            speed = &code;
    static constexpr tcflag_t kByteSizes[] = {CS5, CS6, CS7, CS8};
    if (!speed || settings.byteSize < 5 || settings.byteSize > 8 || settings.parity > 4 ||
        settings.stopBits == 1 || settings.stopBits > 2) {
        errno = EINVAL;
        return false;
    }

    // Hardware flow control (CRTSCTS) stays as found.
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    tio.c_cflag |= kByteSizes[settings.byteSize - 5] | CLOCAL | CREAD;
    if (settings.parity != kParityNone) {
        tio.c_cflag |= PARENB;
        if (settings.parity == 1 || settings.parity == 3)
            tio.c_cflag |= PARODD;
        if (settings.parity >= 3)
            tio.c_cflag |= CMSPAR;
        tio.c_iflag |= INPCK;
    } else {
        tio.c_iflag &= ~INPCK;
    }
    if (settings.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    cfsetispeed(&tio, speed->speed);
    cfsetospeed(&tio, speed->speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;

    // A device without modem lines (a pseudo-terminal) answers ENOTTY or EINVAL.
    int dtr = TIOCM_DTR;
    if (ioctl(fd, settings.dtrControl == kDtrControlEnable ? TIOCMBIS : TIOCMBIC, &dtr) != 0 &&
        errno != ENOTTY && errno != EINVAL)
        return false;
    return true;
}

Handle CreateCompletionEvent()
{
    return kCompletionEvent;
}

bool CloseEvent(Handle)
{
    return true;
}

bool StartRead(Handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
               Overlapped& record)
{
    const ssize_t got = read(static_cast<int>(port), buffer, length);
    if (got < 0 && errno != EAGAIN)
        return false;
    count = got < 0 ? 0 : static_cast<std::uint32_t>(got);
    posix::Done(record, count);
    return true;
}

bool StartWrite(Handle port, const std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t& count, Overlapped& record)
{
    CTerminalOutput line(static_cast<int>(port));
    const posix::WriteEnd end = posix::StartWrite(line, buffer, length, count, record);
    if (end == posix::WriteEnd::HeldBack)
        errno = static_cast<int>(kErrorIoPending);
    return end == posix::WriteEnd::Left;
}

std::uint32_t WaitForCompletion(Overlapped& record, std::uint32_t)
{
    if (record.hEvent == kNoEvent) {
        errno = EINVAL;
        return kWaitFailed;
    }
    return posix::WaitForCompletion(record);
}

bool GetCompletionResult(Handle, Overlapped& record, std::uint32_t& count)
{
    return posix::GetCompletionResult(record, count);
}

CancelEnd AwaitCancelled(Handle, Overlapped& record, std::uint32_t& count, std::uint32_t)
{
    return posix::AwaitCancelled(record, count);
}

bool ClearErrors(Handle port, std::uint32_t& queuedBytes)
{
    int queued = 0;
    if (ioctl(static_cast<int>(port), FIONREAD, &queued) != 0)
        return false;
    queuedBytes = static_cast<std::uint32_t>(queued);
    return true;
}

// Only a write given up for time can be left over, and it has stopped
// already: what it queued must not reach the module later as half a command.
bool CancelPending(Handle port, bool discardOutput)
{
    if (discardOutput)
        tcflush(static_cast<int>(port), TCOFLUSH);
    return true;
}

bool DrainOutput(Handle port, std::uint32_t timeLimitMs)
{
    const int fd = static_cast<int>(port);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            tcflush(fd, TCOFLUSH);
            return false;
        }
        poll(nullptr, 0, 5);
    }
    return true;
}

bool OutputHeldByHandshake(Handle port)
{
    return CtsOf(static_cast<int>(port)) == COutputLine::Cts::Low;
}

bool TurnOffHardwareFlowControl(Handle port)
{
    // TCSANOW: a change that waits for output to drain would wait on the very
    // line it is meant to free.
    const int fd = static_cast<int>(port);
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    tio.c_cflag &= ~CRTSCTS;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool ClosePort(Handle port)
{
    return close(static_cast<int>(port)) == 0;
}

std::uint32_t LastErrorCode()
{
    return static_cast<std::uint32_t>(errno);
}

bool MeansDeviceGone(std::uint32_t code, bool)
{
    return code == EIO || code == ENXIO || code == ENODEV;
}

}  // namespace serial_platform
