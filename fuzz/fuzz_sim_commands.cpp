// The simulated module's command parser on arbitrary byte streams.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "module_commands.h"

namespace {

bool SameCommand(const ModuleCommand& a, const ModuleCommand& b)
{
    return a.m_kind == b.m_kind && a.m_abyPassword == b.m_abyPassword &&
           a.m_abyProfile == b.m_abyProfile;
}

bool SameCommands(const std::vector<ModuleCommand>& a, const std::vector<ModuleCommand>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!SameCommand(a[i], b[i]))
            return false;
    return true;
}

// The bytes the tool sends for a command.
std::vector<std::uint8_t> Encode(const ModuleCommand& command)
{
    auto text = [](const char* s) { return std::vector<std::uint8_t>(s, s + std::strlen(s)); };
    std::vector<std::uint8_t> bytes;
    switch (command.m_kind) {
    case CommandKind::Connect:
        bytes = text("AT+PROG=?");
        bytes.insert(bytes.end(), command.m_abyPassword.begin(), command.m_abyPassword.end());
        bytes.push_back(0x01);
        break;
    case CommandKind::ReadProfile:
        return text("AT+PROG=R\n\r");
    case CommandKind::WriteProfile:
        bytes = text("AT+PROG=W");
        bytes.insert(bytes.end(), command.m_abyProfile.begin(), command.m_abyProfile.end());
        break;
    case CommandKind::Reboot:
        return text("AT+REBOOT\n\r");
    }
    bytes.push_back('\n');
    bytes.push_back('\r');
    return bytes;
}

void Append(std::vector<ModuleCommand>& to, const std::vector<ModuleCommand>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CCommandParser whole;
    const std::vector<ModuleCommand> commands = whole.Feed(data, size);

    // Bytes split across reads at arbitrary points give the same commands.
    CCommandParser split;
    std::vector<ModuleCommand> splitCommands;
    std::uint32_t chunkSeed = static_cast<std::uint32_t>(size) * 2654435761u;
    for (std::size_t offset = 0; offset < size;) {
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        const std::size_t chunk = std::min<std::size_t>(1 + (chunkSeed >> 16) % 97, size - offset);
        Append(splitCommands, split.Feed(data + offset, chunk));
        offset += chunk;
    }
    FUZZ_CHECK(SameCommands(commands, splitCommands));
    FUZZ_CHECK(whole.HoldsPartialCommand() == split.HoldsPartialCommand());

    // Every command found is exactly what its own bytes parse to.
    for (const ModuleCommand& command : commands) {
        const std::vector<std::uint8_t> bytes = Encode(command);
        CCommandParser fresh;
        const std::vector<ModuleCommand> again = fresh.Feed(bytes.data(), bytes.size());
        FUZZ_CHECK(again.size() == 1 && SameCommand(again[0], command));
        FUZZ_CHECK(!fresh.HoldsPartialCommand());
    }

    // Giving up stalled commands eventually empties the parser.
    std::size_t drops = 0;
    while (whole.HoldsPartialCommand()) {
        whole.DropStalled();
        FUZZ_CHECK(++drops <= CCommandParser::kLongestCommand);
    }
    return 0;
}
