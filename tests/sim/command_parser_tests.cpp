#include <gtest/gtest.h>

#include <random>

#include "module_commands.h"
#include "sim_bytes.h"

namespace {

std::vector<ModuleCommand> FeedInChunks(const Bytes& stream, const std::vector<std::size_t>& cuts)
{
    CCommandParser parser;
    std::vector<ModuleCommand> commands;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        auto part = parser.Feed(stream.data() + from, cut - from);
        commands.insert(commands.end(), part.begin(), part.end());
        from = cut;
    }
    auto rest = parser.Feed(stream.data() + from, stream.size() - from);
    commands.insert(commands.end(), rest.begin(), rest.end());
    return commands;
}

std::vector<ModuleCommand> FeedWhole(const Bytes& stream)
{
    return FeedInChunks(stream, {});
}

std::vector<CommandKind> Kinds(const std::vector<ModuleCommand>& commands)
{
    std::vector<CommandKind> kinds;
    for (const ModuleCommand& command : commands)
        kinds.push_back(command.m_kind);
    return kinds;
}

const std::vector<CommandKind> kAllFour = {CommandKind::Connect, CommandKind::ReadProfile,
                                           CommandKind::WriteProfile, CommandKind::Reboot};

Bytes AllFour()
{
    return ConnectCommand("6874") + Text("AT+PROG=R\n\r") + WriteCommand(AwkwardProfile()) +
           Text("AT+REBOOT\n\r");
}

TEST(CommandParser, TakesEachCommandWithItsData)
{
    const auto commands = FeedWhole(AllFour());
    ASSERT_EQ(Kinds(commands), kAllFour);
    EXPECT_EQ(commands[0].m_abyPassword, (std::array<std::uint8_t, 4>{'6', '8', '7', '4'}));
    EXPECT_EQ(commands[2].m_abyProfile, AwkwardProfile());
}

TEST(CommandParser, SameCommandsWhateverTheSplitAcrossReads)
{
    const Bytes stream = AllFour();
    for (std::size_t cut = 1; cut < stream.size(); ++cut)
        ASSERT_EQ(Kinds(FeedInChunks(stream, {cut})), kAllFour) << "cut at " << cut;

    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i)
        everyByte.push_back(i);
    const auto bytewise = FeedInChunks(stream, everyByte);
    ASSERT_EQ(Kinds(bytewise), kAllFour);
    EXPECT_EQ(bytewise[2].m_abyProfile, AwkwardProfile());
}

TEST(CommandParser, SkipsJunkBeforeBetweenAndAfterCommands)
{
    const Bytes junk = Text("\r\n\rxyzAT") + Bytes{0x00, 0xFF} + Text("AT+AT+PRO+PWD=1\n");
    const Bytes stream = junk + ConnectCommand("6874") + junk + Text("AT+PROG=R\n\r") + junk +
                         WriteCommand(DefaultProfile) + junk + Text("AT+REBOOT\n\r") + junk;
    EXPECT_EQ(Kinds(FeedWhole(stream)), kAllFour);
}

TEST(CommandParser, RecordBytesThatLookLikeCommandsStayRecordBytes)
{
    // The record carries "AT+REBOOT\n\r" and "AT+PROG=R\n\r": neither is a command.
    const auto commands = FeedWhole(WriteCommand(AwkwardProfile()));
    ASSERT_EQ(Kinds(commands), std::vector<CommandKind>{CommandKind::WriteProfile});
    EXPECT_EQ(commands[0].m_abyProfile, AwkwardProfile());
}

TEST(CommandParser, PasswordBytesMayHoldLineEnds)
{
    const auto commands = FeedWhole(ConnectCommand("\n\r\n\r") + ConnectCommand("68\0" "1"));
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].m_abyPassword, (std::array<std::uint8_t, 4>{'\n', '\r', '\n', '\r'}));
    EXPECT_EQ(commands[1].m_abyPassword, (std::array<std::uint8_t, 4>{'6', '8', 0, '1'}));
}

