// zr9ctl as a technician runs it, against zr9-module-sim on pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "e2e_module.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;

std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The simulator logs a command once it has run it, which may be after zr9ctl
// has sent it and gone.
bool EventComes(const std::string& transcript, const std::string& event)
{
    for (int tries = 0; tries < 100 && !TranscriptHasEvent(transcript, event); ++tries)
        std::this_thread::sleep_for(50ms);
    return TranscriptHasEvent(transcript, event);
}

// zr9ctl with its standard output and error in files of the port folder.
class CCtlRun {
public:
    // With a `terminal` (or a FIFO), standard output and error go there instead.
    CCtlRun(const std::string& folder, std::vector<std::string> args,
            const char* terminal = nullptr)
        : m_strOut(folder + "/ctl.out"), m_strErr(folder + "/ctl.err")
    {
        std::filesystem::remove(m_strOut);
        std::filesystem::remove(m_strErr);
        args.insert(args.begin(), ZR9CTL_PATH);
        m_pid = terminal ? SpawnLogged(std::move(args), terminal, "")
                         : SpawnLogged(std::move(args), m_strOut, m_strErr);
    }
    ~CCtlRun() { Wait(SIGKILL); }

    // The exit status, after `signal` when it is not 0; minus the signal that
    // ended it, if one did.
    int Wait(int signal = 0)
    {
        if (m_pid <= 0)
            return m_nStatus;
        if (signal != 0)
            kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return m_nStatus;
    }
    pid_t Pid() const { return m_pid; }
    // True once it waits to write to a full pipe ([anon_]pipe_write), within 5 s.
    bool WaitsToWrite() const
    {
        const std::string wchan = "/proc/" + std::to_string(m_pid) + "/wchan";
        const auto waits = [&] { return FileText(wchan).find("pipe_write") != std::string::npos; };
        for (int tries = 0; tries < 100 && !waits(); ++tries)
            std::this_thread::sleep_for(50ms);
        return waits();
    }
    std::string Out() const { return FileText(m_strOut); }
    std::string Err() const { return FileText(m_strErr); }

private:
    std::string m_strOut, m_strErr;
    pid_t m_pid = -1;
    int m_nStatus = -1;
};

class Zr9ctl : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZR9_PORT_DIR", m_ports.Path().c_str(), 1); }

    std::string Transcript(int com) const
    {
        return m_ports.Path() + "/transcript" + std::to_string(com) + ".txt";
    }

    CSimProcess& StartModule(std::vector<std::string> options = {}, int com = 3)
    {
        options.insert(options.end(), {"--transcript", Transcript(com)});
        m_vecModules.push_back(std::make_unique<CSimProcess>(m_ports.Path(), com, options));
        return *m_vecModules.back();
    }

    std::string WriteFile(const std::string& name, const std::string& text) const
    {
        const std::string path = m_ports.Path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    int Run(std::vector<std::string> args)
    {
        m_run = std::make_unique<CCtlRun>(m_ports.Path(), std::move(args));
        return m_run->Wait();
    }

    // True once the running zr9ctl has printed `text`.
    bool OutputComes(const std::string& text) const
    {
        for (int tries = 0; tries < 100 && m_run->Out().find(text) == std::string::npos; ++tries)
            std::this_thread::sleep_for(50ms);
        return m_run->Out().find(text) != std::string::npos;
    }

    // ports --watch until Ctrl+C, while a module comes as COM4 and goes again.
    // COM3 is held as an open port is, so a watch that opened ports would miss it.
    int WatchModuleComeAndGo(std::vector<std::string> args)
    {
        const int held = open((m_ports.Path() + "/COM3").c_str(), O_RDWR | O_NOCTTY);
        EXPECT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        m_run = std::make_unique<CCtlRun>(m_ports.Path(), std::move(args));
        EXPECT_TRUE(OutputComes("present     COM3: ")) << m_run->Out();
        close(held);
        CSimProcess module(m_ports.Path(), 4);
        EXPECT_TRUE(OutputComes("\nappeared    COM4: " + module.Link() + " -> ")) << m_run->Out();
        module.Stop(SIGTERM);
        EXPECT_TRUE(OutputComes("\ndisappeared COM4: " + module.Link() + " -> ")) << m_run->Out();
        return m_run->Wait(SIGINT);
    }

    CTempPortDir m_ports;
    std::vector<std::unique_ptr<CSimProcess>> m_vecModules;
    std::unique_ptr<CCtlRun> m_run;
};

const std::string kWriteCommandStart = "AT+PROG=W";

ProfileBytes ProfileAt(const char* address)
{
    ProfileBytes record = DefaultProfile;
    std::memcpy(record.data(), address, 12);
    return record;
}


