// Port discovery over pseudo-terminals linked in ZR9_PORT_DIR, and what the
// status bar says; the stand-in sysfs (ZR9_SYSFS) has what a test puts there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QAccessible>
#include <QTest>
#include <QTextDocument>
#include <filesystem>
#include <fstream>

#include "app_test_support.h"
#include "connection.h"

namespace {

// Another process, named `name`, that holds the port's lock while the object lives.
struct CPortHolder {
    CPortHolder(const std::string& port, const char* name)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        if ((m_pid = fork()) == 0) {
            prctl(PR_SET_NAME, name);
            const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
            const char locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            if (write(ready[1], &locked, 1) == 1)
                pause();
            _exit(0);
        }
        char locked = 0;
        m_bHolding = m_pid > 0 && read(ready[0], &locked, 1) == 1 && locked == 'y';
        close(ready[0]);
        close(ready[1]);
    }
    ~CPortHolder()
    {
        if (m_pid > 0 && kill(m_pid, SIGKILL) == 0)
            waitpid(m_pid, nullptr, 0);
    }

    pid_t m_pid = -1;
    bool m_bHolding = false;
};

class DiscoveryTest : public ::testing::Test {
public:
    void SetUp() override
    {
        ResetProcessState();
        setenv("ZR9_SYSFS", Sysfs().c_str(), 1);
    }
    void TearDown() override { unsetenv("ZR9_SYSFS"); }

    std::filesystem::path Sysfs() const { return m_ports.Path() + "/sys"; }

    // The status bar's line for a port's device: its link and the terminal behind it.
    QString DeviceLine(int com) const
    {
        return QString("COM%1: %2 -> %3")
            .arg(com)
            .arg(m_ports.LinkOf(com).c_str())
            .arg(std::filesystem::read_symlink(m_ports.LinkOf(com)).c_str());
    }

    QStringList Items() const
    {
        QStringList items;
        for (int i = 0; i < m_form.cmbComSel->count(); ++i)
            items << m_form.cmbComSel->itemText(i);
        return items;
    }

    CPtyPortFolder m_ports;
    TForm1 m_form;
};

TEST_F(DiscoveryTest, OnlyCom3AndCom7ListedWithTheLastSelected)
{
    const int com3 = m_ports.Link(3);
    m_ports.Link(7);
    EXPECT_EQ(m_form.cmbComSel->currentText(), " ");

    m_form.cmbComSelDropDown();

    EXPECT_EQ(Items(), QStringList({"COM3", "COM7"}));
    // The status bar names the device behind the selected port, and follows a choice.
    EXPECT_EQ(m_form.lblPortStatus->text(), DeviceLine(7));
    emit m_form.cmbComSel->activated(0);
    EXPECT_EQ(m_form.lblPortStatus->text(), DeviceLine(3));
    EXPECT_EQ(m_form.cmbComSel->currentIndex(), 1);
    EXPECT_EQ(m_form.cmbComSel->currentText(), "COM7");
    EXPECT_EQ(PortMap[0], 2);
    EXPECT_EQ(PortMap[1], 6);
    EXPECT_FALSE(m_form.PortDiscoveryRunning());

    // Choosing COM3 makes the next Connect use port index 2: only COM3 answers.
    CBoxCloser closer;
    CFakeModule module(com3, PasswordAnswer('1', 1, 0));
    m_form.cmbComSel->setCurrentIndex(0);
    EXPECT_EQ(m_form.SelectedPortPosition(), 0);
    m_form.btnConnectClick();
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_TRUE(closer.m_vecBoxes.empty());
}

TEST_F(DiscoveryTest, NoPortLeavesAnEmptyListWithTwoSpacesAndKeepsPortMap)
{
    PortMap[0] = 5;
    PortMap[1] = 9;
    m_form.cmbComSelDropDown();

    EXPECT_EQ(m_form.cmbComSel->count(), 0);
    EXPECT_EQ(m_form.cmbComSel->currentIndex(), -1);
    EXPECT_EQ(m_form.cmbComSel->currentText(), "  ");
    EXPECT_EQ(m_form.lblPortStatus->text(),
              QString("No serial device found: COM1 to COM31 are the links of that name in %1.")
                  .arg(m_ports.Path().c_str()));
    EXPECT_EQ(PortMap[0], 5);
    EXPECT_EQ(PortMap[1], 9);
}

