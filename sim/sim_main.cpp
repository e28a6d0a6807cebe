// zr9-module-sim: plays a ZR9 module on a pseudo-terminal whose slave side is
// linked as DIR/COMn, so the tool can be tried and tested without hardware,
// or on an existing terminal device at one end of a null-modem line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "module_commands.h"
#include "simulated_module.h"

namespace {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;

// A partial command that gets no further byte for this long is junk.
constexpr auto kStallTimeout = std::chrono::milliseconds(200);
// While no program holds the slave open the master only reports a hang-up;
// this bounds the wait for the open when the open notification is missing.
constexpr auto kNoSlaveRetry = std::chrono::milliseconds(50);
// How often a device that hung up (unplugged) is tried again.
constexpr auto kDeviceRetry = std::chrono::milliseconds(100);

volatile sig_atomic_t g_nStopSignal = 0;
// SIGUSR1: the module is taken off and the next one put on.
volatile sig_atomic_t g_bSwapRequested = 0;

void OnStopSignal(int signal)
{
    g_nStopSignal = signal;
}

void OnSwapSignal(int)
{
    g_bSwapRequested = 1;
}

struct SimOptions {
    std::string m_strPortDir;
    int m_nCom = 0;
    std::string m_strDevice;  // an existing terminal instead of a pseudo-terminal
    std::string m_strTranscriptPath;
    long m_nLineRate = 0;  // bits per second; 0 sends at once
    bool m_bLineDefaults = false;  // the terminal keeps the kernel's settings
    long m_nParent = 0;  // the process whose end ends the simulator, if any
    // After a reboot, and when put on the line, the module is deaf this long.
    Duration m_tBootTime{};
    // The module thinks this long before it answers Read.
    Duration m_tReadDelay{};
    ModuleBehaviour m_behaviour;
    // The modules that replace it, one per SIGUSR1: each --profile after the first.
    std::vector<ProfileBytes> m_vecNextProfiles;
};

const char kUsage[] =
    "usage: zr9-module-sim --port-dir DIR --com N [options]\n"
    "       zr9-module-sim --device PATH [options]\n"
    "Plays a ZR9 module on a pseudo-terminal linked as DIR/COMN (1..31), or on\n"
    "the existing terminal device PATH, such as one end of a null-modem cable.\n"
    "DIR defaults to $ZR9_PORT_DIR. Prints the link (or PATH) and the terminal\n"
    "behind it, one line each, then serves until SIGTERM or SIGINT. A device\n"
    "that hangs up (unplugged) is opened again when it is back.\n"
    "  --password TEXT       configuration password, at most 4 characters (default:\n"
    "                        the profile's, 6874 in the default profile)\n"
    "  --version MAJOR.MINOR firmware version bytes, 0..255 each (default 1.3)\n"
    "  --refuse              refuse every password\n"
    "  --version-error       answer every connect with +VER\n"
    "  --silent              answer nothing\n"
    "  --ignore-writes       take write commands without storing the profile\n"
    "  --profile HEX         starting profile as 128 hex digits; given again, the\n"
    "                        profile of the module that replaces it on SIGUSR1\n"
    "                        (one after another; after the last, the module on\n"
    "                        the line is put back)\n"
    "  --boot-time MS        deaf for MS milliseconds after a reboot and after\n"
    "                        SIGUSR1 puts the next module on\n"
    "  --read-delay MS       answers Read only after MS milliseconds\n"
    "  --transcript FILE     log every byte received and sent with time stamps\n"
    "  --line-rate BPS       pace like an 8N1 line at BPS bits per second\n"
    "  --line-defaults       leave the terminal at the kernel's settings for a new\n"
    "                        one (echo, line editing, XON/XOFF), as a freshly\n"
    "                        plugged adapter has it, instead of raw\n"
    "  --device PATH         serve this terminal, held exclusively; its speed,\n"
    "                        framing and hardware flow control stay as the\n"
    "                        driver has them, its line discipline (echo, line\n"
    "                        editing, XON/XOFF) is turned off unless\n"
    "                        --line-defaults is given\n"
    "  --parent PID          end, as on SIGTERM, when process PID ends (Linux); a\n"
    "                        test that crashes then leaves no simulator behind\n";

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "zr9-module-sim: %s\n", message.c_str());
    std::exit(2);
}