std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Each exit status with its message, and nothing sent when a file is refused.
TEST_F(Zr9ctl, ExitStatusAndMessage)
{
    const struct {
        std::vector<std::string> module;
        std::vector<std::string> args;
        int status;
        const char* message;
        const char* output = "";
        bool held = false;  // COM3 is held by this process meanwhile
    } cases[] = {
        {{}, {"reboot", "DEVICE"}, 0, ": module rebooted (firmware 1.03)\n"},
        {{}, {"write", "COM3", "-", "--set", "Device Name=New"}, 0,
         "zr9ctl: COM3: 02:A2:01:A2:00:A1: profile written and verified\n"},
        {{}, {"read", "COM3", "--password", "1111"}, 1, "zr9ctl: COM3: Password Error\n"},
        {{"--version-error"}, {"read", "COM3"}, 1, "zr9ctl: COM3: Version Error\n"},
        {{"--silent"}, {"read", "COM3"}, 1, "zr9ctl: COM3: ComProt Error or BT MODE ERROR    \n"},
        {{"--ignore-writes"},
         {"write", "COM3", "-", "--set", "Device Name=New"},
         1,
         "zr9ctl: COM3: verify: the module did not keep what was written: Device Name is "
         "BLE UART, written New"},
        {{}, {"write", "COM3", "bad.zr9"}, 2, "bad.zr9:3: PIN Code: needs 6 characters, not 5"},
        {{}, {"write", "COM3", "-", "--set", "Baud Rate=300"}, 2, "--set Baud Rate=300: Baud"},
        {{}, {"read"}, 2, "read needs PORT"},
        {{}, {"write", "COM3", "-", "--set", "Device Name=Pump {N}"}, 2, "unknown placeholder {N}"},
        // The module's own bytes, a backslash and a colon among them, are taken as they are.
        {{"--profile", ProfileHex(ProfileAt("1122\\:334455"))},
         {"write", "COM3", "-", "--set", "Device Name=M{addr}"},
         0,
         "profile written"},
        {{}, {"batch", "-", "--port", "COM3", "--set", "Device Name=Pump {n"}, 2, "is not closed"},
        // The counter's first value is too long already.
        {{},
         {"batch", "-", "--port", "COM3", "--first", "100000", "--set", "Device Name=Pump station {n}"},
         2,
         "takes at most 18 characters, not 19 (at {n} = 100000)"},
        {{}, {"batch", "-", "--port", "COM3", "--log", "/dev/full"}, 2, "No space left on device"},
        // Ports named twice, missing or held: refused before anything is sent.
        {{}, {"batch", "-", "--port", "COM3", "--port", "com3"}, 2,
         "zr9ctl: COM3 and com3 are the same port\n"},
        {{}, {"batch", "-", "--port", "COM3", "--port", "LINK"}, 2, "are the same port\n"},
        {{}, {"batch", "-", "--port", "COM3,COM9"}, 3, "zr9ctl: COM9 is not there; nothing was sent\n"},
        {{}, {"batch", "-", "--port", "COM3"}, 3, "zr9ctl: COM3 is in use by ctl_tests (process ", "",
         true},
        {{}, {"batch", "-", "--port", "COM3", "--first", "007", "--set", "Device Name=Pump {n}",
              "--dry-run"}, 0, "would get 007: Pump 007; 008: Pump 008; 009: Pump 009\n"},
        {{}, {"read", "COM9"}, 3, "zr9ctl: COM9 could not be opened: not there\n"},
        {{}, {"reboot", "MISSING"}, 3, "/ttyGone could not be opened: not there\n"},
        // The port that opens is the data; names that lead nowhere are not tried.
        {{}, {"ports"}, 0, "", "COM3: "},
        // Ports as they come and go, without opening them.
        {{}, {"ports", "--watch"}, 0, "; Ctrl+C ends\n", "present     COM3: "},
    };
    const std::string badFile = WriteFile("bad.zr9", "zr9-profile 1\n#\nPIN Code = 12345\n");
    for (const auto& c : cases) {
        std::filesystem::remove(Transcript(3));
        CSimProcess& module = StartModule(c.module);
        ASSERT_TRUE(module.Started());
        std::vector<std::string> args = c.args;
        for (std::string& arg : args) {
            if (arg == "bad.zr9")
                arg = badFile;
            // A device path instead of COMn: the terminal, a link to it, none.
            if (arg == "DEVICE")
                arg = module.Slave();
            if (arg == "LINK")
                arg = module.Link();
            if (arg == "MISSING")
                arg = m_ports.Path() + "/ttyGone";
        }
        const bool watch = args.back() == "--watch";
        const int held = c.held ? open(module.Link().c_str(), O_RDWR | O_NOCTTY) : -1;
        if (c.held) {
            EXPECT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        }
        EXPECT_EQ(watch ? WatchModuleComeAndGo(args) : Run(args), c.status)
            << args[0] << " " << args.back();
        if (held >= 0)
            close(held);
        EXPECT_NE(m_run->Err().find(c.message), std::string::npos) << m_run->Err();
        EXPECT_EQ(m_run->Out().rfind(c.output, 0), 0u) << m_run->Out();
        if (args[0] == "ports" && !watch) {
            EXPECT_EQ(m_run->Err(), "");
        }
        if (c.status >= 2 || args.back() == "--dry-run") {
            EXPECT_EQ(TranscriptBytes(Transcript(3), "RX"), "") << args.back();
        }
        if (args[0] == "reboot" && c.status == 0) {
            EXPECT_TRUE(EventComes(Transcript(3), "reboot"));
        }
        m_vecModules.clear();
    }
}

