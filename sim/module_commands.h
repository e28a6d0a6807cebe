// The commands the simulated module understands, and the parser that finds
// them in the byte stream coming from the serial line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "profile.h"

enum class CommandKind { Connect, ReadProfile, WriteProfile, Reboot };

constexpr std::size_t kPasswordBytes = 4;

struct ModuleCommand {
    CommandKind m_kind = CommandKind::ReadProfile;
    // Connect only: the four password bytes as sent.
    std::array<std::uint8_t, kPasswordBytes> m_abyPassword{};
    // WriteProfile only: the record as sent.
    ProfileBytes m_abyProfile{};
};

// Finds whole commands in a stream that may carry junk, partial commands and
// bytes split across reads. Every command has a fixed length, so a command is
// recognised by its header and its "\n\r" ending at the fixed end; the bytes
// in between (password, record) may hold any value, "AT+" and line ends too.
// A candidate whose ending does not fit is dropped from its first byte on and
// the rest is searched again, so a genuine command behind junk is not lost.
class CCommandParser {
public:
    // Adds received bytes; returns the commands they complete, in order.
    std::vector<ModuleCommand> Feed(const std::uint8_t* data, std::size_t size);

    // Gives up the command begun so far (e.g. when no byte followed it for a
    // while) and searches the bytes after its first one again.
    std::vector<ModuleCommand> DropStalled();

    // Forgets every byte held (the module restarts).
    void Reset() { m_vecPending.clear(); }

    bool HoldsPartialCommand() const { return !m_vecPending.empty(); }

    // The longest command: "AT+PROG=W", the record, "\n\r".
    static constexpr std::size_t kLongestCommand = 9 + kProfileSize + 2;

private:
    void Scan(std::vector<ModuleCommand>& commands);

    // Bytes from the first possible command start on; never more than
    // kLongestCommand.
    std::vector<std::uint8_t> m_vecPending;
};
