// The Windows build of the window, from its zip, under Wine on a virtual
// display, against zr9-module-sim on Wine's COM ports: the end-to-end
// scenarios driven from outside, as a user does. The mouse and keyboard come
// from xdotool; what a field or a box shows comes through the clipboard
// (Ctrl+C copies an edit's selection, and a Windows message box's title and
// text); the bytes on the wire come from the simulator's transcript.
// tests/wine/run-wine-window-tests.sh prepares Wine and runs this program.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "e2e_module.h"
#include "profile_file.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const kWine = "/usr/lib/wine/wine64";
const char* const kXdotool = "/usr/bin/xdotool";
const char* const kXclip = "/usr/bin/xclip";

// Places in the window's client area, from the form's layout.
struct Spot {
    int x, y;
};
constexpr Spot cmbComSelText{150, 32};
constexpr Spot cmbComSelArrow{193, 32};
constexpr Spot btnConnect{295, 38};
constexpr Spot btnRead{137, 461};
constexpr Spot btnWrite{254, 459};
constexpr Spot btnReboot{366, 459};
constexpr Spot LocalName{229, 83};
constexpr Spot LocalAddr0{245, 122};
constexpr Spot LocalAddr5{421, 122};
constexpr Spot PeerAddr5{421, 154};
constexpr Spot CfgPwd{254, 182};
constexpr Spot PinCode{264, 238};
constexpr Spot Security{210, 241};
constexpr Spot ParityN{267, 408};

const char* const kMainWindowTitle = "ZR9 UART Profile Config V1.3";

const std::string kConnectCommand = std::string("AT+PROG=?6874\x01\n\r", 16);
const std::string kReadCommand = "AT+PROG=R\n\r";

