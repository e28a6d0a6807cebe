// 1000 sessions against the simulator: descriptors and memory must not grow.
#include <cstdio>

#include "connection.h"
#include "fault_fixture.h"

namespace {

constexpr int kCycles = 1000;
// Qt and the allocator settle during the first sessions.
constexpr int kWarmUpCycles = 20;

}  // namespace

using Soak = CWindowFixture;

TEST_F(Soak, ThousandSessionsLeakNoDescriptorsOrMemory)
{
    const auto simulator = StartSimulator({"--profile", ProfileHexNamed("SOAK")});
    PickPort(kCom);
    int descriptorsAtStart = 0;
    long residentAtStart = 0;
    int failedCycles = 0;
    const Clock::time_point start = Clock::now();
    for (int cycle = 0; cycle < kWarmUpCycles + kCycles; ++cycle) {
        if (cycle == kWarmUpCycles) {
            descriptorsAtStart = OpenDescriptorCount();
            residentAtStart = ResidentKib();
        }
        Click(m_form->btnConnect);
        const bool connected = ConnectionState == Connected;
        m_form->LocalName->setText("");
        Click(m_form->btnRead);
        const bool read = LocalName() == "SOAK";
        Click(m_form->btnWrite);
        Click(m_form->btnConnect);
        if (!connected || !read || ConnectionState != Idle)
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

    EXPECT_EQ(failedCycles, 0);
    EXPECT_TRUE(m_boxes.Texts().empty());
    EXPECT_EQ(descriptorsAtEnd, descriptorsAtStart);
#if !defined(__SANITIZE_ADDRESS__)
    // A leak of even a few bytes per session would show as 1000 times that.
    EXPECT_LT(residentAtEnd - residentAtStart, 1024);
#endif
}