// A file makes zr9ctl's Write send what the window sends after the same
// edits; a profile read to a file and written back gives the same profile.
TEST_F(Zr9ctl, ReadToFileWriteFromFile)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}, 3).Started());
    ASSERT_TRUE(StartModule({}, 4).Started());
    // The file's address is meant for this module.
    ASSERT_EQ(Run({"write", "COM3", WriteFile("bench.zr9", kBenchEditsProfileFile),
                   "--keep-file-address"}),
              0)
        << m_run->Err();
    const std::string received = TranscriptBytes(Transcript(3), "RX");
    const std::size_t start = received.find(kWriteCommandStart);
    ASSERT_NE(start, std::string::npos);
    ProfileBytes sent;
    std::copy_n(received.begin() + static_cast<long>(start + kWriteCommandStart.size()),
                kProfileSize, sent.begin());
    EXPECT_EQ(sent, ProfileAfterTheBenchEdits(3));

    const std::string copy = m_ports.Path() + "/copy.zr9";
    ASSERT_EQ(Run({"read", "COM3", "-o", copy}), 0) << m_run->Err();
    // Another module's address is refused, naming both, before anything is written.
    ASSERT_EQ(Run({"write", "COM4", copy}), 2);
    EXPECT_NE(m_run->Err().find("zr9ctl: COM4: the file gives Local Address 9F:34:12:EE:FF:C0, "
                                "the module's own is 02:A2:01:A2:00:A1; nothing written"),
              std::string::npos)
        << m_run->Err();
    EXPECT_EQ(TranscriptBytes(Transcript(4), "RX").find(kWriteCommandStart), std::string::npos);
    ASSERT_EQ(Run({"write", "COM4", copy, "--keep-file-address"}), 0) << m_run->Err();
    ASSERT_EQ(Run({"read", "COM4"}), 0) << m_run->Err();
    // The same file but for the comment line saying where it was read.
    const std::string original = FileText(copy);
    const std::string again = m_run->Out();
    EXPECT_EQ(original.substr(original.find("\nDevice Name")),
              again.substr(again.find("\nDevice Name")));
    EXPECT_NE(again.find("Device Name = Bench\n"), std::string::npos) << again;
}

// A full FIFO, as a pipe whose reader is busy, and its reader's end, held open.
int FullFifo(const std::string& path)
{
    mkfifo(path.c_str(), 0600);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    fcntl(writer, F_SETPIPE_SZ, 4096);
    while (write(writer, "#", 1) == 1) {
    }
    close(writer);
    return reader;
}

// A signal while a command waits for a module that stays silent ends it at
// once, not at the end of its wait, with status 4, saying where; a second
// one, of any kind, ends zr9ctl at once.
TEST_F(Zr9ctl, SignalEndsEachCommandAtItsNextWaitStep)
{
    const struct {
        std::vector<std::string> args;
        int signal;
        int second = 0;  // once the first has zr9ctl wait to write to a full pipe
    } cases[] = {
        {{"read", "COM3"}, SIGINT},
        {{"write", "COM3", "-", "--set", "Device Name=New"}, SIGTERM},
        {{"reboot", "COM3"}, SIGHUP},
        {{"read", "COM3"}, SIGINT, SIGTERM},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(Transcript(3));
        ASSERT_TRUE(StartModule({"--silent"}).Started());
        const std::string held = m_ports.Path() + "/held";
        const int reader = c.second ? FullFifo(held) : -1;
        CCtlRun run(m_ports.Path(), c.args, c.second ? held.c_str() : nullptr);
        for (int tries = 0; tries < 100 && TranscriptBytes(Transcript(3), "RX").empty(); ++tries)
            std::this_thread::sleep_for(20ms);
        if (c.second) {
            kill(run.Pid(), c.signal);
            ASSERT_TRUE(run.WaitsToWrite());
        }
        const auto signalled = std::chrono::steady_clock::now();
        EXPECT_EQ(run.Wait(c.second ? c.second : c.signal), c.second ? -c.second : 4) << c.args[0];
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s) << c.args[0];
        if (!c.second) {
            EXPECT_NE(run.Err().find("zr9ctl: COM3: stopped during Connect\n"), std::string::npos)
                << run.Err();
        }
        close(reader);
        std::filesystem::remove(held);
        m_vecModules.clear();
    }
}

// Ctrl+C while zr9ctl waits to write the profile to a full pipe: the write
// goes on, whole, once the pipe is read.
TEST_F(Zr9ctl, SignalWhileItsOutputWaitsLosesNothing)
{
    ASSERT_TRUE(StartModule().Started());
    const std::string held = m_ports.Path() + "/held";
    const int reader = FullFifo(held);
    CCtlRun run(m_ports.Path(), {"read", "COM3"}, held.c_str());
    ASSERT_TRUE(run.WaitsToWrite());
    kill(run.Pid(), SIGINT);
    std::this_thread::sleep_for(100ms);
    fcntl(reader, F_SETFL, 0);
    std::string drained;
    char chunk[4096];
    for (ssize_t count; (count = read(reader, chunk, sizeof chunk)) > 0;)
        drained.append(chunk, static_cast<std::size_t>(count));
    close(reader);
    EXPECT_EQ(run.Wait(), 0) << drained;
    EXPECT_NE(drained.find("Device Name = BLE UART\n"), std::string::npos) << drained;
}

// A pseudo-terminal for zr9ctl's standard output and error, as in a shell,
// and all that zr9ctl shows on it, read as it comes so that zr9ctl never
// waits for the reader.
class CTerminal {
public:
    CTerminal() : m_nMaster(posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0)
            return;
        m_strName = ptsname(m_nMaster);
        // Held open so that the terminal does not hang up between runs.
        m_nSlave = open(m_strName.c_str(), O_RDWR | O_NOCTTY);
        m_reader = std::thread([this] {
            char chunk[4096];
            pollfd readable{m_nMaster, POLLIN, 0};
            while (!m_bEnded || poll(&readable, 1, 200) > 0) {
                if (poll(&readable, 1, 50) <= 0)
                    continue;
                const ssize_t count = read(m_nMaster, chunk, sizeof chunk);
                if (count <= 0)
                    break;
                m_strShown.append(chunk, static_cast<std::size_t>(count));
            }
        });
    }
    ~CTerminal()
    {
        Shown();
        for (const int fd : {m_nSlave, m_nMaster})
            if (fd >= 0)
                close(fd);
    }
    bool Opened() const { return m_nSlave >= 0; }
    const char* Name() const { return m_strName.c_str(); }
    // All that was shown, once zr9ctl has ended.
    const std::string& Shown()
    {
        m_bEnded = true;
        if (m_reader.joinable())
            m_reader.join();
        return m_strShown;
    }