// Runs a program to its end; returns its standard output.
std::string Output(std::vector<std::string> args)
{
    int output = -1;
    const pid_t pid = SpawnWithOutputPipe(std::move(args), output, true);
    if (pid < 0)
        return {};
    std::string text;
    char chunk[4096];
    for (ssize_t size; (size = read(output, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(size));
    close(output);
    int status = 0;
    waitpid(pid, &status, 0);
    return text;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string EnvOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A top-level window of the Windows program, as X sees it.
class CXWindow {
public:
    explicit CXWindow(std::string id = {}) : m_strId(std::move(id)) {}

    // The first visible window whose whole title is `title`, waiting up to `limit`.
    static CXWindow Find(const std::string& title, std::chrono::milliseconds limit)
    {
        std::string id;
        WaitFor(
            [&] {
                std::istringstream ids(
                    Output({kXdotool, "search", "--onlyvisible", "--name", "^" + title + "$"}));
                return static_cast<bool>(ids >> id);
            },
            limit);
        return CXWindow(id);
    }

    bool Exists() const { return !m_strId.empty(); }

    bool Shown() const
    {
        return Exists() && Output({kXdotool, "search", "--onlyvisible", "--name", "."})
                                   .find(m_strId + "\n") != std::string::npos;
    }

    // X, Y, WIDTH and HEIGHT, on the screen.
    std::map<std::string, int> Geometry() const
    {
        std::map<std::string, int> values;
        std::istringstream lines(Output({kXdotool, "getwindowgeometry", "--shell", m_strId}));
        for (std::string line; std::getline(lines, line);) {
            const auto equals = line.find('=');
            if (equals != std::string::npos && line.substr(0, equals) != "WINDOW" &&
                line.substr(0, equals) != "SCREEN")
                values[line.substr(0, equals)] = std::stoi(line.substr(equals + 1));
        }
        return values;
    }

    void Click(Spot spot) const
    {
        Output({kXdotool, "mousemove", "--window", m_strId, std::to_string(spot.x),
                std::to_string(spot.y), "click", "1"});
    }

    static void Keys(std::initializer_list<std::string> keys)
    {
        std::vector<std::string> args = {kXdotool, "key", "--delay", "50"};
        args.insert(args.end(), keys);
        Output(args);
    }

    // Clicks an edit, selects all it holds and types `text` over it.
    void TypeInto(Spot spot, const std::string& text) const
    {
        Click(spot);
        Keys({"ctrl+a"});
        Output({kXdotool, "type", "--delay", "40", text});
    }

    // What the clipboard gets from Ctrl+C after a click at `spot` (and, for
    // an edit, Ctrl+A); empty when nothing came.
    std::string Copy(Spot spot, bool selectAll) const
    {
        const std::string marker = "zr9-clipboard-" + std::to_string(getpid());
        const std::string markerFile =
            (std::filesystem::temp_directory_path() / (marker + ".txt")).string();
        std::ofstream(markerFile) << marker;
        // xclip stays in the background as the clipboard's owner until Wine
        // takes the clipboard over.
        const pid_t owner = SpawnLogged({kXclip, "-selection", "clipboard", "-i", markerFile},
                                        "/dev/null");
        if (owner > 0)
            waitpid(owner, nullptr, 0);
        WaitFor([&] { return ClipboardText() == marker; }, 2s);
        std::filesystem::remove(markerFile);
        Click(spot);
        if (selectAll)
            Keys({"ctrl+a", "ctrl+c"});
        else
            Keys({"ctrl+c"});
        std::string text;
        WaitFor(
            [&] {
                text = ClipboardText();
                return !text.empty() && text != marker;
            },
            5s);
        return text == marker ? std::string() : text;
    }

    std::string TextOf(Spot edit) const { return Copy(edit, true); }

    static std::string ClipboardText()
    {
        return Output({kXclip, "-selection", "clipboard", "-o"});
    }

    void Screenshot(const std::string& path) const
    {
        const auto at = Geometry();
        Output({"/usr/bin/import", "-window", "root", "-crop",
                std::to_string(at.at("WIDTH")) + "x" + std::to_string(at.at("HEIGHT")) + "+" +
                    std::to_string(at.at("X")) + "+" + std::to_string(at.at("Y")),
                "+repage", "png:" + path});
    }

    const std::string& Id() const { return m_strId; }

private:
    std::string m_strId;
};

// A message box as Windows copies it: title, text and buttons between lines
// of dashes.
struct CopiedBox {
    std::string title;
    std::string text;
    std::string buttons;
};

CopiedBox ParseCopiedBox(const std::string& copied)
{
    std::vector<std::string> parts;
    std::istringstream lines(copied);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of('-') != std::string::npos)
            parts.push_back(line);
    }
    parts.resize(3);
    return {parts[0], parts[1], parts[2]};
}

class WineWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strProgram = EnvOrEmpty("ZR9_WINE_PROGRAM");
        m_strDosDevices = EnvOrEmpty("WINEPREFIX") + "/dosdevices";
        ASSERT_TRUE(std::filesystem::is_regular_file(m_strProgram) &&
                    std::filesystem::is_directory(m_strDosDevices))
            << "run through tests/wine/run-wine-window-tests.sh";
        ASSERT_FALSE(m_ports.Path().empty());
    }

    void TearDown() override
    {
        if (m_nWindowPid > 0) {
            kill(m_nWindowPid, SIGTERM);
            int status = 0;
            if (!WaitFor([&] { return waitpid(m_nWindowPid, &status, WNOHANG) != 0; }, 10s)) {
                kill(m_nWindowPid, SIGKILL);
                waitpid(m_nWindowPid, &status, 0);
            }
        }
        m_vecModules.clear();
        for (int com : m_vecLinkedPorts)
            std::filesystem::remove(DosDevice(com));
    }

    std::string DosDevice(int com) const { return m_strDosDevices + "/com" + std::to_string(com); }

    // The simulated module as Wine's COMn: its pseudo-terminal, never a real device.
    CSimProcess& StartModule(std::vector<std::string> options = {}, int com = 3)
    {
        options.insert(options.end(), {"--transcript", m_strTranscript});
        m_vecModules.push_back(std::make_unique<CSimProcess>(m_ports.Path(), com, options));
        CSimProcess& module = *m_vecModules.back();
        if (module.Started() && module.Slave().rfind("/dev/pts/", 0) == 0) {
            std::filesystem::remove(DosDevice(com));
            std::filesystem::create_symlink(module.Slave(), DosDevice(com));
            m_vecLinkedPorts.push_back(com);
        }
        return module;
    }

    // The program with `options`, until its window titled `title` shows.
    void StartWindow(const std::vector<std::string>& options = {},
                     const std::string& title = kMainWindowTitle)
    {
        std::vector<std::string> args = {kWine, m_strProgram};
        args.insert(args.end(), options.begin(), options.end());
        m_nWindowPid = SpawnLogged(args, m_ports.Path() + "/window.log");
        ASSERT_GT(m_nWindowPid, 0);
        m_window = CXWindow::Find(title, 60s);
        ASSERT_TRUE(m_window.Exists()) << "the window did not open";
        // Let the first paint and the focus settle before the first click.
        std::this_thread::sleep_for(1s);
    }

    // The path of a file of the port folder as the Windows program names it.
    static std::string WindowsPath(const std::string& path)
    {
        std::string windows = "Z:" + path;
        std::replace(windows.begin(), windows.end(), '/', '\\');
        return windows;
    }

    std::string Received() const { return TranscriptBytes(m_strTranscript, "RX"); }

    bool ReceivedEnds(const std::string& tail) const
    {
        const std::string received = Received();
        return received.size() >= tail.size() &&
               received.compare(received.size() - tail.size(), tail.size(), tail) == 0;
    }

    // Opens the port list (which runs discovery) and closes it again.
    void OpenPortList()
    {
        m_window.Click(cmbComSelArrow);
        std::this_thread::sleep_for(2s);
        CXWindow::Keys({"Escape"});
        std::this_thread::sleep_for(500ms);
    }

    // Picks the port found last, types the password and presses Connect;
    // returns once the module has the whole command.
    void Connect(const std::string& password = "6874")
    {
        OpenPortList();
        m_window.TypeInto(CfgPwd, password);
        const std::size_t before = Received().size();
        m_window.Click(btnConnect);
        const std::string command = "AT+PROG=?" + password + std::string("\x01\n\r", 3);
        ASSERT_TRUE(WaitFor([&] { return Received().size() >= before + command.size(); }, 10s));
        EXPECT_EQ(Received().substr(before), command);
        // The window takes in the answer.
        std::this_thread::sleep_for(1s);
    }

    // Presses Read; true when the module got its command, that is when Read
    // was enabled. Returns once the answer had time to arrive.
    bool PressRead()
    {
        const std::size_t before = Received().size();
        m_window.Click(btnRead);
        const bool sent = WaitFor([&] { return Received().size() > before; }, 2s);
        std::this_thread::sleep_for(1500ms);
        return sent && Received().substr(before) == kReadCommand;
    }

    CopiedBox WaitForBox(std::chrono::milliseconds limit = 10s)
    {
        m_box = CXWindow::Find("Error", limit);
        if (!m_box.Exists())
            return {};
        std::this_thread::sleep_for(500ms);
        return ParseCopiedBox(m_box.Copy({20, 20}, false));
    }

    // Presses the box's one button.
    void CloseBox()
    {
        CXWindow::Keys({"Return"});
        EXPECT_TRUE(WaitFor([&] { return !m_box.Shown(); }, 5s)) << "the box stayed open";
    }

    CTempPortDir m_ports;
    const std::string m_strTranscript = m_ports.Path() + "/transcript.txt";
    std::string m_strProgram;
    std::string m_strDosDevices;
    std::vector<std::unique_ptr<CSimProcess>> m_vecModules;
    std::vector<int> m_vecLinkedPorts;
    pid_t m_nWindowPid = -1;
    CXWindow m_window;
    CXWindow m_box;
};

