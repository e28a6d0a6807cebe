// The module session: what each step ends in, as values, on its own port
// and with waits of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "commands.h"
#include "module_session.h"
#include "pty_module.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPortIndex = 4;  // COM5
const std::string kAccepted = std::string("+PWD=1\x01\x03\n");

std::string ProfileAnswer(const ProfileBytes& record)
{
    return "+PROG=R" + std::string(record.begin(), record.end()) + "\n";
}

// Plays the module's side: for each command of `commandSize` bytes, waits
// `delay`, then sends `answer`, or hangs the line up when it is empty.
std::thread Answer(CPtyModule& module, std::size_t commandSize, int times,
                   std::chrono::milliseconds delay, std::string answer)
{
    return std::thread([&module, commandSize, times, delay, answer] {
        for (int i = 0; i < times; ++i) {
            module.Received(commandSize);
            std::this_thread::sleep_for(delay);
            if (answer.empty())
                module.HangUp();
            else
                module.SendNow(answer);
        }
    });
}

TEST(Session, ConnectOutcomes)
{
    const struct {
        const char* name;
        int portIndex;
        std::string answer;  // "-": none; "": the line hangs up
        SessionOutcome outcome;
        const char* version;
        // Opened and held first: a failed connect leaves the port open
        // unless its device went away.
        bool held = false;
    } cases[] = {
        {"accepted", kPortIndex, kAccepted, SessionOutcome::Done, "1.03"},
        {"other lines first", kPortIndex, "+OK\n+PW\n" + kAccepted, SessionOutcome::Done, "1.03"},
        {"refused", kPortIndex, std::string("+PWD=0\x02\x07\n"), SessionOutcome::PasswordRefused,
         "2.07"},
        {"version", kPortIndex, "+VER\n", SessionOutcome::VersionRefused, "0.00"},
        {"no answer", kPortIndex, "-", SessionOutcome::NoAnswer, "0.00"},
        {"not opened", 9, "-", SessionOutcome::PortNotOpened, "0.00"},
        {"device gone", kPortIndex, "", SessionOutcome::DeviceGone, "0.00"},
        {"held, refused", kPortIndex, std::string("+PWD=0\x02\x07\n"),
         SessionOutcome::PasswordRefused, "2.07", true},
        {"held, no answer", kPortIndex, "-", SessionOutcome::NoAnswer, "0.00", true},
        {"held, device gone", kPortIndex, "", SessionOutcome::DeviceGone, "0.00", true},
    };
    for (const auto& c : cases) {
        CPtyModule module(kPortIndex);
        CModuleSession session(c.portIndex);
        if (c.held) {
            ASSERT_EQ(session.Open(), SessionOutcome::Done) << c.name;
        }
        std::thread module_side;
        if (c.answer != "-")
            module_side = Answer(module, kConnectCommandSize, 1, 50ms, c.answer);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(session.Connect("6874", 800ms), c.outcome) << c.name;
        const auto took = std::chrono::steady_clock::now() - start;
        if (module_side.joinable())
            module_side.join();
        const bool held = c.held && c.outcome != SessionOutcome::DeviceGone;
        EXPECT_EQ(session.IsOpen(), c.outcome == SessionOutcome::Done || held) << c.name;
        EXPECT_EQ(session.Version().Text(), c.version) << c.name;
        if (c.outcome == SessionOutcome::NoAnswer) {
            EXPECT_GE(took, 800ms);
        }
        if (c.outcome == SessionOutcome::DeviceGone) {
            EXPECT_LT(took, 700ms);
            EXPECT_TRUE(session.Failure().deviceGone);
        }
        if (c.outcome == SessionOutcome::PortNotOpened) {
            EXPECT_EQ(session.Failure().operation, PortOperation::Open);
        }
    }
}

// Each Read has its own full second: a module that answers in 0.5 s answers
// the Read after a Write too. A profile line cut short is no answer.
TEST(Session, ReadOutcomes)
{
    ProfileBytes sent = DefaultProfile;
    std::memcpy(sent.data() + 40, "SLOW\nONE", 9);
    const struct {
        const char* name;
        std::chrono::milliseconds delay;
        std::string answer;
        SessionOutcome outcome;
    } cases[] = {
        {"slow module", 500ms, ProfileAnswer(sent), SessionOutcome::Done},
        {"other line first", 50ms, "+OK\n" + ProfileAnswer(sent), SessionOutcome::Done},
        {"cut short", 50ms, ProfileAnswer(sent).substr(0, 20), SessionOutcome::NoAnswer},
    };
    for (const auto& c : cases) {
        CPtyModule module(kPortIndex);
        CModuleSession session(kPortIndex);
        std::thread module_side = Answer(module, kConnectCommandSize, 1, 10ms, kAccepted);
        ASSERT_EQ(session.Connect("6874"), SessionOutcome::Done);
        module_side.join();
        module_side = Answer(module, sizeof kReadCommand, 2, c.delay, c.answer);
        for (int i = 0; i < 2; ++i) {
            ProfileBytes record{};
            EXPECT_EQ(session.Read(record), c.outcome) << c.name << " " << i;
            if (c.outcome == SessionOutcome::Done) {
                EXPECT_EQ(record, sent) << c.name;
            }
        }
        module_side.join();
    }
}

TEST(Session, WriteAndRebootSendTheWindowsBytesUntilTheLineHangsUp)
{
    CPtyModule module(kPortIndex);
    CModuleSession session(kPortIndex);
    std::thread module_side = Answer(module, kConnectCommandSize, 1, 10ms, kAccepted);
    ASSERT_EQ(session.Connect("6874"), SessionOutcome::Done);
    module_side.join();

    ProfileBytes record = DefaultProfile;
    record[40] = '\n';
    EXPECT_EQ(session.Write(record), SessionOutcome::Done);
    const auto command = BuildWriteCommand(record);
    EXPECT_EQ(module.Received(command.size()), Bytes(command.begin(), command.end()));
    EXPECT_EQ(session.Reboot(), SessionOutcome::Done);
    EXPECT_EQ(module.Received(11), ToBytes("AT+REBOOT\n\r"));

    module.HangUp();
    EXPECT_EQ(session.Reboot(), SessionOutcome::DeviceGone);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(session.Write(record), SessionOutcome::PortNotOpened);
}

// The stop request is the process's: it is tried in a child process.
TEST(SessionDeathTest, StopEndsTheWaitAtOnce)
{
    const auto stopped = [] {
        CPtyModule module(kPortIndex);
        CModuleSession session(kPortIndex);
        std::thread stopper([] {
            std::this_thread::sleep_for(100ms);
            CModuleSession::RequestStop();
        });
        const auto start = std::chrono::steady_clock::now();
        const SessionOutcome outcome = session.Connect("6874");
        const bool atOnce = std::chrono::steady_clock::now() - start < 1s;
        stopper.join();
        return outcome == SessionOutcome::Stopped && atOnce && !session.IsOpen() &&
               session.Connect("6874") == SessionOutcome::Stopped;
    };
    EXPECT_EXIT(std::exit(stopped() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