private:
    const int m_nMaster;
    int m_nSlave = -1;
    std::string m_strName;
    std::atomic<bool> m_bEnded{false};
    std::thread m_reader;
    std::string m_strShown;
};

// On a terminal the progress bar is gone before the profile is printed.
TEST_F(Zr9ctl, ReadClearsItsProgressBarBeforeTheProfile)
{
    // Slow enough to answer that the bar is drawn, however fast the machine.
    ASSERT_TRUE(StartModule({"--read-delay", "300"}).Started());
    CTerminal terminal;
    ASSERT_TRUE(terminal.Opened());
    CCtlRun run(m_ports.Path(), {"read", "COM3"}, terminal.Name());
    EXPECT_EQ(run.Wait(), 0);
    const std::string shown = terminal.Shown();
    const std::size_t bar = shown.rfind("reading the module on COM3");
    const std::size_t profile = shown.find("zr9-profile 1");
    ASSERT_NE(bar, std::string::npos) << shown;
    ASSERT_NE(profile, std::string::npos) << shown;
    // The bar's line erased, then the profile from the line's start.
    const std::size_t barEnd = bar + std::strlen("reading the module on COM3");
    ASSERT_LT(barEnd, profile);
    EXPECT_EQ(shown.substr(barEnd, profile - barEnd), "\r\x1b[2K") << shown;
}

// On a terminal each port of a batch has its own status line; the lines are
// gone before the summary, which ends the output on clean lines.
TEST_F(Zr9ctl, BatchShowsAStatusLinePerPortOnATerminal)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileAt("112233445566"))}, 3).Started());
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileAt("A1A2A3A4A5A6"))}, 4).Started());
    CTerminal terminal;
    ASSERT_TRUE(terminal.Opened());
    // Not "-": standard input is the terminal too.
    const std::string profile = WriteFile("batch.zr9", "zr9-profile 1\nBonding = yes\n");
    CCtlRun run(m_ports.Path(), {"batch", profile, "--port", "COM3", "--port", "COM4"},
                terminal.Name());
    EXPECT_TRUE(EventComes(Transcript(3), "reboot") && EventComes(Transcript(4), "reboot"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(run.Wait(SIGINT), 0);
    const std::string shown = terminal.Shown();
    for (const char* port : {"COM3", "COM4"})
        EXPECT_TRUE(std::regex_search(
            shown, std::regex(std::string("\x1b\\[2K") + port + ": [^\r\n]* \\([0-9]+ s\\)")))
            << port << "\n" << shown;
    // A log row on standard output is not drawn over.
    EXPECT_NE(shown.find("ok,\r\n\r\x1b[2KCOM"), std::string::npos) << shown;
    // Both lines shown at once: the block is redrawn from its first line.
    EXPECT_NE(shown.find("\x1b[1A"), std::string::npos) << shown;
    const std::size_t summary = shown.find("zr9ctl: COM3: 1 configured");
    ASSERT_NE(summary, std::string::npos) << shown;
    EXPECT_EQ(shown.find(" s)", summary), std::string::npos) << shown;
    EXPECT_EQ(shown.compare(summary - 4, 4, "\x1b[2K"), 0) << shown;
    const std::string last = "zr9ctl: batch ended: 2 configured, 0 not configured\r\n";
    const std::size_t end = shown.find(last);
    ASSERT_NE(end, std::string::npos) << shown;
    EXPECT_EQ(end + last.size(), shown.size()) << shown;
}

const char kLogStart[] =
    "\xEF\xBB\xBFtime,port,n,local address,new address,firmware,device name,result,reason\n";

// The log's rows of modules configured or failed, without their time.
std::vector<std::string> LogRows(const std::string& log)
{
    std::istringstream text(FileText(log));
    std::vector<std::string> rows;
    for (std::string row; std::getline(text, row);)
        if (row.find(",ok,") != std::string::npos || row.find(",failed,") != std::string::npos)
            rows.push_back(row.substr(19));
    return rows;
}

// The cells of a log row, its quotes undone (a reason may hold a comma).
std::vector<std::string> CsvCells(const std::string& row)
{
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i] == '"' && quoted && i + 1 < row.size() && row[i + 1] == '"')
            cells.back() += row[++i];
        else if (row[i] == '"')
            quoted = !quoted;
        else if (row[i] == ',' && !quoted)
            cells.emplace_back();
        else
            cells.back() += row[i];
    }
    return cells;
}

// A module configured earlier: its address, the name it got and the batch
// profile's Bonding.
ProfileBytes ConfiguredAt(const char* address, const char* name)
{
    ProfileBytes record = ProfileAt(address);
    ProfileView view;
    DecodeProfileRecord(record, view);
    view.LocalName = name;
    view.bonding = true;
    EncodeProfile(view, record);
    return record;
}

// True once `done` holds, polled for up to 20 s.
template <typename Condition>
bool Comes(Condition done)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    return done();
}

