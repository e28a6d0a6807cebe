#include "module_commands.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kCommandStart = "AT+";
constexpr std::string_view kLineEnd = "\n\r";
constexpr std::uint8_t kConnectFlag = 0x01;

struct CommandShape {
    CommandKind m_kind;
    std::string_view m_strHeader;
    std::size_t m_nLength;  // the whole command, line end included
};

constexpr CommandShape kShapes[] = {
    {CommandKind::Connect, "AT+PROG=?", 9 + kPasswordBytes + 1 + 2},
    {CommandKind::ReadProfile, "AT+PROG=R\n\r", 11},
    {CommandKind::WriteProfile, "AT+PROG=W", CCommandParser::kLongestCommand},
    {CommandKind::Reboot, "AT+REBOOT\n\r", 11},
};

enum class Match { Complete, NeedMore, NoMatch };

Match MatchShape(const CommandShape& shape, const std::vector<std::uint8_t>& bytes)
{
    const std::size_t headerSeen = std::min(bytes.size(), shape.m_strHeader.size());
    if (std::memcmp(bytes.data(), shape.m_strHeader.data(), headerSeen) != 0)
        return Match::NoMatch;
    if (bytes.size() < shape.m_nLength)
        return Match::NeedMore;
    const std::uint8_t* end = bytes.data() + shape.m_nLength - kLineEnd.size();
    if (std::memcmp(end, kLineEnd.data(), kLineEnd.size()) != 0)
        return Match::NoMatch;
    if (shape.m_kind == CommandKind::Connect && bytes[9 + kPasswordBytes] != kConnectFlag)
        return Match::NoMatch;
    return Match::Complete;
}

ModuleCommand MakeCommand(CommandKind kind, const std::uint8_t* bytes)
{
    ModuleCommand command;
    command.m_kind = kind;
    if (kind == CommandKind::Connect)
        std::memcpy(command.m_abyPassword.data(), bytes + 9, kPasswordBytes);
    if (kind == CommandKind::WriteProfile)
        std::memcpy(command.m_abyProfile.data(), bytes + 9, kProfileSize);
    return command;
}

// Position of the first byte that may begin a command: a whole "AT+", or a
// part of it at the very end.
std::size_t FindCommandStart(const std::vector<std::uint8_t>& bytes)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t seen = std::min(bytes.size() - i, kCommandStart.size());
        if (std::memcmp(bytes.data() + i, kCommandStart.data(), seen) == 0)
            return i;
    }
    return bytes.size();
}

}  // namespace

std::vector<ModuleCommand> CCommandParser::Feed(const std::uint8_t* data, std::size_t size)
{
    std::vector<ModuleCommand> commands;
    // Byte by byte keeps the held bytes within one command's length.
    for (std::size_t i = 0; i < size; ++i) {
        m_vecPending.push_back(data[i]);
        Scan(commands);
    }
    return commands;
}

std::vector<ModuleCommand> CCommandParser::DropStalled()
{
    std::vector<ModuleCommand> commands;
    if (!m_vecPending.empty()) {
        m_vecPending.erase(m_vecPending.begin());
        Scan(commands);
    }
    return commands;
}

void CCommandParser::Scan(std::vector<ModuleCommand>& commands)
{
    for (;;) {
        m_vecPending.erase(m_vecPending.begin(),
                           m_vecPending.begin() + FindCommandStart(m_vecPending));
        if (m_vecPending.size() < kCommandStart.size())
            return;

        bool needMore = false;
        bool completed = false;
        for (const CommandShape& shape : kShapes) {
            const Match match = MatchShape(shape, m_vecPending);
            if (match == Match::Complete) {
                commands.push_back(MakeCommand(shape.m_kind, m_vecPending.data()));
                m_vecPending.erase(m_vecPending.begin(), m_vecPending.begin() + shape.m_nLength);
                completed = true;
                break;
            }
            needMore = needMore || match == Match::NeedMore;
        }
        if (completed)
            continue;
        if (needMore)
            return;
        // Not a command after all: look again from the next byte.
        m_vecPending.erase(m_vecPending.begin());
    }
}