TEST_F(DiscoveryTest, APortHeldByAnotherProcessIsLeftOut)
{
    m_ports.Link(3);
    m_ports.Link(5);
    {
        CPortHolder holder(m_ports.LinkOf(5), "holder");
        ASSERT_TRUE(holder.m_bHolding);
        m_form.cmbComSelDropDown();
        EXPECT_EQ(Items(), QStringList({"COM3"}));
        EXPECT_EQ(PortMap[0], 2);
    }
    // Once the other process lets go, the port is listed again.
    m_form.cmbComSelDropDown();
    EXPECT_EQ(Items(), QStringList({"COM3", "COM5"}));
    EXPECT_EQ(m_form.cmbComSel->currentText(), "COM5");
}

TEST_F(DiscoveryTest, ASecondDiscoveryAfterAPortWentAwayGivesAShorterList)
{
    m_ports.Link(3);
    m_ports.Link(7);
    m_ports.Link(31);
    m_form.cmbComSelDropDown();
    EXPECT_EQ(Items(), QStringList({"COM3", "COM7", "COM31"}));
    EXPECT_EQ(PortMap[2], 30);

    m_ports.Unlink(7);
    m_form.cmbComSelDropDown();
    EXPECT_EQ(Items(), QStringList({"COM3", "COM31"}));
    EXPECT_EQ(m_form.cmbComSel->currentIndex(), 1);
    EXPECT_EQ(m_form.cmbComSel->currentText(), "COM31");
    EXPECT_EQ(PortMap[0], 2);
    EXPECT_EQ(PortMap[1], 30);
    // Beyond the new length the old entry stays, unused.
    EXPECT_EQ(PortMap[2], 30);
}

TEST_F(DiscoveryTest, ADropDownWhileAConnectWaitsLeavesTheListAndThePortAlone)
{
    const int master = m_ports.Link(3);
    m_form.cmbComSelDropDown();
    ASSERT_EQ(Items(), QStringList({"COM3"}));
    m_ports.Link(4);

    CBoxCloser closer;
    CFakeModule module(master, PasswordAnswer('1', 1, 3));
    module.m_bAnswerHeld = true;
    module.m_fnOnCommand = [&] {
        // Nested in the connect wait, as a click on the list would be.
        m_form.cmbComSel->showPopup();
        m_form.cmbComSel->hidePopup();
        module.m_bAnswerHeld = false;
    };
    m_form.btnConnectClick();

    EXPECT_EQ(Items(), QStringList({"COM3"}));
    EXPECT_EQ(m_form.cmbComSel->currentIndex(), 0);
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_TRUE(closer.m_vecBoxes.empty());
}

TEST_F(DiscoveryTest, ConnectPressedWhileADiscoveryPumpsEventsDoesNothing)
{
    m_ports.Link(3);
    CBoxCloser closer;
    bool clicked = false;
    QObject::connect(m_form.cmbComSel, &QComboBox::currentIndexChanged, &m_form, [&](int index) {
        if (index == 0 && !clicked) {
            clicked = true;
            QTimer::singleShot(0, &m_form, [this] { m_form.btnConnect->click(); });
        }
    });
    m_form.cmbComSelDropDown();

    EXPECT_TRUE(clicked);
    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_EQ(m_form.btnConnect->text(), "Connect");
    EXPECT_EQ(Items(), QStringList({"COM3"}));
}

// ---- What the status bar says ----

// What a tip shows: rich text as rendered, anything else as it stands.
QString ShownTip(const QString& tip)
{
    QTextDocument document;
    document.setHtml(tip);
    return Qt::mightBeRichText(tip) ? document.toPlainText() : tip;
}

class StatusBarTest;