TEST(CommandParser, RejectsWrongEndingsAndFindsTheCommandBehindThem)
{
    Bytes noFlag = ConnectCommand("6874");
    noFlag[13] = 0x02;
    EXPECT_TRUE(FeedWhole(noFlag).empty());
    EXPECT_TRUE(FeedWhole(Text("AT+PROG=R\r\n")).empty());
    EXPECT_TRUE(FeedWhole(Text("at+prog=r\n\r")).empty());
    EXPECT_TRUE(FeedWhole(Text("AT+REBOOT\n")).empty());

    // A command cut short and followed by a whole one.
    EXPECT_EQ(Kinds(FeedWhole(Text("AT+PROG=RAT+REBOOT\n\r"))),
              std::vector<CommandKind>{CommandKind::Reboot});
    EXPECT_EQ(Kinds(FeedWhole(Text("AT+PROG=?68AT+PROG=R\n\r"))),
              std::vector<CommandKind>{CommandKind::ReadProfile});
}

TEST(CommandParser, WriteCutShortGivesUpTheCommandsInsideItOnlyWhenItFails)
{
    // A write header whose record is missing swallows what follows until 75
    // bytes are there; its ending then does not fit and the read behind it counts.
    const Bytes stream = Text("AT+PROG=W") + Text("AT+PROG=R\n\r") + Bytes(60, 'x');
    EXPECT_EQ(Kinds(FeedWhole(stream)), std::vector<CommandKind>{CommandKind::ReadProfile});
}

TEST(CommandParser, StalledPartialCommandIsGivenUp)
{
    CCommandParser parser;
    const Bytes stream = Text("AT+PROG=W") + Text("AT+PROG=R\n\r");
    EXPECT_TRUE(parser.Feed(stream.data(), stream.size()).empty());
    EXPECT_TRUE(parser.HoldsPartialCommand());
    EXPECT_EQ(Kinds(parser.DropStalled()), std::vector<CommandKind>{CommandKind::ReadProfile});
    EXPECT_FALSE(parser.HoldsPartialCommand());
    EXPECT_TRUE(parser.DropStalled().empty());
}

TEST(CommandParser, ResetForgetsAPartialCommand)
{
    CCommandParser parser;
    const Bytes head = Text("AT+PROG");
    const Bytes tail = Text("=R\n\r");
    parser.Feed(head.data(), head.size());
    parser.Reset();
    EXPECT_FALSE(parser.HoldsPartialCommand());
    EXPECT_TRUE(parser.Feed(tail.data(), tail.size()).empty());
}

TEST(CommandParser, RandomJunkAndSplitsNeverLoseACleanCommand)
{
    // Junk without 'A' cannot start a command, so every command must come through.
    std::mt19937 random(6874);
    std::uniform_int_distribution<int> junkByte(0, 255);
    for (int round = 0; round < 200; ++round) {
        Bytes stream;
        std::vector<CommandKind> expected;
        for (int i = 0; i < 6; ++i) {
            for (int n = random() % 8; n > 0; --n) {
                const int byte = junkByte(random);
                stream.push_back(byte == 'A' ? 'B' : static_cast<std::uint8_t>(byte));
            }
            const CommandKind kind = kAllFour[random() % 4];
            expected.push_back(kind);
            stream = stream + (kind == CommandKind::Connect        ? ConnectCommand("6874")
                               : kind == CommandKind::ReadProfile  ? Text("AT+PROG=R\n\r")
                               : kind == CommandKind::WriteProfile ? WriteCommand(AwkwardProfile())
                                                                   : Text("AT+REBOOT\n\r"));
        }
        std::vector<std::size_t> cuts;
        for (std::size_t at = 1 + random() % 20; at < stream.size(); at += 1 + random() % 20)
            cuts.push_back(at);
        ASSERT_EQ(Kinds(FeedInChunks(stream, cuts)), expected) << "round " << round;
    }
}

}  // namespace