// Three modules in turn on one port, each with its own address: three rows,
// three names from the counter; a fourth refuses; then the summary at Ctrl+C.
TEST_F(Zr9ctl, BatchConfiguresModulesOneAfterAnother)
{
    const std::string log = m_ports.Path() + "/batch.csv";
    const std::string profile =
        WriteFile("batch.zr9", "zr9-profile 1\nLocal Address = 00:00:00:00:00:00\nBonding = yes\n");
    const char* addresses[] = {"112233445566", "A1A2A3A4A5A6", "0F0E0D0C0B0A"};
    // Each module comes with its own adapter: the port goes and comes back.
    const auto plugIn = [&](int i) {
        return std::make_unique<CSimProcess>(
            m_ports.Path(), 3,
            std::vector<std::string>{"--profile", ProfileHex(ProfileAt(addresses[i])),
                                     "--transcript", Transcript(10 + i)});
    };
    auto module = plugIn(0);
    CCtlRun batch(m_ports.Path(), {"batch", profile, "--port", "COM3", "--log", log, "--first",
                                   "007", "--set", "Device Name=Pump {n} {addr3}"});
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            module.reset();
            module = plugIn(i);
        }
        ASSERT_TRUE(module->Started());
        Comes([&] { return LogRows(log).size() == static_cast<std::size_t>(i + 1); });
        EXPECT_TRUE(EventComes(Transcript(10 + i), "reboot")) << i;
        // The module keeps its own address; the file's is not written.
        const auto kept = LastProfileSent(Transcript(10 + i));
        ASSERT_TRUE(kept.has_value());
        EXPECT_EQ(std::string(kept->begin(), kept->begin() + 12), addresses[i]);
    }
    // A module that refuses the password is logged once, as failed.
    module.reset();
    {
        CSimProcess refusing(m_ports.Path(), 3, {"--refuse"});
        ASSERT_TRUE(refusing.Started());
        Comes([&] { return FileText(log).find("Password Error") != std::string::npos; });
    }
    EXPECT_EQ(batch.Wait(SIGINT), 1);

    EXPECT_EQ(FileText(log).rfind(kLogStart, 0), 0u);
    const std::vector<std::string> expected = {
        ",COM3,007,66:55:44:33:22:11,,1.03,Pump 007 332211,ok,",
        ",COM3,008,A6:A5:A4:A3:A2:A1,,1.03,Pump 008 A3A2A1,ok,",
        ",COM3,009,0A:0B:0C:0D:0E:0F,,1.03,Pump 009 0D0E0F,ok,",
        ",COM3,,,,1.03,,failed,Password Error"};
    EXPECT_EQ(LogRows(log), expected);
    EXPECT_NE(batch.Err().find("batch ended: 3 configured, 1 not configured\n"
                               "zr9ctl: not configured: a module (address unknown) on COM3: "
                               "Password Error\n"),
              std::string::npos)
        << batch.Err();
}

// What happens on a bench while a batch waits: each module is configured once
// and known again by its address and profile, whatever it answers with and
// however long it was away; every stop signal ends the batch with its summary.
TEST_F(Zr9ctl, BatchKnowsEachModuleByItsAddress)
{
    enum class Step { PutBack, Swap };
    const std::string moduleA = ProfileHex(ProfileAt("112233445566"));
    const std::string moduleB = ProfileHex(ProfileAt("A1A2A3A4A5A6"));
    const std::string earlierRow = "2026-12-09 10:00:00,COM3,5,66:55:44:33:22:11,,1.03,Pump 5,ok,\n";
    const std::string rowA = ",COM3,1,66:55:44:33:22:11,,1.03,Pump 1,ok,";
    const struct {
        const char* name;
        std::vector<std::string> module;  // simulator options beyond the profiles
        std::vector<std::string> args;    // batch options beyond the port and log
        std::string earlierLog;
        std::vector<Step> steps;  // after the first module has its row
        int signal;
        std::vector<std::string> rows;
        const char* message;
        bool unplugWhileVerifying = false;
        const char* configuredAs = nullptr;  // the first module's name from an earlier run
    } cases[] = {
        {"slow boot", {"--boot-time", "1300"}, {"--set", "Device Name=Pump {n}"}, "", {}, SIGTERM,
         {rowA}, "batch ended: 1 configured, 0 not configured\n"},
        {"address set by --set",
         {"--boot-time", "300"},
         {"--first", "01", "--set", "Local Address=02:00:00:00:00:{n}"},
         "", {}, SIGHUP,
         {",COM3,01,66:55:44:33:22:11,02:00:00:00:00:01,1.03,BLE UART,ok,"},
         "batch ended: 1 configured, 0 not configured\n"},
        {"put back twice", {}, {"--set", "Device Name=Pump {n}"}, "",
         {Step::PutBack, Step::PutBack}, SIGINT, {rowA},
         "COM3: 66:55:44:33:22:11: already configured as Pump 1\n"},
        {"replaced while waiting", {"--profile", moduleB}, {"--set", "Device Name=Pump {n}"}, "",
         {Step::Swap}, SIGINT, {rowA, ",COM3,2,A6:A5:A4:A3:A2:A1,,1.03,Pump 2,ok,"},
         "batch ended: 2 configured, 0 not configured\n"},
        // An older zr9ctl's log: the lowest number it left free comes next.
        {"resumed log", {"--profile", moduleB}, {"--set", "Device Name=Pump {n}"},
         std::string(kLogStart) + earlierRow, {Step::Swap}, SIGINT,
         {earlierRow.substr(19, earlierRow.size() - 20), ",COM3,1,A6:A5:A4:A3:A2:A1,,1.03,Pump 1,ok,"},
         "COM3: 66:55:44:33:22:11: already configured as Pump 5\n", false, "Pump 5"},
        {"unplugged while verifying", {"--read-delay", "600"}, {"--set", "Device Name=Pump {n}"},
         "", {}, SIGINT, {",COM3,1,66:55:44:33:22:11,,1.03,Pump 1,failed,COM3"},
         "batch ended: 0 configured, 1 not configured\n", true},
        {"formula cells", {}, {"--set", "Device Name=@Pump {n}"}, "", {}, SIGINT,
         {",COM3,1,66:55:44:33:22:11,,1.03,'@Pump 1,ok,"}, "configured as @Pump 1\n"},
    };
    const std::string profile = WriteFile("batch.zr9", "zr9-profile 1\nBonding = yes\n");
    for (const auto& c : cases) {
        const std::string log = m_ports.Path() + "/batch.csv";
        std::filesystem::remove(log);
        if (!c.earlierLog.empty())
            WriteFile("batch.csv", c.earlierLog);
        std::filesystem::remove(Transcript(3));
        std::vector<std::string> options = {
            "--profile", c.configuredAs ? ProfileHex(ConfiguredAt("112233445566", c.configuredAs))
                                        : moduleA,
            "--transcript", Transcript(3)};
        options.insert(options.end(), c.module.begin(), c.module.end());
        auto module = std::make_unique<CSimProcess>(m_ports.Path(), 3, options);
        ASSERT_TRUE(module->Started()) << c.name;
        std::vector<std::string> args = {"batch", profile, "--port", "COM3", "--log", log};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CCtlRun batch(m_ports.Path(), args);
        if (c.unplugWhileVerifying) {
            EXPECT_TRUE(EventComes(Transcript(3), "write: profile replaced"));
            module.reset();
        }
        // A module of the earlier log is known at once; any other has its row.
        std::size_t rows = 1;
        std::size_t comebacks = c.earlierLog.empty() ? 0 : 1;
        EXPECT_TRUE(Comes([&] {
            return LogRows(log).size() == rows &&
                   Occurrences(batch.Err(), "already configured") == comebacks;
        })) << c.name;
        for (Step step : c.steps) {
            if (step == Step::Swap) {
                kill(module->Pid(), SIGUSR1);
                ++rows;
                EXPECT_TRUE(Comes([&] { return LogRows(log).size() == rows; })) << c.name;
                continue;
            }
            // The module keeps what it was given while it is away. Its
            // transcript records an answer just after sending it.
            std::optional<ProfileBytes> held;
            EXPECT_TRUE(Comes([&] { return (held = LastProfileSent(Transcript(3))).has_value(); }));
            ASSERT_TRUE(held.has_value()) << c.name;
            module.reset();
            std::this_thread::sleep_for(500ms);
            std::vector<std::string> again = options;
            again[1] = ProfileHex(*held);
            module = std::make_unique<CSimProcess>(m_ports.Path(), 3, again);
            ++comebacks;
            EXPECT_TRUE(Comes([&] {
                return Occurrences(batch.Err(), "already configured") == comebacks;
            })) << c.name;
        }
        // Long enough for a slow module to boot and answer again.
        std::this_thread::sleep_for(2500ms);
        EXPECT_EQ(batch.Wait(c.signal), c.unplugWhileVerifying ? 1 : 0) << c.name;
        // A failed row's reason, after its start, is the port's own words.
        const std::vector<std::string> logged = LogRows(log);
        ASSERT_EQ(logged.size(), c.rows.size()) << c.name;
        for (std::size_t i = 0; i < logged.size(); ++i)
            EXPECT_EQ(logged[i].rfind(c.rows[i], 0), 0u) << c.name << "\n" << logged[i];
        EXPECT_NE(batch.Err().find(c.message), std::string::npos) << c.name << "\n" << batch.Err();
        EXPECT_EQ(Occurrences(batch.Err(), "already configured"), comebacks)
            << c.name << "\n" << batch.Err();
    }
}

