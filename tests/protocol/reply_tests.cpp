// Reply lines assembled from the port, and the wait that polls for them.
#include "protocol_fixture.h"

namespace {

class CReplyFixture : public CProtocolFixture {
protected:
    void SetUp() override
    {
        CProtocolFixture::SetUp();
        SerialPort.SetPort(kPortIndex);
        ASSERT_EQ(SerialPort.Open(), 1);
    }

    // Waits as Read does, with the module sending `bytes` after 10 ms; the
    // wait ends after `linesWanted` lines or at the tick.
    void Wait(const std::string& bytes, std::size_t linesWanted, int intervalMs = 1000,
              int progressMaximum = 100, bool extraPump = false)
    {
        if (!bytes.empty())
            m_window.At(m_window.m_nNowMs + 10, [this, bytes] { m_module.Send(bytes); });
        WaitLoop(m_window, intervalMs, progressMaximum, extraPump,
                 [this, linesWanted](const std::uint8_t* line, std::size_t length) {
                     m_vLines.emplace_back(line, line + length);
                     if (m_vLines.size() == linesWanted)
                         TimeoutFlag = 1;
                 });
    }

    std::vector<Bytes> m_vLines;
};

using ReplyAssembly = CReplyFixture;
using ReplyWait = CReplyFixture;

TEST_F(ReplyAssembly, NoiseBeforeThePlusIsDroppedAndEveryByteOfTheLineIsKept)
{
    Wait(std::string("\r\nzz+A+\0\rB\n", 11), 1);
    ASSERT_EQ(m_vLines.size(), 1u);
    EXPECT_EQ(m_vLines[0], ToBytes(std::string("+A+\0\rB\n", 7)));
}

TEST_F(ReplyAssembly, StrayLineFeedCompletesNoLine)
{
    Wait("\n\r\nxy\n", 1);
    EXPECT_TRUE(m_vLines.empty());
    EXPECT_EQ(ReplyFillIndex, 0);
}

TEST_F(ReplyAssembly, RawBytesOfTheProfileAndPasswordAnswersNeverEndTheLine)
{
    const std::string record(kProfileSize, '\n');
    // Cut short before their raw bytes, both still end at their line feed.
    Wait("+PROG\n+PROG=R" + record + "\r\n+PWD\n+PWD=\n\n\n\n+OK\n", 5);
    ASSERT_EQ(m_vLines.size(), 5u);
    EXPECT_EQ(m_vLines[0], ToBytes("+PROG\n"));
    EXPECT_EQ(m_vLines[1], ToBytes("+PROG=R" + record + "\r\n"));
    EXPECT_EQ(m_vLines[2], ToBytes("+PWD\n"));
    EXPECT_EQ(m_vLines[3], ToBytes("+PWD=\n\n\n\n"));
    EXPECT_EQ(m_vLines[4], ToBytes("+OK\n"));
}

TEST_F(ReplyAssembly, OverLongLineKeepsWhatFitsAndEndsAtItsLineFeed)
{
    Wait("+" + std::string(299, 'x') + "\n+OK\n", 2);
    ASSERT_EQ(m_vLines.size(), 2u);
    EXPECT_EQ(m_vLines[0], ToBytes("+" + std::string(kReplyLineSize - 1, 'x')));
    EXPECT_EQ(m_vLines[1], ToBytes("+OK\n"));
}

TEST_F(ReplyAssembly, EachWaitStartsWithAnEmptyLine)
{
    Wait("+PW", 1);
    ASSERT_TRUE(m_vLines.empty());
    EXPECT_EQ(ReplyFillIndex, 3);

    Wait("+OK\n", 1);
    ASSERT_EQ(m_vLines.size(), 1u);
    EXPECT_EQ(m_vLines[0], ToBytes("+OK\n"));
}

TEST_F(ReplyWait, EndsAtTheTimerTickWithTheTimerStopped)
{
    Wait("+ignored", 1);
    EXPECT_TRUE(m_vLines.empty());
    EXPECT_EQ(TimeoutFlag, 1);
    EXPECT_FALSE(m_window.m_bTimerEnabled);
    EXPECT_EQ(m_window.m_nTimerInterval, 1000);
    EXPECT_GE(m_window.m_nNowMs, 1000);
    EXPECT_LT(m_window.m_nNowMs, 1010);
    EXPECT_EQ(m_window.LogOf({"progress", "timer", "tick"}),
              (std::vector<std::string>{"timer start", "progress 100", "tick"}));
    // One step per pass, each sleeping its limit once the module is silent.
    EXPECT_NEAR(m_window.m_nProgressPosition, 1000 / (kIdlePassMs + 1), 3);
}

TEST_F(ReplyWait, AcceptedLineEndsTheWaitBeforeTheTick)
{
    Wait("+OK\n", 1);
    EXPECT_EQ(m_vLines.size(), 1u);
    EXPECT_LT(m_window.m_nNowMs, 1000);
    EXPECT_EQ(ReplyFillIndex, 0);
}

TEST_F(ReplyWait, ExtraPumpProcessesEventsTwicePerPass)
{
    Wait("", 1, 2000, 20000, true);
    // One step per pass: two pumps of a millisecond and a sleep each.
    EXPECT_NEAR(m_window.m_nProgressPosition, 2000 / (2 + kIdlePassMs), 3);
}

}  // namespace