long ParseNumber(const std::string& text, long low, long high, const char* what)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        Fail(std::string("bad ") + what + ": " + text);
    return value;
}

ProfileBytes ParseProfileHex(const std::string& hex)
{
    if (hex.size() != 2 * kProfileSize ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Fail("--profile needs exactly 128 hex digits");
    ProfileBytes profile{};
    for (std::size_t i = 0; i < kProfileSize; ++i)
        profile[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return profile;
}

SimOptions ParseOptions(int argc, char** argv)
{
    SimOptions options;
    if (const char* dir = std::getenv("ZR9_PORT_DIR"))
        options.m_strPortDir = dir;
    std::optional<std::string> password;
    bool profileGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--port-dir") {
            options.m_strPortDir = value();
        } else if (arg == "--com") {
            options.m_nCom = static_cast<int>(ParseNumber(value(), 1, 31, "port number"));
        } else if (arg == "--device") {
            options.m_strDevice = value();
        } else if (arg == "--password") {
            password = value();
            if (password->size() > kPasswordBytes)
                Fail("--password takes at most 4 characters");
        } else if (arg == "--version") {
            const std::string text = value();
            const std::size_t dot = text.find('.');
            if (dot == std::string::npos)
                Fail("--version needs MAJOR.MINOR");
            options.m_behaviour.m_byVersionMajor =
                static_cast<std::uint8_t>(ParseNumber(text.substr(0, dot), 0, 255, "version"));
            options.m_behaviour.m_byVersionMinor =
                static_cast<std::uint8_t>(ParseNumber(text.substr(dot + 1), 0, 255, "version"));
        } else if (arg == "--refuse") {
            options.m_behaviour.m_passwordCheck = PasswordCheck::RefuseAll;
        } else if (arg == "--version-error") {
            options.m_behaviour.m_passwordCheck = PasswordCheck::VersionError;
        } else if (arg == "--silent") {
            options.m_behaviour.m_bSilent = true;
        } else if (arg == "--ignore-writes") {
            options.m_behaviour.m_bIgnoreWrites = true;
        } else if (arg == "--profile") {
            const ProfileBytes profile = ParseProfileHex(value());
            if (profileGiven)
                options.m_vecNextProfiles.push_back(profile);
            else
                options.m_behaviour.m_abyProfile = profile;
            profileGiven = true;
        } else if (arg == "--boot-time") {
            options.m_tBootTime =
                std::chrono::milliseconds(ParseNumber(value(), 0, 600'000, "boot time"));
        } else if (arg == "--read-delay") {
            options.m_tReadDelay =
                std::chrono::milliseconds(ParseNumber(value(), 0, 600'000, "read delay"));
        } else if (arg == "--transcript") {
            options.m_strTranscriptPath = value();
        } else if (arg == "--line-rate") {
            options.m_nLineRate = ParseNumber(value(), 1, 10'000'000, "line rate");
        } else if (arg == "--line-defaults") {
            options.m_bLineDefaults = true;
        } else if (arg == "--parent") {
            options.m_nParent = ParseNumber(value(), 1, std::numeric_limits<pid_t>::max(), "pid");
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            std::fputs(kUsage, stderr);
            Fail("unknown option " + arg);
        }
    }
    if (!options.m_strDevice.empty() && options.m_nCom != 0)
        Fail("--device serves an existing terminal; --com makes a new one");
    if (options.m_strDevice.empty() && (options.m_strPortDir.empty() || options.m_nCom == 0)) {
        std::fputs(kUsage, stderr);
        Fail("--device, or --port-dir (or ZR9_PORT_DIR) and --com, are needed");
    }
    // After --profile, whatever the order on the command line.
    if (password) {
        SetConfigPassword(options.m_behaviour.m_abyProfile, *password);
        for (ProfileBytes& profile : options.m_vecNextProfiles)
            SetConfigPassword(profile, *password);
    }
    return options;
}

// Every byte received and sent, one line per transfer, with the seconds since
// start; events of the module as lines marked "--". Flushed line by line so a
// test can read it while the simulator runs.
class CTranscript {
public:
    CTranscript(const std::string& path, Clock::time_point start) : m_tStart(start)
    {
        if (!path.empty() && !(m_pFile = std::fopen(path.c_str(), "w")))
            Fail("cannot write " + path + ": " + std::strerror(errno));
        m_bEcho = isatty(STDERR_FILENO);
    }
    ~CTranscript()
    {
        if (m_pFile)
            std::fclose(m_pFile);
    }
    CTranscript(const CTranscript&) = delete;
    CTranscript& operator=(const CTranscript&) = delete;

    void Bytes(const char* direction, const std::uint8_t* data, std::size_t size)
    {
        if (!m_pFile)
            return;
        std::string hex, text;
        for (std::size_t i = 0; i < size; ++i) {
            char part[8];
            std::snprintf(part, sizeof part, " %02X", data[i]);
            hex += part;
            text += Printable(data[i]);
        }
        std::fprintf(m_pFile, "%s %s%s  \"%s\"\n", Stamp().c_str(), direction, hex.c_str(),
                     text.c_str());
        std::fflush(m_pFile);
    }

    // Also shown on a terminal, so `make run` shows what the module did.
    void Event(const std::string& what)
    {
        if (m_pFile) {
            std::fprintf(m_pFile, "%s -- %s\n", Stamp().c_str(), what.c_str());
            std::fflush(m_pFile);
        }
        if (m_bEcho)
            std::fprintf(stderr, "zr9-module-sim: %s\n", what.c_str());
    }

private:
    std::string Stamp() const
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - m_tStart).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%11.6f", seconds);
        return stamp;
    }

    static std::string Printable(std::uint8_t byte)
    {
        switch (byte) {
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\\': return "\\\\";
        case '"': return "\\\"";
        }
        if (byte >= 0x20 && byte < 0x7F)
            return std::string(1, static_cast<char>(byte));
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        return escaped;
    }

    std::FILE* m_pFile = nullptr;
    bool m_bEcho = false;
    Clock::time_point m_tStart;
};

// The terminal the module is played on, as the server sees it. A line goes
// down when its other side is gone (no program on a pseudo-terminal's slave,
// a device hung up) and is tried again after a notice or a retry time.
class CLine {
public:
    virtual ~CLine() = default;

    // What the module reads and writes; -1 while a device is gone.
    virtual int Handle() const = 0;
    // Polled while the line is down for a sign that it is back; -1 if none.
    virtual int ReturnNotice() const = 0;
    virtual Duration RetryAfter() const = 0;
    virtual void Down() = 0;
    // True when the line can be used again.
    virtual bool TryUp() = 0;

    // The two lines printed at start: the name to open, the terminal behind it.
    virtual std::string Name() const = 0;
    virtual std::string Terminal() const = 0;
};

// The module's side of a line has no line discipline: no echo, no line
// editing, no translation of line ends, no signals, no XON/XOFF. Speed,
// framing and hardware flow control are left alone.
void TurnOffLineDiscipline(int terminal)
{
    termios settings{};
    if (tcgetattr(terminal, &settings) != 0)
        return;
    settings.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    // TCSANOW: a drain could wait for ever on a line that is held off.
    tcsetattr(terminal, TCSANOW, &settings);
}

// Tells when a program opens the slave, so the wait for that needs no polling.
class COpenWatch {
public:
    explicit COpenWatch(const std::string& slave)
    {
#ifdef __linux__
        m_hNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_hNotify >= 0 && inotify_add_watch(m_hNotify, slave.c_str(), IN_OPEN) < 0) {
            close(m_hNotify);
            m_hNotify = -1;
        }
#else
        (void)slave;
#endif
    }
    ~COpenWatch()
    {
        if (m_hNotify >= 0)
            close(m_hNotify);
    }
    COpenWatch(const COpenWatch&) = delete;
    COpenWatch& operator=(const COpenWatch&) = delete;

    int Handle() const { return m_hNotify; }
    void Drain() const
    {
        char events[4096];
        while (m_hNotify >= 0 && read(m_hNotify, events, sizeof events) > 0) {
        }
    }

private:
    int m_hNotify = -1;
};

// The master side of a pseudo-terminal, linked as DIR/COMn while it lives.
class CPtyLink : public CLine {
public:
    CPtyLink(const std::string& dir, int com, bool lineDefaults)
    {
        m_hMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_hMaster < 0 || grantpt(m_hMaster) != 0 || unlockpt(m_hMaster) != 0)
            Fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
        m_strSlave = ptsname(m_hMaster);

        // The settings are the terminal's, so on Linux this also makes the
        // tool's side raw before the tool opens it, unless the kernel's
        // defaults are asked for.
        if (!lineDefaults) {
            termios settings{};
            tcgetattr(m_hMaster, &settings);
            cfmakeraw(&settings);
            tcsetattr(m_hMaster, TCSANOW, &settings);
        }

        m_strLink = dir + "/COM" + std::to_string(com);
        // A link left by a simulator that was killed points nowhere, or at the
        // terminal this one has just been given; replace it.
        struct stat target {};
        if (stat(m_strLink.c_str(), &target) != 0 || LinkTarget() == m_strSlave)
            unlink(m_strLink.c_str());
        if (symlink(m_strSlave.c_str(), m_strLink.c_str()) != 0)
            Fail("cannot link " + m_strLink + ": " + std::strerror(errno));
        m_watch.emplace(m_strSlave);
    }
    ~CPtyLink() override
    {
        // Only our own link: another simulator may have taken the name since.
        if (LinkTarget() == m_strSlave)
            unlink(m_strLink.c_str());
        close(m_hMaster);
    }
    CPtyLink(const CPtyLink&) = delete;
    CPtyLink& operator=(const CPtyLink&) = delete;

    // Without a program on the slave the master keeps its bytes and only
    // reports hang-ups, so it stays usable; the wait is for the next open.
    int Handle() const override { return m_hMaster; }
    int ReturnNotice() const override { return m_watch->Handle(); }
    Duration RetryAfter() const override { return kNoSlaveRetry; }
    void Down() override {}
    bool TryUp() override
    {
        m_watch->Drain();
        return true;
    }
    std::string Name() const override { return m_strLink; }
    std::string Terminal() const override { return m_strSlave; }

private:
    std::string LinkTarget() const
    {
        char target[PATH_MAX];
        const ssize_t size = readlink(m_strLink.c_str(), target, sizeof target);
        return size > 0 ? std::string(target, static_cast<std::size_t>(size)) : std::string();
    }

    int m_hMaster = -1;
    std::string m_strSlave;
    std::string m_strLink;
    std::optional<COpenWatch> m_watch;
};