// Four ports, twelve modules, each put on a port at a random moment after the
// last one there has its row, and two fresh modules with one factory address
// on two more ports at once: each is configured once, {n} runs 1 to 14
// without gap, and the two are said to share their address.
TEST_F(Zr9ctl, BatchOnSeveralPortsConfiguresEachModuleOnce)
{
    const std::string log = m_ports.Path() + "/batch.csv";
    std::vector<std::unique_ptr<CSimProcess>> modules;
    // A name with a comma: its cell is quoted.
    std::vector<std::string> args = {"batch", "-", "--log", log, "--set", "Device Name=M,{n}"};
    for (int port = 0; port < 4; ++port) {
        std::vector<std::string> options = {"--boot-time", "200"};
        for (int module = 0; module < 3; ++module) {
            const std::string address = "0000000000" + std::to_string(10 * port + module + 10);
            options.insert(options.end(), {"--profile", ProfileHex(ProfileAt(address.c_str()))});
        }
        modules.push_back(std::make_unique<CSimProcess>(m_ports.Path(), 3 + port, options));
        ASSERT_TRUE(modules.back()->Started());
        args.insert(args.end(), {"--port", "COM" + std::to_string(3 + port)});
    }
    // Two modules more with one address, on COM7 and COM8 at once.
    for (int port = 7; port <= 8; ++port) {
        modules.push_back(std::make_unique<CSimProcess>(
            m_ports.Path(), port,
            std::vector<std::string>{"--profile", ProfileHex(ProfileAt("0000000000FF"))}));
        args.insert(args.end(), {"--port", "COM" + std::to_string(port)});
    }
    CCtlRun batch(m_ports.Path(), args);

    const auto rowsOf = [&](const std::string& port) {
        std::size_t count = 0;
        for (const std::string& row : LogRows(log))
            count += row.rfind("," + port + ",", 0) == 0;
        return count;
    };
    std::mt19937 random(24);
    std::vector<int> swapsLeft = {2, 2, 2, 2};
    for (int swap = 0; swap < 8; ++swap) {
        std::vector<int> ready;
        for (int port = 0; port < 4; ++port)
            if (swapsLeft[port] > 0)
                ready.push_back(port);
        const int port = ready[random() % ready.size()];
        const std::string name = "COM" + std::to_string(3 + port);
        ASSERT_TRUE(Comes([&] { return rowsOf(name) == static_cast<std::size_t>(3 - swapsLeft[port]); }))
            << name << "\n" << batch.Err();
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
        kill(modules[static_cast<std::size_t>(port)]->Pid(), SIGUSR1);
        --swapsLeft[port];
    }
    EXPECT_TRUE(Comes([&] { return LogRows(log).size() >= 14; })) << batch.Err();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(batch.Wait(SIGINT), 0) << batch.Err();

    const std::vector<std::string> rows = LogRows(log);
    std::set<std::string> addresses, numbers, expected;
    for (const std::string& row : rows) {
        const std::vector<std::string> cells = CsvCells(row.substr(1));
        ASSERT_EQ(cells.size(), 8u) << row;
        const std::string& number = cells[1];
        addresses.insert(cells[2]);
        numbers.insert(number);
        EXPECT_EQ(cells[5] + " " + cells[6], "M," + number + " ok") << row;
    }
    for (int n = 1; n <= 14; ++n)
        expected.insert(std::to_string(n));
    EXPECT_EQ(rows.size(), 14u);
    EXPECT_EQ(addresses.size(), 13u);
    EXPECT_EQ(numbers, expected);
    EXPECT_EQ(rowsOf("COM7") + rowsOf("COM8"), 2u);
    EXPECT_NE(batch.Err().find("FF:00:00:00:00:00: configured as M"), std::string::npos)
        << batch.Err();
    EXPECT_NE(batch.Err().find("; it shares its address with M"), std::string::npos)
        << batch.Err();
    EXPECT_NE(batch.Err().find("COM3: 3 configured"), std::string::npos) << batch.Err();
}