TEST_F(WineWindow, OpensAtItsDesignedSizeShowingTheDefaultProfile)
{
    StartWindow();
    const auto geometry = m_window.Geometry();
    EXPECT_EQ(geometry.at("WIDTH"), 459);
    EXPECT_EQ(geometry.at("HEIGHT"), 526);
    const std::string screenshot = EnvOrEmpty("ZR9_WINE_SCREENSHOT");
    if (!screenshot.empty())
        m_window.Screenshot(screenshot);
    EXPECT_EQ(m_window.TextOf(LocalName), "BLE UART");
    EXPECT_EQ(m_window.TextOf(CfgPwd), "6874");
}

TEST_F(WineWindow, PortListShowsTheSimulatedModules)
{
    ASSERT_TRUE(StartModule({}, 12).Started());
    ASSERT_TRUE(StartModule({}, 3).Started());
    StartWindow();
    OpenPortList();
    EXPECT_EQ(m_window.TextOf(cmbComSelText), "COM12");
    // The entry before it is the other port found.
    CXWindow::Keys({"Up"});
    EXPECT_EQ(m_window.TextOf(cmbComSelText), "COM3");
}

TEST_F(WineWindow, ConnectSendsThePasswordAndDisconnectGivesThePortBack)
{
    ASSERT_TRUE(StartModule().Started());
    StartWindow();
    Connect();
    EXPECT_EQ(Received(), kConnectCommand);
    EXPECT_TRUE(PressRead()) << "Read is not usable after Connect";

    m_window.Click(btnConnect);  // now Disconnect
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(PressRead()) << "Read is usable after Disconnect";
    Connect();
    EXPECT_TRUE(ReceivedEnds(kConnectCommand));
}

