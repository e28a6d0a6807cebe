// 1000 sessions against the simulator: descriptors and memory must not grow.
#include <cstdio>

#include "connection.h"
#include "fault_fixture.h"

namespace {

constexpr int kCycles = 1000;
// Qt and the allocator settle during the first sessions.
constexpr int kWarmUpCycles = 20;
// The time limits of the connect and read waits, less a tenth: Qt's coarse
// timers may tick up to 5 % early.
constexpr long kConnectWaitMs = 2000 * 9 / 10;
constexpr long kReadWaitMs = 1000 * 9 / 10;
// More waits than this running out means a fault, not a loaded machine.
constexpr int kMostTimedOutCycles = kCycles / 100;

}  // namespace

using Soak = CWindowFixture;

TEST_F(Soak, ThousandSessionsLeakNoDescriptorsOrMemory)
{
    const auto simulator = StartSimulator({"--profile", ProfileHexNamed("SOAK")});
    PickPort(kCom);
    int descriptorsAtStart = 0;
    long residentAtStart = 0;
    int failedCycles = 0;
    int timedOutCycles = 0;
    const Clock::time_point start = Clock::now();
    for (int cycle = 0; cycle < kWarmUpCycles + kCycles; ++cycle) {
        if (cycle == kWarmUpCycles) {
            descriptorsAtStart = OpenDescriptorCount();
            residentAtStart = ResidentKib();
        }
        const long connectMs = Click(m_form->btnConnect);
        const bool connected = ConnectionState == Connected;
        m_form->LocalName->setText("");
        const long readMs = Click(m_form->btnRead);
        const bool read = LocalName() == "SOAK";
        // After a failed read the fields hold no profile: writing them would
        // give the module the blank name, and every later cycle would fail.
        if (read)
            Click(m_form->btnWrite);
        Click(m_form->btnConnect);
        if (connected && read && ConnectionState == Idle)
            continue;
        // A wait that runs out on a loaded machine is no fault; a cycle that
        // fails before its wait is over is one.
        const bool timedOut = connected ? readMs >= kReadWaitMs : connectMs >= kConnectWaitMs;
        if (timedOut && ConnectionState == Idle)
            ++timedOutCycles;
        else
            ++failedCycles;
    }
    const int descriptorsAtEnd = OpenDescriptorCount();
    const long residentAtEnd = ResidentKib();
    std::printf("soak: %d cycles of connect, read, write, disconnect in %ld ms\n", kCycles,
                MillisecondsSince(start));
    std::printf("soak: open descriptors %d at start, %d at end\n", descriptorsAtStart,
                descriptorsAtEnd);
    std::printf("soak: resident memory %ld KiB at start, %ld KiB at end\n", residentAtStart,
                residentAtEnd);
    std::printf("soak: %d cycles failed, %d ran out of time\n", failedCycles, timedOutCycles);

    EXPECT_EQ(failedCycles, 0);
    EXPECT_LE(timedOutCycles, kMostTimedOutCycles);
    // The only box is a connect's that ran out of time.
    for (const std::string& text : m_boxes.Texts())
        EXPECT_EQ(text, kNoAnswerMessage);
    EXPECT_EQ(descriptorsAtEnd, descriptorsAtStart);
#if !defined(__SANITIZE_ADDRESS__)
    // A leak of even a few bytes per session would show as 1000 times that.
    EXPECT_LT(residentAtEnd - residentAtStart, 1024);
#endif
}