// Four ports, and what stops one or all of them while the others work: one
// unplugged during its Write (the others go on with their next modules, its
// row says why), Ctrl+C while every port waits for a Read (every port ends at
// once, one summary with a line per port). Rows stay whole throughout.
TEST_F(Zr9ctl, BatchOnSeveralPortsWhenOneIsUnpluggedOrAllAreStopped)
{
    const struct {
        const char* situation;
        int modulesPerPort;
        const char* readDelay;
        bool unplugCom4;  // else Ctrl+C once every port has sent Read
        std::size_t okRows;
        int status;
    } cases[] = {
        {"COM4 unplugged", 2, "300", true, 6, 1},
        {"Ctrl+C while all are busy", 1, "900", false, 0, 0},
    };
    const std::string log = m_ports.Path() + "/batch.csv";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        std::vector<std::string> args = {"batch", "-", "--log", log, "--set", "Device Name=M{n}"};
        for (int com = 3; com <= 6; ++com) {
            std::vector<std::string> options = {"--read-delay", c.readDelay};
            for (int module = 0; module < c.modulesPerPort; ++module) {
                const std::string address = "0000000000" + std::to_string(10 * com + module);
                options.insert(options.end(),
                               {"--profile", ProfileHex(ProfileAt(address.c_str()))});
            }
            ASSERT_TRUE(StartModule(options, com).Started());
            args.insert(args.end(), {"--port", "COM" + std::to_string(com)});
        }
        CCtlRun batch(m_ports.Path(), args);
        const auto sent = [&](int com, const std::string& command) {
            return TranscriptBytes(Transcript(com), "RX").find(command) != std::string::npos;
        };
        if (c.unplugCom4) {
            ASSERT_TRUE(Comes([&] { return sent(4, kWriteCommandStart); })) << batch.Err();
            m_vecModules[1]->Stop(SIGTERM);
            // The others go on: each port's next module once its first has its row.
            for (int com : {3, 5, 6}) {
                const std::string port = ",COM" + std::to_string(com) + ",";
                ASSERT_TRUE(Comes([&] {
                    const std::vector<std::string> rows = LogRows(log);
                    return std::any_of(rows.begin(), rows.end(), [&](const std::string& row) {
                        return row.rfind(port, 0) == 0;
                    });
                })) << batch.Err();
                kill(m_vecModules[static_cast<std::size_t>(com - 3)]->Pid(), SIGUSR1);
            }
            EXPECT_TRUE(Comes([&] { return LogRows(log).size() >= 7; })) << batch.Err();
        } else {
            ASSERT_TRUE(Comes([&] {
                return sent(3, "AT+PROG=R") && sent(4, "AT+PROG=R") && sent(5, "AT+PROG=R") &&
                       sent(6, "AT+PROG=R");
            })) << batch.Err();
        }
        const auto signalled = std::chrono::steady_clock::now();
        EXPECT_EQ(batch.Wait(SIGINT), c.status) << batch.Err();
        // Every port closed through the bounded close, none left to the kernel's.
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);

        std::size_t ok = 0;
        for (const std::string& row : LogRows(log)) {
            const std::vector<std::string> cells = CsvCells(row.substr(1));
            // port, n, local address, new address, firmware, device name, result, reason
            ASSERT_EQ(cells.size(), 8u) << row;
            ok += cells[6] == "ok";
            // Only the unplugged port fails, and its row says why.
            EXPECT_EQ(cells[6] == "failed", c.unplugCom4 && cells[0] == "COM4") << row;
            EXPECT_EQ(cells[7].empty(), cells[6] == "ok") << row;
        }
        EXPECT_EQ(ok, c.okRows) << FileText(log) << batch.Err();
        const std::string err = batch.Err();
        EXPECT_EQ(Occurrences(err, "batch ended: "), 1u) << err;
        for (int com = 3; com <= 6; ++com)
            EXPECT_TRUE(std::regex_search(
                err, std::regex("\nzr9ctl: COM" + std::to_string(com) + ": [0-9]+ configured")))
                << err;
        m_vecModules.clear();
        std::filesystem::remove(log);
        for (int com = 3; com <= 6; ++com)
            std::filesystem::remove(Transcript(com));
    }
}

