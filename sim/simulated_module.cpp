#include "simulated_module.h"

#include <cstring>

namespace {

constexpr std::size_t kConfigPasswordOffset = 24;

void Append(std::vector<std::uint8_t>& bytes, const char* text)
{
    bytes.insert(bytes.end(), text, text + std::strlen(text));
}

}  // namespace

void SetConfigPassword(ProfileBytes& profile, const std::string& password)
{
    for (std::size_t i = 0; i < kPasswordBytes; ++i)
        profile[kConfigPasswordOffset + i] =
            i < password.size() ? static_cast<std::uint8_t>(password[i]) : 0;
}

bool CSimulatedModule::PasswordMatches(const std::array<std::uint8_t, kPasswordBytes>& sent) const
{
    // Both sides end at their first 0x00: the tool sends a shorter password
    // with a terminator followed by filler digits.
    const std::uint8_t* stored = m_behaviour.m_abyProfile.data() + kConfigPasswordOffset;
    for (std::size_t i = 0; i < kPasswordBytes; ++i) {
        if (stored[i] != sent[i])
            return false;
        if (stored[i] == 0)
            return true;
    }
    return true;
}

std::vector<std::uint8_t> CSimulatedModule::Execute(const ModuleCommand& command)
{
    std::vector<std::uint8_t> answer;
    if (m_behaviour.m_bSilent) {
        m_strLastEvent = "silent: command ignored";
        return answer;
    }
    switch (command.m_kind) {
    case CommandKind::Connect: {
        if (m_behaviour.m_passwordCheck == PasswordCheck::VersionError) {
            m_strLastEvent = "connect: version error";
            Append(answer, "+VER\n\r");
            break;
        }
        const bool accepted = m_behaviour.m_passwordCheck == PasswordCheck::Compare &&
                              PasswordMatches(command.m_abyPassword);
        m_strLastEvent = accepted ? "connect: password accepted" : "connect: password refused";
        Append(answer, "+PWD=");
        answer.push_back(accepted ? '1' : '0');
        answer.push_back(m_behaviour.m_byVersionMajor);
        answer.push_back(m_behaviour.m_byVersionMinor);
        Append(answer, "\n\r");
        break;
    }
    case CommandKind::ReadProfile:
        m_strLastEvent = "read: profile sent";
        Append(answer, kProfileReplyPrefix);
        answer.insert(answer.end(), m_behaviour.m_abyProfile.begin(),
                      m_behaviour.m_abyProfile.end());
        Append(answer, "\n\r");
        break;
    case CommandKind::WriteProfile:
        if (m_behaviour.m_bIgnoreWrites) {
            m_strLastEvent = "write: ignored";
            break;
        }
        m_strLastEvent = "write: profile replaced";
        m_behaviour.m_abyProfile = command.m_abyProfile;
        break;
    case CommandKind::Reboot:
        ++m_nReboots;
        m_strLastEvent = "reboot";
        break;
    }
    return answer;
}
