// Port discovery over pseudo-terminals linked in ZR9_PORT_DIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTest>

#include "app_test_support.h"
#include "connection.h"

namespace {

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }

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
    const int com7 = m_ports.Link(7);
    EXPECT_EQ(m_form.cmbComSel->currentText(), " ");

    m_form.cmbComSelDropDown();

    EXPECT_EQ(Items(), QStringList({"COM3", "COM7"}));
    // The status bar names the device behind the selected port, and follows a choice.
    const auto device = [this](int com, int master) {
        return QString("COM%1: %2 -> %3")
            .arg(com)
            .arg(m_ports.LinkOf(com).c_str())
            .arg(ptsname(master));
    };
    EXPECT_EQ(m_form.StatusBar1->currentMessage(), device(7, com7));
    emit m_form.cmbComSel->activated(0);
    EXPECT_EQ(m_form.StatusBar1->currentMessage(), device(3, com3));
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
    EXPECT_EQ(m_form.StatusBar1->currentMessage(),
              QString("No serial device found: COM1 to COM31 are the links of that name in %1.")
                  .arg(m_ports.Path().c_str()));
    EXPECT_EQ(PortMap[0], 5);
    EXPECT_EQ(PortMap[1], 9);
}

TEST_F(DiscoveryTest, APortHeldByAnotherProcessIsLeftOut)
{
    m_ports.Link(3);
    m_ports.Link(5);
    int toParent[2], toChild[2];
    ASSERT_EQ(pipe(toParent), 0);
    ASSERT_EQ(pipe(toChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(m_ports.LinkOf(5).c_str(), O_RDWR | O_NOCTTY);
        const char ready = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
        char done;
        // Holds the lock until the parent's byte arrives or the pipe closes.
        const bool released = write(toParent[1], &ready, 1) == 1 && read(toChild[0], &done, 1) == 1;
        _exit(released ? 0 : 1);
    }
    char ready = 0;
    ASSERT_EQ(read(toParent[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'y');

    m_form.cmbComSelDropDown();
    EXPECT_EQ(Items(), QStringList({"COM3"}));
    EXPECT_EQ(PortMap[0], 2);

    // Once the other process lets go, the port is listed again.
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
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

}  // namespace
