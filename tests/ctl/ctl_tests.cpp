// zr9ctl as a technician runs it, against zr9-module-sim on pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
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
    // With a `terminal`, standard output and error go there instead.
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

    // The exit status, after `signal` when it is not 0; -1 when it did not exit.
    int Wait(int signal = 0)
    {
        if (m_pid <= 0)
            return m_nStatus;
        if (signal != 0)
            kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_nStatus;
    }
    // True once it has exited, the status then kept for Wait.
    bool Ended()
    {
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return m_pid <= 0;
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

// Each exit status with its message, and nothing sent when a file is refused.
TEST_F(Zr9ctl, ExitStatusAndMessage)
{
    const struct {
        std::vector<std::string> module;
        std::vector<std::string> args;
        int status;
        const char* message;
        const char* output = "";
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
        if (args.size() > 2 && args[2] == "bad.zr9")
            args[2] = badFile;
        // A device path instead of COMn.
        if (args.size() > 1 && args[1] == "DEVICE")
            args[1] = module.Slave();
        if (args.size() > 1 && args[1] == "MISSING")
            args[1] = m_ports.Path() + "/ttyGone";
        const bool watch = args.back() == "--watch";
        EXPECT_EQ(watch ? WatchModuleComeAndGo(args) : Run(args), c.status)
            << args[0] << " " << args.back();
        EXPECT_NE(m_run->Err().find(c.message), std::string::npos) << m_run->Err();
        EXPECT_EQ(m_run->Out().rfind(c.output, 0), 0u) << m_run->Out();
        if (args[0] == "ports" && !watch) {
            EXPECT_EQ(m_run->Err(), "");
        }
        if (c.status == 2) {
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

// A signal while a command waits for a module that stays silent ends it at
// once, not at the end of its wait, with status 4, saying where.
TEST_F(Zr9ctl, SignalEndsEachCommandAtItsNextWaitStep)
{
    const struct {
        std::vector<std::string> args;
        int signal;
    } cases[] = {
        {{"read", "COM3"}, SIGINT},
        {{"write", "COM3", "-", "--set", "Device Name=New"}, SIGTERM},
        {{"reboot", "COM3"}, SIGHUP},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(Transcript(3));
        ASSERT_TRUE(StartModule({"--silent"}).Started());
        CCtlRun run(m_ports.Path(), c.args);
        for (int tries = 0; tries < 100 && TranscriptBytes(Transcript(3), "RX").empty(); ++tries)
            std::this_thread::sleep_for(20ms);
        const auto signalled = std::chrono::steady_clock::now();
        EXPECT_EQ(run.Wait(c.signal), 4) << c.args[0];
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s) << c.args[0];
        EXPECT_NE(run.Err().find("zr9ctl: COM3: stopped during Connect\n"), std::string::npos)
            << run.Err();
        m_vecModules.clear();
    }
}

// On a terminal the progress bar is gone before the profile is printed.
TEST_F(Zr9ctl, ReadClearsItsProgressBarBeforeTheProfile)
{
    ASSERT_TRUE(StartModule().Started());
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    {
        // Standard output and error both on the terminal, as in a shell.
        CCtlRun run(m_ports.Path(), {"read", "COM3"}, ptsname(terminal));
        EXPECT_EQ(run.Wait(), 0);
    }
    std::string shown;
    char chunk[4096];
    pollfd readable{terminal, POLLIN, 0};
    while (poll(&readable, 1, 200) > 0) {
        const ssize_t count = read(terminal, chunk, sizeof chunk);
        if (count <= 0)
            break;
        shown.append(chunk, static_cast<std::size_t>(count));
    }
    close(terminal);
    const std::size_t bar = shown.rfind("reading the module on COM3");
    const std::size_t profile = shown.find("zr9-profile 1");
    ASSERT_NE(bar, std::string::npos) << shown;
    ASSERT_NE(profile, std::string::npos) << shown;
    // Blanks over the bar, then the line's start.
    EXPECT_LT(bar, profile);
    EXPECT_EQ(shown.find_first_not_of(' ', bar + std::strlen("reading the module on COM3") + 1),
              profile - 1)
        << shown;
    EXPECT_EQ(shown[profile - 1], '\r');
}

// Three modules in turn on one port, each with its own address: three rows,
// three names from the counter; a fourth refuses; then the summary at Ctrl+C.
TEST_F(Zr9ctl, BatchConfiguresModulesOneAfterAnother)
{
    const std::string log = m_ports.Path() + "/batch.csv";
    const std::string profile =
        WriteFile("batch.zr9", "zr9-profile 1\nLocal Address = 00:00:00:00:00:00\nBonding = yes\n");
    CCtlRun batch(m_ports.Path(), {"batch", profile, "--port", "COM3", "--log", log, "--first",
                                   "007", "--set", "Device Name=Pump {n} {addr3}"});
    const char* addresses[] = {"112233445566", "A1A2A3A4A5A6", "0F0E0D0C0B0A"};
    for (int i = 0; i < 3; ++i) {
        ProfileBytes record = DefaultProfile;
        std::memcpy(record.data(), addresses[i], 12);
        CSimProcess module(m_ports.Path(), 3, {"--profile", ProfileHex(record), "--transcript",
                                               Transcript(10 + i)});
        ASSERT_TRUE(module.Started());
        const auto rows = [&] {
            const std::string text = FileText(log);
            return std::count(text.begin(), text.end(), '\n');
        };
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (rows() < i + 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(EventComes(Transcript(10 + i), "reboot")) << i;
        // The module keeps its own address; the file's is not written.
        const auto kept = LastProfileSent(Transcript(10 + i));
        ASSERT_TRUE(kept.has_value());
        EXPECT_EQ(std::string(kept->begin(), kept->begin() + 12), addresses[i]);
    }
    // A module that refuses the password is logged once, as failed.
    {
        CSimProcess refusing(m_ports.Path(), 3, {"--refuse"});
        ASSERT_TRUE(refusing.Started());
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (FileText(log).find("Password Error") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(batch.Wait(SIGINT), 1);

    std::istringstream rows(FileText(log));
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row, "time,port,local address,firmware,device name,result,reason");
    const char* expected[] = {",COM3,66:55:44:33:22:11,1.03,Pump 007 332211,ok,",
                              ",COM3,A6:A5:A4:A3:A2:A1,1.03,Pump 008 A3A2A1,ok,",
                              ",COM3,0A:0B:0C:0D:0E:0F,1.03,Pump 009 0D0E0F,ok,"};
    for (const char* tail : expected) {
        ASSERT_TRUE(std::getline(rows, row));
        EXPECT_EQ(row.substr(19), tail);
    }
    ASSERT_TRUE(std::getline(rows, row));
    EXPECT_EQ(row.substr(19), ",COM3,,1.03,,failed,Password Error");
    EXPECT_FALSE(std::getline(rows, row));
    EXPECT_NE(batch.Err().find("batch ended: 3 configured, 1 failed (Password Error: 1)\n"),
              std::string::npos)
        << batch.Err();
}


// zr9ctl batch on several ports at once, with a simulator on each of COM1 to
// COMn playing one module after another (SIGUSR1 puts the next one on).
class Zr9ctlPorts : public Zr9ctl {
protected:
    std::string Log() const { return m_ports.Path() + "/batch.csv"; }

    // The log's rows without their end, the header left out; only lines with
    // their end, as the last may be being written.
    std::vector<std::string> Rows() const
    {
        const std::string text = FileText(Log());
        std::vector<std::string> rows;
        for (std::size_t start = text.find('\n'), end;
             start != std::string::npos && (end = text.find('\n', start + 1)) != std::string::npos;
             start = end)
            rows.push_back(text.substr(start + 1, end - start - 1));
        return rows;
    }

    // A row's cells: time, port, local address, firmware, device name,
    // result, reason. A row cut short or run into another has more or fewer.
    static std::vector<std::string> Cells(const std::string& row)
    {
        std::vector<std::string> cells;
        std::istringstream split(row + ",");
        for (std::string cell; std::getline(split, cell, ',');)
            cells.push_back(cell);
        EXPECT_EQ(cells.size(), 7u) << row;
        cells.resize(7);
        return cells;
    }

    int Writes(int com) const
    {
        const std::string received = TranscriptBytes(Transcript(com), "RX");
        int count = 0;
        for (std::size_t at = 0; (at = received.find(kWriteCommandStart, at)) != std::string::npos;
             at += kWriteCommandStart.size())
            ++count;
        return count;
    }
};

// Each situation on n ports, the next module put on at a random moment after
// each row. Every module is configured once, ok rows are numbered 1, 2, ...
// without a gap, failures use up no number, the rows stay whole, Ctrl+C ends
// every port at once and one summary names them all.
TEST_F(Zr9ctlPorts, DISABLED_SeveralPortsAtOnce)
{
    enum class Event { None, UnplugCom2DuringWrite, CtrlCWhileAllRead };
    const struct {
        const char* situation;
        int ports;
        int modulesPerPort;
        std::vector<std::string> options;
        Event event;
        std::size_t rows;  // 0: whatever the stopped ports log
        long okRows;
        bool sameModule = false;  // port 2's module has port 1's address
    } cases[] = {
        {"twelve modules swapped in at random", 4, 3, {}, Event::None, 12, 12},
        {"one port unplugged", 3, 2, {"--read-delay", "200"}, Event::UnplugCom2DuringWrite, 5,
         4},
        {"Ctrl+C while all are busy", 4, 1, {"--read-delay", "900"}, Event::CtrlCWhileAllRead, 0,
         0},
        {"the same module on two ports", 2, 1, {}, Event::None, 1, 1, true},
    };
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        for (int com = 1; com <= c.ports; ++com) {
            std::vector<std::string> options = c.options;
            for (int index = 1; index <= c.modulesPerPort; ++index) {
                char address[32];
                std::snprintf(address, sizeof address, "%02X%02X00C0FFEE", c.sameModule ? 1 : com,
                              index);
                ProfileBytes record = DefaultProfile;
                std::memcpy(record.data(), address, 12);
                options.insert(options.end(), {"--profile", ProfileHex(record)});
            }
            ASSERT_TRUE(StartModule(options, com).Started()) << com;
        }
        std::vector<std::string> args = {"batch", WriteFile("batch.zr9", "zr9-profile 1\n"),
                                         "--log", Log(), "--set", "Device Name=Pump {n}"};
        for (int com = 1; com <= c.ports; ++com)
            args.insert(args.end(), {"--port", "COM" + std::to_string(com)});
        CCtlRun batch(m_ports.Path(), args);

        // Until the rows are there, the event has come or the batch ends.
        std::map<int, int> taken;  // rows per port
        std::map<int, std::chrono::steady_clock::time_point> swaps;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        bool stop = false;
        for (std::size_t seen = 0; !stop && !batch.Ended() &&
                                   std::chrono::steady_clock::now() < deadline;) {
            const auto now = std::chrono::steady_clock::now();
            for (const auto rows = Rows(); seen < rows.size(); ++seen) {
                const int com = std::atoi(Cells(rows[seen])[1].c_str() + 3);
                if (com >= 1 && com <= c.ports && ++taken[com] < c.modulesPerPort)
                    swaps[com] = now + std::chrono::milliseconds(random() % 800);
            }
            for (auto& [com, due] : swaps) {
                // Not to a simulator that was stopped (unplugged).
                if (due <= now && m_vecModules[com - 1]->Pid() > 0)
                    kill(m_vecModules[com - 1]->Pid(), SIGUSR1);
            }
            std::erase_if(swaps, [&](const auto& swap) { return swap.second <= now; });
            if (c.event == Event::UnplugCom2DuringWrite && Writes(2) > 0)
                m_vecModules[1]->Stop(SIGTERM);
            stop = c.rows > 0 && seen >= c.rows;
            if (c.event == Event::CtrlCWhileAllRead) {
                stop = true;
                for (int com = 1; com <= c.ports; ++com)
                    stop &= TranscriptBytes(Transcript(com), "RX").find("AT+PROG=R") !=
                            std::string::npos;
            }
            std::this_thread::sleep_for(20ms);
        }
        if (c.sameModule)
            std::this_thread::sleep_for(2s);  // time for a second configuration, if any
        const auto signalled = std::chrono::steady_clock::now();
        batch.Wait(SIGINT);
        // Every port closed through the bounded close, none left to the kernel's.
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);

        const auto rows = Rows();
        if (c.rows > 0) {
            EXPECT_EQ(rows.size(), c.rows);
            int writes = 0;
            for (int com = 1; com <= c.ports; ++com)
                writes += Writes(com);
            EXPECT_EQ(writes, static_cast<int>(c.rows));
        }
        std::set<std::string> addresses, names, numbered;
        int ok = 0;
        for (const std::string& row : rows) {
            const std::vector<std::string> cells = Cells(row);
            // Only the unplugged port fails, and its row says why.
            EXPECT_EQ(cells[5] == "ok",
                      c.event != Event::UnplugCom2DuringWrite || cells[1] != "COM2")
                << row;
            EXPECT_EQ(cells[6].empty(), cells[5] == "ok") << row;
            if (cells[5] == "ok") {
                addresses.insert(cells[2]);
                names.insert(cells[4]);
                numbered.insert("Pump " + std::to_string(++ok));
            }
        }
        EXPECT_EQ(static_cast<long>(addresses.size()), c.okRows);
        EXPECT_EQ(names, numbered);
        const std::string err = batch.Err();
        const std::size_t summary = err.find("batch ended");
        ASSERT_NE(summary, std::string::npos) << err;
        EXPECT_EQ(err.find("batch ended", summary + 1), std::string::npos) << err;
        for (int com = 1; com <= c.ports; ++com)
            EXPECT_NE(err.find("COM" + std::to_string(com), summary), std::string::npos) << err;
        // The port that found the module second says where it is configured.
        const int first = Writes(1) == 1 ? 1 : 2;
        const std::size_t said = err.find("zr9ctl: COM" + std::to_string(3 - first) + ": ");
        if (c.sameModule) {
            ASSERT_NE(said, std::string::npos) << err;
            EXPECT_NE(err.substr(said, err.find('\n', said) - said)
                          .find("COM" + std::to_string(first)),
                      std::string::npos)
                << err;
        }
        m_vecModules.clear();
        std::filesystem::remove(Log());
        for (int com = 1; com <= c.ports; ++com)
            std::filesystem::remove(Transcript(com));
    }
}

}  // namespace
