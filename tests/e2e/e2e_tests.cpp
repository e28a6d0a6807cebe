// The real window, offscreen, against zr9-module-sim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include <QDropEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "connection.h"
#include "e2e_support.h"
#include "profile_file.h"
#include "sim_process.h"
#include "tform1.h"

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        m_form = std::make_unique<TForm1>();
        m_form->show();
    }

    void TearDown() override
    {
        if (ConnectionState != Idle)
            m_form->btnConnect->click();
        m_form.reset();
        ResetProcessState();
        // The driver harness's self-check names one test to fail on purpose.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        if (const char* planted = getenv("ZR9_PLANTED_FAILURE");
            planted && std::string(test->test_suite_name()) + "." + test->name() == planted)
            ADD_FAILURE() << "Planted failure";
    }

    CSimProcess& StartModule(std::vector<std::string> options = {}, int com = 3)
    {
        options.insert(options.end(), {"--transcript", m_strTranscript});
        m_vecModules.push_back(std::make_unique<CSimProcess>(m_ports.Path(), com, options));
        return *m_vecModules.back();
    }

    void Connect(const char* password = "6874")
    {
        ASSERT_TRUE(PickPort(*m_form, "COM3"));
        m_form->CfgPwd->setText(password);
        m_form->btnConnect->click();
    }

    // Read leaves its timer running; a Read before its tick would end at
    // that tick instead of waiting a second of its own.
    void WaitForTheLastReadsTimer()
    {
        ASSERT_TRUE(RunEventsUntil([&] { return !m_form->Timer.isActive(); }, 10000));
    }

    // Back to the state after start-up: nothing to read with, the port list usable.
    void ExpectIdleWindow()
    {
        EXPECT_EQ(ConnectionState, Idle);
        EXPECT_EQ(m_form->btnConnect->text(), "Connect");
        EXPECT_FALSE(m_form->btnRead->isEnabled());
        EXPECT_FALSE(m_form->btnWrite->isEnabled());
        EXPECT_FALSE(m_form->btnReboot->isEnabled());
        EXPECT_TRUE(m_form->cmbComSel->isEnabled());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }

    CPortFolder m_ports;
    const std::string m_strTranscript = m_ports.Path() + "/transcript.txt";
    std::vector<std::unique_ptr<CSimProcess>> m_vecModules;
    std::unique_ptr<TForm1> m_form;
    CBoxCloser m_boxes;
};

using Texts = std::vector<std::string>;

TEST_F(EndToEnd, PortListShowsTheSimulatedModules)
{
    ASSERT_TRUE(StartModule({}, 12).Started());
    ASSERT_TRUE(StartModule({}, 3).Started());
    m_form->cmbComSel->showPopup();
    m_form->cmbComSel->hidePopup();
    ASSERT_EQ(m_form->cmbComSel->count(), 2);
    EXPECT_EQ(m_form->cmbComSel->itemText(0), "COM3");
    EXPECT_EQ(m_form->cmbComSel->itemText(1), "COM12");
    EXPECT_EQ(m_form->cmbComSel->currentText(), "COM12");
}

TEST_F(EndToEnd, ConnectShowsDisconnectAndTheModulesVersion)
{
    ASSERT_TRUE(StartModule({"--version", "12.5"}).Started());
    Connect();
    EXPECT_EQ(m_form->btnConnect->text(), "Disconnect");
    EXPECT_EQ(m_form->Version->text(), "Version 12.05");
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_TRUE(m_form->btnRead->isEnabled());
    EXPECT_FALSE(m_form->cmbComSel->isEnabled());
    EXPECT_EQ(m_boxes.Texts(), Texts{});

    m_form->btnConnect->click();
    ExpectIdleWindow();
    EXPECT_EQ(m_form->Version->text(), "Version 12.05");
}

TEST_F(EndToEnd, ReadShowsTheModulesProfileWholeDespiteALineFeedInIt)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}).Started());
    Connect();
    ASSERT_EQ(ConnectionState, Connected);
    m_form->btnRead->click();
    EXPECT_EQ(m_form->GetProfileView(), ViewOfProfileWithLineFeedFlags());
    EXPECT_EQ(m_form->UartBaud->currentText(), "115200 BPS");
}

