#include <gtest/gtest.h>

#include "sim_bytes.h"
#include "simulated_module.h"

namespace {

ModuleCommand Connect(const char (&password)[5])
{
    ModuleCommand command;
    command.m_kind = CommandKind::Connect;
    std::memcpy(command.m_abyPassword.data(), password, 4);
    return command;
}

ModuleCommand Simple(CommandKind kind)
{
    ModuleCommand command;
    command.m_kind = kind;
    return command;
}

ModuleCommand Write(const ProfileBytes& profile)
{
    ModuleCommand command = Simple(CommandKind::WriteProfile);
    command.m_abyProfile = profile;
    return command;
}

Bytes PasswordAnswer(char status, std::uint8_t major, std::uint8_t minor)
{
    return Text("+PWD=") + Bytes{static_cast<std::uint8_t>(status), major, minor, '\n', '\r'};
}

TEST(SimulatedModule, ConnectChecksThePasswordOfItsProfile)
{
    CSimulatedModule module{ModuleBehaviour{}};
    EXPECT_EQ(module.Execute(Connect("6874")), PasswordAnswer('1', 1, 3));
    EXPECT_EQ(module.Execute(Connect("6875")), PasswordAnswer('0', 1, 3));
    EXPECT_EQ(module.Execute(Connect("687\0")), PasswordAnswer('0', 1, 3));
}

TEST(SimulatedModule, ShortPasswordMatchesUpToItsTerminatorWhateverTheFiller)
{
    ModuleBehaviour behaviour;
    SetConfigPassword(behaviour.m_abyProfile, "68");
    EXPECT_EQ(behaviour.m_abyProfile[26], 0);
    CSimulatedModule module{behaviour};
    // The tool sends "68", its terminator and a filler digit of its template.
    EXPECT_EQ(module.Execute(Connect("68\0" "1"))[5], '1');
    EXPECT_EQ(module.Execute(Connect("6874"))[5], '0');
    EXPECT_EQ(module.Execute(Connect("6\0" "81"))[5], '0');
}

TEST(SimulatedModule, WrittenProfileIsReadBackAndItsPasswordCounts)
{
    CSimulatedModule module{ModuleBehaviour{}};
    ProfileBytes written = AwkwardProfile();
    SetConfigPassword(written, "abcd");
    EXPECT_TRUE(module.Execute(Write(written)).empty());
    EXPECT_EQ(module.Profile(), written);
    EXPECT_EQ(module.Execute(Simple(CommandKind::ReadProfile)), ProfileAnswer(written));
    EXPECT_EQ(module.Execute(Connect("abcd"))[5], '1');
    EXPECT_EQ(module.Execute(Connect("6874"))[5], '0');
}

TEST(SimulatedModule, ReadAnswersItsStartingProfile)
{
    CSimulatedModule fresh{ModuleBehaviour{}};
    EXPECT_EQ(fresh.Execute(Simple(CommandKind::ReadProfile)), ProfileAnswer(DefaultProfile));
}

TEST(SimulatedModule, PlayedFailuresAndVersion)
{
    ModuleBehaviour refusing;
    refusing.m_passwordCheck = PasswordCheck::RefuseAll;
    refusing.m_byVersionMajor = 255;
    refusing.m_byVersionMinor = 0;
    EXPECT_EQ(CSimulatedModule{refusing}.Execute(Connect("6874")), PasswordAnswer('0', 255, 0));

    ModuleBehaviour versionError;
    versionError.m_passwordCheck = PasswordCheck::VersionError;
    EXPECT_EQ(CSimulatedModule{versionError}.Execute(Connect("6874")), Text("+VER\n\r"));

    ModuleBehaviour silent;
    silent.m_bSilent = true;
    CSimulatedModule module{silent};
    EXPECT_TRUE(module.Execute(Connect("6874")).empty());
    EXPECT_TRUE(module.Execute(Simple(CommandKind::ReadProfile)).empty());
    module.Execute(Write(AwkwardProfile()));
    EXPECT_EQ(module.Profile(), DefaultProfile);
}

TEST(SimulatedModule, RebootAnswersNothingAndLaterCommandsWork)
{
    CSimulatedModule module{ModuleBehaviour{}};
    module.Execute(Write(AwkwardProfile()));
    EXPECT_TRUE(module.Execute(Simple(CommandKind::Reboot)).empty());
    EXPECT_EQ(module.RebootCount(), 1);
    EXPECT_EQ(module.Execute(Simple(CommandKind::ReadProfile)), ProfileAnswer(AwkwardProfile()));
}

}  // namespace
