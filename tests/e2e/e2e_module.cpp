#include "e2e_module.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

std::string ProfileHex(const ProfileBytes& profile)
{
    std::string hex;
    for (std::uint8_t byte : profile) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return hex;
}

ProfileBytes ProfileWithLineFeedFlags()
{
    ProfileBytes profile{};
    const char text[] = "C0FFEE123456"   // own address, pairs 5 to 0
                        "ab0102030405"   // peer address, lower case
                        "6874"           // configuration password
                        "135790";        // pairing PIN
    std::memcpy(profile.data(), text, 34);
    profile[34] = 1;     // AT command mode
    profile[35] = 0;     // master
    profile[36] = 0x0A;  // peer address and bonding
    profile[37] = 8;     // 115200 BPS
    profile[38] = 1;     // even parity
    profile[39] = 1;     // RTS/CTS on
    std::memcpy(profile.data() + 40, "Sim Module A", 12);
    profile[60] = 0x55;  // past the name: the tool never shows it
    return profile;
}

ProfileView ViewOfProfileWithLineFeedFlags()
{
    ProfileView view;
    view.LocalAddr0 = "56", view.LocalAddr1 = "34", view.LocalAddr2 = "12";
    view.LocalAddr3 = "EE", view.LocalAddr4 = "FF", view.LocalAddr5 = "C0";
    view.PeerAddr0 = "05", view.PeerAddr1 = "04", view.PeerAddr2 = "03";
    view.PeerAddr3 = "02", view.PeerAddr4 = "01", view.PeerAddr5 = "AB";
    view.CfgPwd = "6874";
    view.PinCode = "135790";
    view.ModeAt = true;
    view.BtRoleM = true;
    view.ckPeerAddr = true;
    view.bonding = true;
    view.UartBaud = 8;
    view.ParityE = true;
    view.RtsEnable = true;
    view.LocalName = "Sim Module A";
    return view;
}

ProfileBytes ProfileAfterTheBenchEdits(std::uint8_t baudIndex)
{
    ProfileBytes expected = ProfileWithLineFeedFlags();
    std::memcpy(expected.data() + 10, "9F", 2);
    std::memcpy(expected.data() + 12, "AB", 2);  // the peer address came in lower case
    std::memcpy(expected.data() + 28, "246802", 6);
    expected[36] = 0x0E;
    expected[37] = baudIndex;
    expected[38] = 0;
    // After the name's terminator the record holds the tool's working copy,
    // still the default record's bytes: "BLE UART" shortened to its last two.
    std::fill(expected.begin() + 40, expected.end(), 0);
    std::memcpy(expected.data() + 40, "Bench\0RT", 8);
    return expected;
}

const char kBenchEditsProfileFile[] =
    "zr9-profile 1\n"
    "Device Name = Bench\n"
    "Local Address = 9f:34:12:EE:FF:C0\n"
    "PIN Code = 246802\n"
    "PIN used (MITM) = yes\n"
    "Baud Rate = 19200\n"
    "Parity = None\n";

namespace {

std::vector<std::string> TranscriptLines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

std::string TranscriptBytes(const std::string& transcriptPath, const char* direction)
{
    std::string bytes;
    for (const std::string& line : TranscriptLines(transcriptPath)) {
        // The hex bytes end where the quoted rendering begins.
        std::istringstream fields(line.substr(0, line.find('"')));
        std::string stamp, lineDirection, hex;
        fields >> stamp >> lineDirection;
        if (lineDirection != direction)
            continue;
        while (fields >> hex)
            bytes.push_back(static_cast<char>(std::stoul(hex, nullptr, 16)));
    }
    return bytes;
}

std::optional<ProfileBytes> LastProfileSent(const std::string& transcriptPath)
{
    const std::string sent = TranscriptBytes(transcriptPath, "TX");
    const std::size_t answer = sent.rfind(kProfileReplyPrefix);
    if (answer == std::string::npos || sent.size() - answer < kProfileReplyPrefixSize + kProfileSize)
        return std::nullopt;
    ProfileBytes profile;
    std::copy_n(sent.begin() + static_cast<long>(answer + kProfileReplyPrefixSize), kProfileSize,
                profile.begin());
    return profile;
}

bool TranscriptHasEvent(const std::string& transcriptPath, const std::string& event)
{
    const auto lines = TranscriptLines(transcriptPath);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        const auto at = line.find(" -- ");
        return at != std::string::npos && line.substr(at + 4) == event;
    });
}

std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::vector<std::string>> LogRows(const std::string& logPath, const char* result)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(FileText(logPath));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::istringstream split(line + ",");
        for (std::string cell; std::getline(split, cell, ',');)
            cells.push_back(cell);
        if (cells.size() > 7 && cells[7] == result)
            rows.push_back(cells);
    }
    return rows;
}