TEST_F(EndToEnd, ReadSelectsBaudIndexTen)
{
    ProfileBytes profile = DefaultProfile;
    profile[37] = 10;  // the single-blank item, also a line feed on the wire
    profile[36] = 0x04;
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(profile)}).Started());
    Connect();
    m_form->btnRead->click();
    EXPECT_EQ(m_form->UartBaud->currentIndex(), 10);
    EXPECT_EQ(m_form->UartBaud->currentText(), " ");
    EXPECT_TRUE(m_form->Security->isChecked());
    EXPECT_FALSE(m_form->ckPeerAddr->isChecked());
    EXPECT_EQ(m_form->LocalName->text(), "BLE UART");
}

TEST_F(EndToEnd, EditThenWriteStoresTheEncodedRecordInTheModule)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}).Started());
    Connect();
    m_form->btnRead->click();
    ASSERT_EQ(m_form->LocalName->text(), "Sim Module A");

    m_form->LocalName->setText("Bench");
    m_form->LocalAddr0->setText("9f");
    m_form->PinCode->setText("246802");
    m_form->Security->setChecked(true);
    m_form->UartBaud->setCurrentIndex(3);
    m_form->ParityN->click();
    m_form->btnWrite->click();
    // Writing sends without an answer; reading back shows what the module holds.
    WaitForTheLastReadsTimer();
    m_form->btnRead->click();

    EXPECT_EQ(LastProfileSent(m_strTranscript), ProfileAfterTheBenchEdits(3));
    EXPECT_EQ(m_form->LocalName->text(), "Bench");
    EXPECT_EQ(m_form->LocalAddr0->text(), "9F");
    EXPECT_EQ(m_boxes.Texts(), Texts{});
}

// A freshly plugged adapter: the line starts at the kernel's settings for a
// new terminal, XON/XOFF and line editing on. The version and the record hold
// the bytes a terminal would take for itself: XOFF, XON, carriage return,
// interrupt, erase and end of file.
TEST_F(EndToEnd, LineAtTheKernelsDefaultsCarriesEveryByteBothWays)
{
    ProfileBytes profile = DefaultProfile;
    profile[36] = 0x0D;  // security and bonding
    profile[37] = 0x03;  // 19200 BPS
    profile[38] = 0x11;  // neither parity
    profile[39] = 0x13;  // neither RTS/CTS setting
    std::memcpy(profile.data() + 40, "A\x7F\x04Z", 5);
    ASSERT_TRUE(StartModule({"--line-defaults", "--version", "1.19", "--profile",
                             ProfileHex(profile)})
                    .Started());
    Connect();
    ASSERT_EQ(ConnectionState, Connected);
    EXPECT_EQ(m_form->Version->text(), "Version  1.19");

    // The window shows the default profile; the module's differs from it in these fields.
    ProfileView expectedView = m_form->GetProfileView();
    m_form->btnRead->click();
    expectedView.ckPeerAddr = false;
    expectedView.Security = expectedView.bonding = true;
    expectedView.UartBaud = 3;
    expectedView.ParityN = expectedView.ParityE = false;
    expectedView.RtsEnable = expectedView.RtsDisable = false;
    expectedView.LocalName = "A\x7F\x04Z";
    EXPECT_EQ(m_form->GetProfileView(), expectedView);

    m_form->btnWrite->click();
    WaitForTheLastReadsTimer();
    m_form->btnRead->click();
    ProfileBytes written = profile;
    written[36] = 0x0C;
    written[38] = 1;
    written[39] = 0;
    std::memcpy(written.data() + 45, "ART", 3);  // the working copy's bytes after the name
    EXPECT_EQ(LastProfileSent(m_strTranscript), written);
    EXPECT_EQ(m_boxes.Texts(), Texts{});
}

TEST_F(EndToEnd, WriteThenDisconnectAtOnceStillSendsTheWholeCommand)
{
    ASSERT_TRUE(StartModule().Started());
    Connect();
    m_form->btnWrite->click();
    m_form->btnConnect->click();
    ExpectIdleWindow();
    EXPECT_TRUE(RunEventsUntil(
        [&] { return TranscriptHasEvent(m_strTranscript, "write: profile replaced"); }, 10000));
}