struct StatusRow {
    const char* situation;
    // Sets up the ports, acts as the user and returns the status line expected;
    // `detail` is the diagnostic line the tip shows below it.
    std::function<QString(StatusBarTest& test, std::string& detail)> act;
};

class StatusBarTest : public DiscoveryTest, public ::testing::WithParamInterface<StatusRow> {};

TEST_P(StatusBarTest, SaysWhatTheUserCanActOn)
{
    SCOPED_TRACE(GetParam().situation);
    std::string detail;
    const QString expected = GetParam().act(*this, detail);

    QLabel* const status = m_form.lblPortStatus;
    EXPECT_EQ(status->text(), expected);
    // Plain text: a device's or a process's name is never taken for markup.
    EXPECT_EQ(status->textFormat(), Qt::PlainText);
    EXPECT_EQ(ShownTip(status->toolTip()),
              detail.empty() ? expected : expected + "\n" + detail.c_str());
    // A screen reader reads it by its text.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(status)->text(QAccessible::Name), expected);
}

// The console is ttyS0 on many machines: COM1 here stands for it.
void MakeCom1TheConsole(StatusBarTest& test)
{
    test.m_ports.Link(1);
    std::filesystem::create_directories(test.Sysfs() / "class/tty/console");
    std::ofstream(test.Sysfs() / "class/tty/console/active")
        << std::filesystem::read_symlink(test.m_ports.LinkOf(1)).string().substr(5) << "\n";
}

const StatusRow kStatusRows[] = {
    {"the selected port's device first, then why others did not open; the console is no failure",
     [](StatusBarTest& test, std::string&) {
         MakeCom1TheConsole(test);
         test.m_ports.Link(3);
         test.m_ports.Link(5);
         const CPortHolder holder(test.m_ports.LinkOf(5), "<b>holder</b>");
         test.m_form.cmbComSelDropDown();
         return test.DeviceLine(3) + ". " + test.DeviceLine(5).replace(": ", " (") +
                QString("): in use by <b>holder</b> (process %1).").arg(holder.m_pid);
     }},
    {"nothing opened but the console, and a device outside COM1 to COM31",
     [](StatusBarTest& test, std::string&) {
         MakeCom1TheConsole(test);
         std::filesystem::create_directories(test.Sysfs() / "class/tty/ttyAMA0");
         test.m_form.cmbComSelDropDown();
         return QString("COM1 is the system console and is left alone. Found /dev/ttyAMA0, which "
                        "is not one of COM1 to COM31: link it as COMn in a ZR9_PORT_DIR folder.");
     }},
    {"Connect cannot open the port, then a success clears it",
     [](StatusBarTest& test, std::string&) {
         test.m_ports.Link(3);
         test.m_form.cmbComSelDropDown();
         test.m_ports.Unlink(3);
         test.m_form.btnConnectClick();
         EXPECT_EQ(test.m_form.lblPortStatus->text(), "COM3 could not be opened: not there");
         CFakeModule module(test.m_ports.Link(3), PasswordAnswer('1', 1, 3));
         test.m_form.btnConnectClick();
         EXPECT_EQ(ConnectionState, Connected);
         return test.DeviceLine(3);
     }},
    {"Write: the line held the output",
     [](StatusBarTest& test, std::string& detail) {
         CFakeModule module(test.m_ports.Link(3), PasswordAnswer('1', 1, 3));
         test.m_form.cmbComSelDropDown();
         const int terminal = open(test.m_ports.LinkOf(3).c_str(), O_RDWR | O_NOCTTY);
         test.m_form.btnConnectClick();
         tcflow(terminal, TCOOFF);
         test.m_form.btnWriteClick();
         close(terminal);
         detail = "WaitForSingleObject Failed!";
         return QString("Write to COM3 failed: the line held the output for 2 s");
     }},
};

INSTANTIATE_TEST_SUITE_P(Situations, StatusBarTest, ::testing::ValuesIn(kStatusRows),
                         [](const auto& info) { return std::to_string(info.index); });

}  // namespace