TEST_F(WineWindow, ReadShowsTheModulesProfileWholeDespiteALineFeedInIt)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}).Started());
    StartWindow();
    Connect();
    ASSERT_TRUE(PressRead());
    const ProfileView expected = ViewOfProfileWithLineFeedFlags();
    EXPECT_EQ(m_window.TextOf(LocalName), expected.LocalName);
    EXPECT_EQ(m_window.TextOf(LocalAddr0), expected.LocalAddr0);
    EXPECT_EQ(m_window.TextOf(LocalAddr5), expected.LocalAddr5);
    EXPECT_EQ(m_window.TextOf(PeerAddr5), expected.PeerAddr5);
    EXPECT_EQ(m_window.TextOf(PinCode), expected.PinCode);
}

TEST_F(WineWindow, EditThenWriteSendsTheEncodedRecord)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}).Started());
    StartWindow();
    Connect();
    ASSERT_TRUE(PressRead());

    m_window.TypeInto(LocalName, "Bench");
    m_window.TypeInto(LocalAddr0, "9f");
    m_window.TypeInto(PinCode, "246802");
    m_window.Click(Security);
    m_window.Click(ParityN);
    m_window.Click(btnWrite);

    const ProfileBytes expected = ProfileAfterTheBenchEdits(8);
    const std::string command =
        "AT+PROG=W" + std::string(expected.begin(), expected.end()) + "\n\r";
    EXPECT_TRUE(WaitFor([&] { return ReceivedEnds(command); }, 5s))
        << "received: " << Received().substr(Received().size() - std::min<std::size_t>(
                                                 Received().size(), command.size()));
    EXPECT_FALSE(CXWindow::Find("Error", 500ms).Exists());
}

TEST_F(WineWindow, RebootReachesTheModuleWhichStillAnswers)
{
    ASSERT_TRUE(StartModule().Started());
    StartWindow();
    Connect();
    m_window.Click(btnReboot);
    EXPECT_TRUE(WaitFor([&] { return TranscriptHasEvent(m_strTranscript, "reboot"); }, 5s));
    EXPECT_TRUE(ReceivedEnds("AT+REBOOT\n\r"));
    m_window.TypeInto(LocalName, "changed here");
    std::this_thread::sleep_for(1s);  // Read's timer from before
    EXPECT_TRUE(PressRead());
    EXPECT_EQ(m_window.TextOf(LocalName), "BLE UART");
}

TEST_F(WineWindow, RefusedPasswordShowsItsBoxThenTheRightOneConnects)
{
    ASSERT_TRUE(StartModule().Started());
    StartWindow();
    Connect("1111");
    const CopiedBox box = WaitForBox();
    EXPECT_EQ(box.title, "Error");
    EXPECT_EQ(box.text, "Password Error");
    EXPECT_EQ(box.buttons.substr(0, 2), "OK");
    CloseBox();

    // Back to Idle with the port given back: the right password connects.
    EXPECT_FALSE(PressRead());
    Connect("6874");
    EXPECT_TRUE(PressRead());
    EXPECT_FALSE(CXWindow::Find("Error", 500ms).Exists());
}

TEST_F(WineWindow, VersionErrorShowsItsBox)
{
    ASSERT_TRUE(StartModule({"--version-error"}).Started());
    StartWindow();
    Connect();
    EXPECT_EQ(WaitForBox().text, "Version Error");
    CloseBox();
    EXPECT_FALSE(PressRead());
}

// The simulator's pseudo-terminal goes with it, as an unplugged adapter does:
// the window goes back to Connect by itself, without a box, so that the next
// click connects to a module that is back.
TEST_F(WineWindow, UnpluggedWhileConnectedGoesBackToConnect)
{
    CSimProcess& module = StartModule();
    ASSERT_TRUE(module.Started());
    StartWindow();
    Connect();
    module.Stop(SIGKILL);
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(CXWindow::Find("Error", 500ms).Exists());

    ASSERT_TRUE(StartModule().Started());
    Connect();
    EXPECT_TRUE(PressRead());
}