// Opening a file fills the fields as typing its values does, so Write sends
// the same record; a refused file changes nothing; Save writes the fields.
TEST_F(EndToEnd, ProfileFilesOpenAndSave)
{
    ASSERT_TRUE(StartModule({"--profile", ProfileHex(ProfileWithLineFeedFlags())}).Started());
    Connect();
    m_form->btnRead->click();
    const std::string file = m_ports.Path() + "/bench.zr9";
    std::ofstream(file) << kBenchEditsProfileFile;
    ASSERT_TRUE(m_form->OpenProfileFile(QString::fromStdString(file)));
    m_form->btnWrite->click();
    WaitForTheLastReadsTimer();
    m_form->btnRead->click();
    EXPECT_EQ(LastProfileSent(m_strTranscript), ProfileAfterTheBenchEdits(3));

    const ProfileView shown = m_form->GetProfileView();
    const std::string bad = m_ports.Path() + "/bad.zr9";
    std::ofstream(bad) << "zr9-profile 1\nDevice Name = X\nBaud Rate = 300\n";
    EXPECT_FALSE(m_form->OpenProfileFile(QString::fromStdString(bad)));
    ASSERT_EQ(m_boxes.Texts().size(), 1u);
    EXPECT_EQ(m_boxes.Texts()[0].rfind(bad + ":3: Baud Rate: \"300\" is not in the list", 0), 0u)
        << m_boxes.Texts()[0];
    EXPECT_EQ(m_form->GetProfileView(), shown);

    const std::string saved = m_ports.Path() + "/saved.zr9";
    ASSERT_TRUE(m_form->SaveProfileFile(QString::fromStdString(saved)));
    std::ostringstream text;
    text << std::ifstream(saved).rdbuf();
    EXPECT_EQ(text.str(), FormatProfileText(shown));

    // A file dropped on an edit opens, rather than its path becoming the text.
    std::ofstream(file) << "zr9-profile 1\nDevice Name = Dropped\n";
    QMimeData dragged;
    dragged.setUrls({QUrl::fromLocalFile(QString::fromStdString(file))});
    // File managers also offer the path as text, which an edit would take.
    dragged.setText(QString::fromStdString(file));
    // The drag's target is taken as it enters; the drop goes to it.
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_form->PinCode, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_form->PinCode, &drop);
    EXPECT_EQ(m_form->LocalName->text(), "Dropped");
    EXPECT_EQ(m_form->PinCode->text(), QString::fromStdString(shown.PinCode));
}

TEST_F(EndToEnd, RebootReachesTheModuleWhichStillAnswers)
{
    ASSERT_TRUE(StartModule().Started());
    Connect();
    m_form->btnReboot->click();
    EXPECT_TRUE(RunEventsUntil([&] { return TranscriptHasEvent(m_strTranscript, "reboot"); },
                               10000));
    EXPECT_EQ(ConnectionState, Connected);
    m_form->LocalName->setText("changed here");
    m_form->btnRead->click();
    EXPECT_EQ(m_form->LocalName->text(), "BLE UART");
}

TEST_F(EndToEnd, RefusedPasswordEndsIdleAfterItsBox)
{
    ASSERT_TRUE(StartModule().Started());
    Connect("1111");
    EXPECT_EQ(m_boxes.Texts(), Texts{"Password Error"});
    ExpectIdleWindow();
    EXPECT_EQ(m_form->Version->text(), "Version  1.03");

    // The port was given back: the right password connects now.
    Connect("6874");
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_EQ(m_boxes.Texts(), Texts{"Password Error"});
}

TEST_F(EndToEnd, ModuleRefusingEveryPasswordEndsIdleAfterItsBox)
{
    ASSERT_TRUE(StartModule({"--refuse"}).Started());
    Connect();
    EXPECT_EQ(m_boxes.Texts(), Texts{"Password Error"});
    ExpectIdleWindow();
}

TEST_F(EndToEnd, VersionErrorEndsIdleAfterItsBox)
{
    ASSERT_TRUE(StartModule({"--version-error"}).Started());
    Connect();
    EXPECT_EQ(m_boxes.Texts(), Texts{"Version Error"});
    ExpectIdleWindow();
}

TEST_F(EndToEnd, SilentModuleEndsIdleAfterTheTimeoutBox)
{
    ASSERT_TRUE(StartModule({"--silent"}).Started());
    QElapsedTimer clock;
    clock.start();
    Connect();
    EXPECT_GE(clock.elapsed(), 1500);
    EXPECT_EQ(m_boxes.Texts(), Texts{"ComProt Error or BT MODE ERROR    "});
    ExpectIdleWindow();
}

