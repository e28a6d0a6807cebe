// The behaviour of the simulated module: what it answers to each command and
// what a command changes in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module_commands.h"
#include "profile.h"

enum class PasswordCheck { Compare, RefuseAll, VersionError };

struct ModuleBehaviour {
    ProfileBytes m_abyProfile = DefaultProfile;
    std::uint8_t m_byVersionMajor = 1;
    std::uint8_t m_byVersionMinor = 3;
    PasswordCheck m_passwordCheck = PasswordCheck::Compare;
    // Answers nothing and acts on nothing, like a module in its data mode.
    bool m_bSilent = false;
    // Takes write commands without storing them, like a module whose
    // configuration memory has failed.
    bool m_bIgnoreWrites = false;
};

// Stores `password` (at most 4 characters) as the record's configuration
// password: the module checks connect commands against its own record, so a
// written profile with a new password changes the password it asks for.
void SetConfigPassword(ProfileBytes& profile, const std::string& password);

class CSimulatedModule {
public:
    explicit CSimulatedModule(const ModuleBehaviour& behaviour) : m_behaviour(behaviour) {}

    // Acts on one command and returns the bytes it answers (none for most).
    std::vector<std::uint8_t> Execute(const ModuleCommand& command);

    const ProfileBytes& Profile() const { return m_behaviour.m_abyProfile; }
    int RebootCount() const { return m_nReboots; }
    // What the last command did, in words, for the transcript.
    const std::string& LastEvent() const { return m_strLastEvent; }

private:
    bool PasswordMatches(const std::array<std::uint8_t, kPasswordBytes>& sent) const;

    ModuleBehaviour m_behaviour;
    int m_nReboots = 0;
    std::string m_strLastEvent;
};