TEST_F(WineWindow, SilentModuleShowsTheTimeoutBoxAfterTwoSeconds)
{
    ASSERT_TRUE(StartModule({"--silent"}).Started());
    StartWindow();
    Connect();
    // A second after the command the window still waits for an answer.
    EXPECT_FALSE(CXWindow::Find("Error", 0ms).Exists());
    EXPECT_EQ(WaitForBox().text, "ComProt Error or BT MODE ERROR    ");
    CloseBox();
    EXPECT_FALSE(PressRead());
}

// The production window from the zip, set up from the keyboard: two modules
// in turn on COM3 (the simulator puts the second on once the first is
// configured), each written with its own name, and a log row for each.
TEST_F(WineWindow, ProductionWindowConfiguresTwoModulesInTurnOnOnePort)
{
    std::vector<std::string> options;
    for (const char* address : {"C0FFEE0000A1", "C0FFEE0000A2"}) {
        ProfileBytes record = DefaultProfile;
        std::memcpy(record.data(), address, 12);
        options.insert(options.end(), {"--profile", ProfileHex(record)});
    }
    CSimProcess& modules = StartModule(options);
    ASSERT_TRUE(modules.Started());
    const std::string profile = m_ports.Path() + "/pumps.zr9";
    std::ofstream(profile) << kProfileFileHeader << "\nBaud Rate = 9600 BPS\n";
    const std::string log = m_ports.Path() + "/pumps.csv";
    StartWindow({"--production", WindowsPath(profile)}, "ZR9 Production");

    // A click on the window's margin, then: Ports, check COM3 (the one port
    // listed, Wine's device map misses it), Log file, Start.
    m_window.Click({4, 4});
    CXWindow::Keys({"alt+o", "space", "alt+l", "ctrl+a"});
    Output({kXdotool, "type", "--delay", "40", WindowsPath(log)});
    CXWindow::Keys({"alt+s"});
    ASSERT_TRUE(WaitFor([&] { return LogRows(log, "ok").size() == 1; }, 60s))
        << "no module configured; the log: " << FileText(log);
    kill(modules.Pid(), SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return LogRows(log, "ok").size() == 2; }, 60s))
        << "the second module was not configured; the log: " << FileText(log);

    // Stop, then Close: the program ends by itself.
    CXWindow::Keys({"alt+t"});
    std::this_thread::sleep_for(2s);
    CXWindow::Keys({"alt+l"});
    int status = 0;
    if (WaitFor([&] { return waitpid(m_nWindowPid, &status, WNOHANG) == m_nWindowPid; }, 20s)) {
        m_nWindowPid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
        ADD_FAILURE() << "the window did not close after Stop and Close";
    }

    const auto rows = LogRows(log, "ok");
    ASSERT_EQ(rows.size(), 2u) << FileText(log);
    const std::vector<std::vector<std::string>> expected = {
        {"COM3", "001", "A1:00:00:EE:FF:C0", "Pump 001"},
        {"COM3", "002", "A2:00:00:EE:FF:C0", "Pump 002"}};
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ((std::vector<std::string>{rows[i][1], rows[i][2], rows[i][3], rows[i][6]}),
                  expected[i])
            << FileText(log);
    // What the modules got: each its name in a Write.
    const std::string received = Received();
    const std::size_t firstName = received.find("Pump 001");
    EXPECT_NE(firstName, std::string::npos);
    EXPECT_NE(received.find("Pump 002", firstName), std::string::npos);
}

TEST_F(WineWindow, HelpNamesTheProductionWindow)
{
    EXPECT_NE(Output({kWine, m_strProgram, "--help"}).find("--production [PROFILE]"),
              std::string::npos);
}

// zr9ctl.exe from the zip, a console program, reads the module on Wine's COM3.
TEST_F(WineWindow, CommandLineReadsTheModule)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}).Started());
    const std::string ctl =
        (std::filesystem::path(m_strProgram).parent_path() / "zr9ctl.exe").string();
    std::string printed = Output({kWine, ctl, "read", "COM3"});
    // The console's text mode ends lines with a carriage return and line feed.
    printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
    EXPECT_EQ(printed.rfind("zr9-profile 1\n# read from COM3 (firmware 1.03)", 0), 0u) << printed;
    for (const char* line : {"\nDevice Name = Sim Module A\n", "\nLocal Address = 56:34:12:EE:FF:C0\n",
                             "\nBaud Rate = 115200\n", "\nBonding = yes\n", "\nRole = Master\n"})
        EXPECT_NE(printed.find(line), std::string::npos) << line << printed;
    EXPECT_TRUE(ReceivedEnds(kReadCommand));
}

}  // namespace