// An adapter unplugged while connected, idle, during a Read's wait and just
// before a Write: within 2 s the window is idle without a box, the status bar
// names the port, no descriptor of the device is left and the window does not
// spin; plugged in again, the port is listed and a whole session works.
class Unplugged : public EndToEnd, public ::testing::WithParamInterface<const char*> {
protected:
    // The harness's exit status for a line that cannot be unplugged (the 16550A).
    static constexpr int kLineIsFixed = 2;

    // "unplug" or "replug" the window's device: 0 when done, else the harness's
    // exit status. A pseudo-terminal goes with the simulator, which holds its
    // other side, and comes back with a new one; a kernel driver's device goes
    // and comes through the guest's harness.
    int Plug(const std::string& action)
    {
        if (!m_strPairedDevice.empty()) {
            const char* harness = getenv("ZR9_DRIVERS_HARNESS");
            return harness ? RunQuietly({harness, action, m_strPairedDevice}) : -1;
        }
        if (action == "replug")
            return StartModule(m_vecModuleOptions).Started() ? 0 : 1;
        m_vecModules.back()->Stop(SIGKILL);
        // As an unplugged adapter's node goes. The killed simulator's link
        // would name a terminal that another program may be given meanwhile,
        // and the next simulator does not replace a link to a live terminal.
        std::filesystem::remove(m_ports.LinkOf(3));
        return 0;
    }

    static bool HoldsDescriptorOf(const std::string& device)
    {
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(fd.path(), error);
            if (target == device || target == device + " (deleted)")
                return true;
        }
        return false;
    }

    const std::string m_strPairedDevice = PairedToolDevice();
    const std::vector<std::string> m_vecModuleOptions = {
        "--profile", ProfileHex(ProfileWithLineFeedFlags())};
};

TEST_P(Unplugged, TheWindowGoesIdleAndWorksAgainOnceItIsBack)
{
    ASSERT_TRUE(StartModule(m_vecModuleOptions).Started());
    Connect();
    ASSERT_EQ(ConnectionState, Connected);
    const std::string device = std::filesystem::canonical(m_ports.LinkOf(3));
    const std::string moment = GetParam();

    int unplugged = -1;
    QElapsedTimer sinceGone;
    const auto unplug = [&] {
        unplugged = Plug("unplug");
        sinceGone.start();
    };
    CStderrCapture stderrCapture;
    if (moment == "DuringRead") {
        QTimer::singleShot(0, unplug);
        m_form->btnRead->click();
    } else {
        unplug();
    }
    if (unplugged == kLineIsFixed)
        GTEST_SKIP() << "this line cannot be unplugged";
    ASSERT_EQ(unplugged, 0) << "the harness could not unplug " << device;
    if (moment == "AtWrite") {
        m_form->btnWrite->click();
        EXPECT_EQ(ConnectionState, Idle) << "the write's failure ends it, not the watch";
    }
    EXPECT_TRUE(RunEventsUntil([] { return ConnectionState == Idle; },
                               std::max(0, 2000 - static_cast<int>(sinceGone.elapsed()))));
    ExpectIdleWindow();
    EXPECT_EQ(m_form->lblPortStatus->text().toStdString(), "COM3 was unplugged");
    EXPECT_FALSE(HoldsDescriptorOf(device)) << device;
    EXPECT_LE(stderrCapture.Lines(), 2) << stderrCapture.Text();

    // Idle is idle: the window's process takes little of the processor.
    const std::clock_t cpuBefore = std::clock();
    QEventLoop idle;
    QTimer::singleShot(1500, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 5);

    ASSERT_EQ(Plug("replug"), 0) << "the harness could not plug " << device << " in again";
    Connect();
    ASSERT_EQ(ConnectionState, Connected);
    m_form->LocalName->setText("not read yet");
    m_form->btnRead->click();
    EXPECT_EQ(m_form->GetProfileView(), ViewOfProfileWithLineFeedFlags());
    m_form->btnWrite->click();
    EXPECT_TRUE(RunEventsUntil(
        [&] { return TranscriptHasEvent(m_strTranscript, "write: profile replaced"); }, 10000));
    m_form->btnConnect->click();
    ExpectIdleWindow();
    EXPECT_EQ(m_boxes.Texts(), Texts{});
}

INSTANTIATE_TEST_SUITE_P(Moments, Unplugged, ::testing::Values("Idle", "DuringRead", "AtWrite"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