// A second batch on a held port, or on a held log, is refused before it
// sends anything, naming the zr9ctl that holds it; the module is configured
// once.
TEST_F(Zr9ctl, SecondBatchOnAHeldPortOrLog)
{
    ASSERT_TRUE(StartModule({}, 3).Started());
    ASSERT_TRUE(StartModule({}, 4).Started());
    const std::string log = m_ports.Path() + "/batch.csv";
    CCtlRun first(m_ports.Path(), {"batch", "-", "--port", "COM3", "--log", log});
    ASSERT_TRUE(Comes([&] { return LogRows(log).size() == 1; })) << first.Err();
    const std::string holder = "in use by zr9ctl (process " + std::to_string(first.Pid()) + ")";
    const struct {
        const char* port;
        const char* log;
        int status;
    } cases[] = {{"COM3", "other.csv", 3}, {"COM4", "batch.csv", 2}};
    for (const auto& c : cases) {
        EXPECT_EQ(Run({"batch", "-", "--port", c.port, "--log", m_ports.Path() + "/" + c.log}),
                  c.status);
        EXPECT_NE(m_run->Err().find(holder), std::string::npos) << m_run->Err();
    }
    EXPECT_EQ(TranscriptBytes(Transcript(4), "RX"), "");
    EXPECT_EQ(first.Wait(SIGINT), 0) << first.Err();
    EXPECT_EQ(Occurrences(TranscriptBytes(Transcript(3), "RX"), kWriteCommandStart), 1u);
}

#ifdef __linux__
// The port is opened once and held while modules come and go, so that DTR and
// RTS, which an open and a close move, stay as they are between modules.
TEST_F(Zr9ctl, BatchHoldsThePortOpenForTheWholeRun)
{
    CSimProcess& module = StartModule(
        {"--profile", ProfileHex(ProfileAt("112233445566")), "--profile",
         ProfileHex(ProfileAt("A1A2A3A4A5A6")), "--boot-time", "200"});
    ASSERT_TRUE(module.Started());
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, module.Slave().c_str(), IN_OPEN | IN_CLOSE), 0);
    auto count = [watch, opens = 0, closes = 0]() mutable {
        alignas(inotify_event) char events[4096];
        for (ssize_t size; (size = read(watch, events, sizeof events)) > 0;)
            for (char* at = events; at < events + size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                opens += (event->mask & IN_OPEN) != 0;
                closes += (event->mask & IN_CLOSE) != 0;
                at += sizeof(inotify_event) + event->len;
            }
        return std::make_pair(opens, closes);
    };
    const std::string log = m_ports.Path() + "/batch.csv";
    CCtlRun batch(m_ports.Path(), {"batch", "-", "--port", "COM3", "--log", log});
    ASSERT_TRUE(Comes([&] { return LogRows(log).size() == 1; })) << batch.Err();
    kill(module.Pid(), SIGUSR1);
    ASSERT_TRUE(Comes([&] { return LogRows(log).size() == 2; })) << batch.Err();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(count(), std::make_pair(1, 0));
    EXPECT_EQ(batch.Wait(SIGINT), 0) << batch.Err();
    EXPECT_EQ(count(), std::make_pair(1, 1));
    close(watch);
}
#endif

// zr9ctl killed (kill -9) at random moments while modules come and go on two
// ports, then resumed on the same log, again and again: no two modules ever
// get one number, and no module two.
TEST_F(Zr9ctl, BatchKilledAtRandomMomentsAndResumed)
{
    for (int com = 3; com <= 4; ++com) {
        std::vector<std::string> options = {"--boot-time", "100", "--line-rate", "9600"};
        for (int module = 0; module < 8; ++module) {
            const std::string address = "0000000000" + std::to_string(10 * com + module);
            options.insert(options.end(), {"--profile", ProfileHex(ProfileAt(address.c_str()))});
        }
        ASSERT_TRUE(StartModule(options, com).Started());
    }
    const std::string log = m_ports.Path() + "/batch.csv";
    const std::vector<std::string> args = {"batch", "-", "--port", "COM3,COM4", "--log", log,
                                           "--first", "01", "--set", "Device Name=P{n}"};
    std::mt19937 random(29);
    for (int run = 0; run < 8; ++run) {
        CCtlRun batch(m_ports.Path(), args);
        const auto end = std::chrono::steady_clock::now() + 400ms + random() % 1600 * 1ms;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(random() % 600 * 1ms);
            kill(m_vecModules[random() % 2]->Pid(), SIGUSR1);
        }
        EXPECT_EQ(batch.Wait(SIGKILL), -SIGKILL);
    }
    CCtlRun last(m_ports.Path(), args);
    std::this_thread::sleep_for(3s);
    // Modules taken off during their Write fail: 0 or 1.
    EXPECT_LE(last.Wait(SIGINT), 1) << last.Err();

    std::map<std::string, std::string> moduleOf, numberOf;
    for (const std::string& row : LogRows(log)) {
        if (row.find(",ok,") == std::string::npos)
            continue;
        std::vector<std::string> cells;
        std::istringstream split(row.substr(1));
        for (std::string cell; std::getline(split, cell, ',');)
            cells.push_back(cell);
        // port, n, local address, ...
        EXPECT_EQ(moduleOf.emplace(cells[1], cells[2]).first->second, cells[2]) << row;
        EXPECT_EQ(numberOf.emplace(cells[2], cells[1]).first->second, cells[1]) << row;
    }
    EXPECT_GE(moduleOf.size(), 4u) << FileText(log);
}

}  // namespace