// An existing terminal device, such as a USB adapter or a UART at one end of
// a null-modem cable. Held exclusively, as the tool holds its port, so that
// a second program on it fails instead of sharing the bytes.
class CDeviceLine : public CLine {
public:
    CDeviceLine(const std::string& path, bool lineDefaults, CTranscript& transcript)
        : m_strPath(path), m_bLineDefaults(lineDefaults), m_transcript(transcript)
    {
        if (!Open())
            Fail("cannot serve " + path + ": " + std::strerror(errno));
        char terminal[PATH_MAX];
        m_strTerminal = realpath(path.c_str(), terminal) ? terminal : path;
    }
    ~CDeviceLine() override
    {
        if (m_hDevice >= 0)
            close(m_hDevice);
    }
    CDeviceLine(const CDeviceLine&) = delete;
    CDeviceLine& operator=(const CDeviceLine&) = delete;

    int Handle() const override { return m_hDevice; }
    int ReturnNotice() const override { return -1; }
    Duration RetryAfter() const override { return kDeviceRetry; }
    // A hung-up descriptor stays dead: the device's return needs a new open.
    void Down() override
    {
        if (m_hDevice < 0)
            return;
        close(m_hDevice);
        m_hDevice = -1;
        m_transcript.Event("device hung up: waiting for it");
    }
    bool TryUp() override
    {
        if (m_hDevice >= 0)
            return true;
        if (!Open())
            return false;
        m_transcript.Event("device back");
        return true;
    }
    std::string Name() const override { return m_strPath; }
    std::string Terminal() const override { return m_strTerminal; }

private:
    bool Open()
    {
        const int device = open(m_strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (device < 0)
            return false;
        termios settings{};
        if (tcgetattr(device, &settings) != 0 || flock(device, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            close(device);
            errno = error;
            return false;
        }
        if (!m_bLineDefaults)
            TurnOffLineDiscipline(device);
        m_hDevice = device;
        return true;
    }

    std::string m_strPath;
    std::string m_strTerminal;
    bool m_bLineDefaults;
    CTranscript& m_transcript;
    int m_hDevice = -1;
};

// Serves the module on its line. With a line rate each received
// byte takes its time on the line before the command it completes is
// accepted, and each answer byte takes its time before it is delivered.
class CModuleServer {
public:
    CModuleServer(const SimOptions& options, CLine& line, CTranscript& transcript)
        : m_options(options),
          m_module(options.m_behaviour),
          m_line(line),
          m_transcript(transcript),
          m_tByte(options.m_nLineRate > 0 ? Duration(10'000'000'000LL / options.m_nLineRate)
                                          : Duration::zero())
    {
    }

    void Serve(const sigset_t& waitMask)
    {
        while (g_nStopSignal == 0) {
            if (g_bSwapRequested) {
                g_bSwapRequested = 0;
                Swap();
            }
            const Clock::time_point now = Clock::now();
            RunDueCommands(now);
            SendDueBytes(now);
            if (m_parser.HoldsPartialCommand() && now - m_tLastReceived >= kStallTimeout)
                Accept(m_parser.DropStalled(), m_tRxLine);
            Wait(waitMask);
        }
        m_transcript.Event("stopped");
    }

private:
    struct PendingCommand {
        Clock::time_point m_tDue;
        ModuleCommand m_command;
    };
    struct PendingByte {
        Clock::time_point m_tDue;
        std::uint8_t m_byValue;
    };

    // Another module on the line: what the last one had not answered yet is
    // gone with it, and the new one boots first.
    void Swap()
    {
        ModuleBehaviour next = m_options.m_behaviour;
        if (m_nNextProfile < m_options.m_vecNextProfiles.size())
            next.m_abyProfile = m_options.m_vecNextProfiles[m_nNextProfile++];
        else
            next.m_abyProfile = m_module.Profile();
        m_module = CSimulatedModule(next);
        m_deqCommands.clear();
        m_deqOutput.clear();
        m_tBootEnd = Clock::now() + m_options.m_tBootTime;
        m_transcript.Event("module replaced: the next one put on");
    }

    void Wait(const sigset_t& waitMask)
    {
        std::optional<Clock::time_point> wake;
        auto wakeBy = [&](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
        if (!m_deqCommands.empty())
            wakeBy(m_deqCommands.front().m_tDue);
        if (!m_deqOutput.empty())
            wakeBy(m_deqOutput.front().m_tDue);
        if (m_parser.HoldsPartialCommand())
            wakeBy(m_tLastReceived + kStallTimeout);
        if (!m_bLineUp)
            wakeBy(Clock::now() + m_line.RetryAfter());

        // A line that is down reports a hang-up at once; leave it out.
        pollfd fds[2] = {{m_bLineUp ? m_line.Handle() : -1, POLLIN, 0},
                         {m_bLineUp ? -1 : m_line.ReturnNotice(), POLLIN, 0}};
        timespec timeout{};
        if (wake) {
            const auto left = std::max(Duration::zero(), *wake - Clock::now());
            timeout.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(left).count();
            timeout.tv_nsec = (left % std::chrono::seconds(1)).count();
        }
        const int ready = ppoll(fds, 2, wake ? &timeout : nullptr, &waitMask);
        if (ready < 0)
            return;  // a signal: the loop checks it
        if (!m_bLineUp) {
            // A sign of its return, or the retry time is up: try again.
            m_bLineUp = m_line.TryUp();
        } else if (fds[0].revents != 0) {
            Receive();
        }
    }

    void Receive()
    {
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t size = read(m_line.Handle(), buffer, sizeof buffer);
            if (size > 0) {
                const Clock::time_point now = Clock::now();
                m_tLastReceived = now;
                m_transcript.Bytes("RX", buffer, static_cast<std::size_t>(size));
                for (ssize_t i = 0; i < size; ++i) {
                    m_tRxLine = std::max(m_tRxLine, now) + m_tByte;
                    Accept(m_parser.Feed(&buffer[i], 1), m_tRxLine);
                }
                continue;
            }
            if (size < 0 && errno == EINTR)
                continue;
            // EIO or end of file: no program holds the slave open, or the
            // device hung up.
            if (size == 0 || errno != EAGAIN) {
                m_bLineUp = false;
                m_line.Down();
            }
            return;
        }
    }

    void Accept(const std::vector<ModuleCommand>& commands, Clock::time_point due)
    {
        for (const ModuleCommand& command : commands)
            m_deqCommands.push_back({due, command});
    }

    void RunDueCommands(Clock::time_point now)
    {
        while (!m_deqCommands.empty() && m_deqCommands.front().m_tDue <= now) {
            const PendingCommand pending = m_deqCommands.front();
            m_deqCommands.pop_front();
            if (pending.m_tDue < m_tBootEnd) {
                m_transcript.Event("booting: command ignored");
                continue;
            }
            const std::vector<std::uint8_t> answer = m_module.Execute(pending.m_command);
            m_transcript.Event(m_module.LastEvent());
            if (pending.m_command.m_kind == CommandKind::Reboot)
                m_tBootEnd = pending.m_tDue + m_options.m_tBootTime;
            Clock::time_point start = pending.m_tDue;
            if (pending.m_command.m_kind == CommandKind::ReadProfile && !answer.empty())
                start += m_options.m_tReadDelay;
            for (std::uint8_t byte : answer) {
                m_tTxLine = std::max(m_tTxLine, start) + m_tByte;
                m_deqOutput.push_back({m_tTxLine, byte});
            }
        }
    }

    void SendDueBytes(Clock::time_point now)
    {
        std::vector<std::uint8_t> due;
        while (!m_deqOutput.empty() && m_deqOutput.front().m_tDue <= now) {
            due.push_back(m_deqOutput.front().m_byValue);
            m_deqOutput.pop_front();
        }
        if (due.empty())
            return;
        const ssize_t written = write(m_line.Handle(), due.data(), due.size());
        if (written > 0)
            m_transcript.Bytes("TX", due.data(), static_cast<std::size_t>(written));
        // Like a real line, nothing waits for a receiver that does not read.
        if (written < static_cast<ssize_t>(due.size()))
            m_transcript.Event("answer bytes lost: the line's buffer is full");
    }

    const SimOptions& m_options;
    CSimulatedModule m_module;
    std::size_t m_nNextProfile = 0;
    Clock::time_point m_tBootEnd{};
    CCommandParser m_parser;
    CLine& m_line;
    CTranscript& m_transcript;
    const Duration m_tByte;
    bool m_bLineUp = true;
    Clock::time_point m_tLastReceived{};
    Clock::time_point m_tRxLine{};
    Clock::time_point m_tTxLine{};
    std::deque<PendingCommand> m_deqCommands;
    std::deque<PendingByte> m_deqOutput;
};

}  // namespace

int main(int argc, char** argv)
{
    const SimOptions options = ParseOptions(argc, argv);
    const Clock::time_point start = Clock::now();

    // The stop and swap signals are only taken inside the wait, so none is lost
    // between the check of the flag and the wait.
    sigset_t servedSignals, waitMask;
    sigemptyset(&servedSignals);
    sigaddset(&servedSignals, SIGTERM);
    sigaddset(&servedSignals, SIGINT);
    sigaddset(&servedSignals, SIGHUP);
    sigaddset(&servedSignals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &servedSignals, &waitMask);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    action.sa_handler = OnSwapSignal;
    sigaction(SIGUSR1, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // Otherwise it outlives a crashed test, and the test runner waits for
    // the output it still holds open.
    if (options.m_nParent != 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != options.m_nParent)
            return 0;  // it ended before it could be watched
    }
#endif

    CTranscript transcript(options.m_strTranscriptPath, start);
    std::unique_ptr<CLine> line;
    if (options.m_strDevice.empty())
        line = std::make_unique<CPtyLink>(options.m_strPortDir, options.m_nCom,
                                          options.m_bLineDefaults);
    else
        line = std::make_unique<CDeviceLine>(options.m_strDevice, options.m_bLineDefaults,
                                             transcript);
    std::printf("%s\n%s\n", line->Name().c_str(), line->Terminal().c_str());
    std::fflush(stdout);

    CModuleServer server(options, *line, transcript);
    server.Serve(waitMask);
    return 0;
}
