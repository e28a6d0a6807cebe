// Faults of the module and the line, against the window: no crash, no wait
// past its timer, at most one line on standard error per failed operation,
// the window still usable and the next good session working.
#include <signal.h>

#include <QTimer>

#include "connection.h"
#include "fault_fixture.h"
#include "reply.h"

namespace {

// Kills the simulator as soon as `fill` bytes of a reply line have come;
// paced at 1200 bit/s, the rest of the line is then still unsent.
class CKillMidReply {
public:
    CKillMidReply(CSimProcess& simulator, int fill)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this, &simulator, fill] {
            if (!m_bKilled && ReplyFillIndex >= fill) {
                simulator.Stop(SIGKILL);
                m_bKilled = true;
            }
        });
        m_timer.start(0);
    }
    bool m_bKilled = false;

private:
    QTimer m_timer;
};

const std::vector<std::string> kPaced = {"--line-rate", "1200"};

}  // namespace

// The simulator holds the master side of its pseudo-terminal: when it dies
// the kernel hangs up the window's side, as when an adapter is unplugged.
class ModuleVanishes : public CWindowFixture {
protected:
    // Clicks `button` while the module dies in the middle of its answer: the
    // wait ends at once, well before its timer's `timerMs` (a coarse timer
    // may tick 5 % early), with at most one line on standard error, and the
    // window is idle without a box.
    void ExpectEndsAtOnceAsUnplugged(QAbstractButton* button, long timerMs,
                                     const CKillMidReply& killer)
    {
        CStderrCapture errors(CStderrCapture::End::Replay);
        EXPECT_LT(Click(button), timerMs * 9 / 10);
        ASSERT_TRUE(killer.m_bKilled);
        EXPECT_LE(errors.Lines(), 1);
        EXPECT_EQ(ConnectionState, Idle);
        EXPECT_TRUE(m_boxes.Texts().empty());
    }
};

TEST_F(ModuleVanishes, MidConnectAnswerEndsAtOnceAsUnplugged)
{
    const auto simulator = StartSimulator(kPaced);
    PickPort(kCom);
    CKillMidReply killer(*simulator, 3);
    ExpectEndsAtOnceAsUnplugged(m_form->btnConnect, 2000, killer);

    const auto restarted = StartSimulator({"--profile", ProfileHexNamed("AFTER CRASH")});
    ExpectGoodSession("AFTER CRASH");
}

TEST_F(ModuleVanishes, MidProfileReadEndsAtOnceAsUnpluggedAndKeepsTheFields)
{
    auto simulator = StartSimulator({"--line-rate", "1200", "--profile", ProfileHexNamed("HALF SENT")});
    PickPort(kCom);
    Click(m_form->btnConnect);
    ASSERT_EQ(ConnectionState, Connected);

    m_form->LocalName->setText("BEFORE");
    CKillMidReply killer(*simulator, 20);
    ExpectEndsAtOnceAsUnplugged(m_form->btnRead, 1000, killer);
    EXPECT_EQ(LocalName(), "BEFORE");

    simulator = StartSimulator({"--profile", ProfileHexNamed("AFTER CRASH")});
    ExpectGoodSession("AFTER CRASH");
}

using ModuleFloods = CWindowFixture;

TEST_F(ModuleFloods, WithoutLineFeedsConnectEndsAtTheTimer)
{
    CFaultyLine line(m_ports, kCom);
    PickPort(kCom);
    line.m_bFlood = true;
    ExpectConnectEndsAtTheTimer();
    EXPECT_GT(line.FloodedBytes(), 1000u);

    line.m_bFlood = false;
    ExpectGoodSession("BLE UART");
}

TEST_F(ModuleFloods, WithoutLineFeedsReadEndsAtTheTimerAndKeepsTheFields)
{
    CFaultyLine line(m_ports, kCom, {ProfileNamed("FLOODER")});
    PickPort(kCom);
    Click(m_form->btnConnect);
    ASSERT_EQ(ConnectionState, Connected);
    m_form->LocalName->setText("BEFORE");
    line.m_bFlood = true;
    {
        CStderrCapture errors(CStderrCapture::End::Replay);
        EXPECT_LT(Click(m_form->btnRead), kWaitLimitMs);
        EXPECT_LE(errors.Lines(), 1);
    }
    EXPECT_EQ(LocalName(), "BEFORE");
    EXPECT_TRUE(m_boxes.Texts().empty());

    // Reconnecting empties the line of what the flood left queued.
    line.m_bFlood = false;
    Click(m_form->btnConnect);
    ExpectGoodSession("FLOODER");
}

using ModuleAnswersLate = CWindowFixture;

TEST_F(ModuleAnswersLate, ConnectAnswerAfterTheTimerIsNotTakenForTheNextConnect)
{
    CFaultyLine line(m_ports, kCom);
    line.m_nAnswerDelayMs = 2500;
    PickPort(kCom);
    ExpectConnectEndsAtTheTimer();
    // Let the late answer go out to the closed port.
    RunEventsUntil([] { return false; }, 1000);

    line.m_nAnswerDelayMs = 0;
    ExpectGoodSession("BLE UART");
}

TEST_F(ModuleAnswersLate, ReadAnswerAfterTheTimerIsNotTakenForTheNextRead)
{
    CFaultyLine line(m_ports, kCom, {ProfileNamed("LATE NAME")});
    PickPort(kCom);
    Click(m_form->btnConnect);
    ASSERT_EQ(ConnectionState, Connected);

    line.m_nAnswerDelayMs = 1500;
    m_form->LocalName->setText("BEFORE");
    {
        CStderrCapture errors(CStderrCapture::End::Replay);
        EXPECT_LT(Click(m_form->btnRead), kWaitLimitMs);
        EXPECT_EQ(errors.Lines(), 0);
    }
    EXPECT_EQ(LocalName(), "BEFORE");
    // The late answer comes while no command waits; then the user writes a
    // new name, and the next Read must show that, not the late answer.
    RunEventsUntil([] { return false; }, 1000);
    line.m_nAnswerDelayMs = 0;
    m_form->LocalName->setText("WRITTEN");
    Click(m_form->btnWrite);
    m_form->LocalName->setText("not read yet");
    EXPECT_LT(Click(m_form->btnRead), kWaitLimitMs);
    EXPECT_EQ(LocalName(), "WRITTEN");
    EXPECT_TRUE(m_boxes.Texts().empty());

    Click(m_form->btnConnect);
    ExpectGoodSession("WRITTEN");
}

using PortVanishes = CWindowFixture;

TEST_F(PortVanishes, BetweenDiscoveryAndConnectShowsFailWithOneLine)
{
    auto simulator = StartSimulator();
    PickPort(kCom);
    simulator.reset();  // stops it; its link goes
    {
        CStderrCapture errors(CStderrCapture::End::Replay);
        EXPECT_LT(Click(m_form->btnConnect), kWaitLimitMs);
        EXPECT_EQ(errors.Lines(), 1);
        EXPECT_EQ(errors.Text().rfind("CreateFile failed with error ", 0), 0u) << errors.Text();
    }
    EXPECT_EQ(ConnectCaption(), "Fail");
    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_TRUE(m_boxes.Texts().empty());

    simulator = StartSimulator();
    ExpectGoodSession("BLE UART");
}
