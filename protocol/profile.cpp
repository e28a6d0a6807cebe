#include "profile.h"

#include <algorithm>
#include <cstring>

namespace {

// Record offsets.
constexpr std::size_t kLocalAddress = 0;
constexpr std::size_t kPeerAddress = 12;
constexpr std::size_t kConfigPassword = 24;
constexpr std::size_t kPasswordSize = 4;
constexpr std::size_t kPairingPin = 28;
constexpr std::size_t kPinSize = 6;
constexpr std::size_t kMode = 34;
constexpr std::size_t kRole = 35;
constexpr std::size_t kOptionFlags = 36;
constexpr std::size_t kBaudIndex = 37;
constexpr std::size_t kParity = 38;
constexpr std::size_t kRtsCts = 39;
constexpr std::size_t kDeviceName = 40;
constexpr std::size_t kNameMaxSize = 18;

constexpr std::uint8_t kFlagPeerAddress = 0x02;
constexpr std::uint8_t kFlagSecurity = 0x04;
constexpr std::uint8_t kFlagBonding = 0x08;

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The six pairs of an address are stored rightmost (member 5) first.
constexpr std::size_t kPairCount = 6;

std::size_t PairOffset(std::size_t address, std::size_t member)
{
    return address + 2 * (kPairCount - 1 - member);
}

// A field read as a string that ends at the first 0x00 or after `size` bytes.
std::string ReadText(const std::uint8_t* record, std::size_t offset, std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size && record[offset + i] != 0; ++i)
        text.push_back(static_cast<char>(record[offset + i]));
    return text;
}

// Writes up to `size` characters; a shorter text is followed by 0x00 bytes.
void WriteText(ProfileBytes& record, std::size_t offset, std::size_t size, const std::string& text)
{
    for (std::size_t i = 0; i < size; ++i)
        record[offset + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}

std::string DecodePair(const std::uint8_t* record, std::size_t offset)
{
    std::string pair = ReadText(record, offset, 2);
    std::transform(pair.begin(), pair.end(), pair.begin(), UpperAscii);
    return pair;
}

void EncodePair(ProfileBytes& record, std::size_t offset, const std::string& pair)
{
    for (std::size_t i = 0; i < 2; ++i)
        record[offset + i] = i < pair.size() ? static_cast<std::uint8_t>(UpperAscii(pair[i])) : 0;
}

}  // namespace

const ProfileBytes DefaultProfile = {
    'A', '1', '0', '0', 'A', '2', '0', '1', 'A', '2', '0', '2',  // own address
    'B', '1', '0', '0', 'B', '2', '0', '1', 'B', '2', '0', '2',  // peer address
    '6', '8', '7', '4',                                          // configuration password
    '8', '6', '5', '8', '4', '7',                                // pairing PIN
    0x00,                                                        // transparent mode
    0x01,                                                        // slave
    0x07,                                                        // peer address, security
    0x01,                                                        // 9600 BPS
    0x00,                                                        // no parity
    0x00,                                                        // no RTS/CTS
    'B', 'L', 'E', ' ', 'U', 'A', 'R', 'T',                      // device name
};

ProfileBytes ModuleProfile = DefaultProfile;

const char* const kBaudItems[kBaudItemCount] = {
    "4800 BPS",  "9600 BPS",  "14400 BPS",  "19200 BPS", "28800 BPS", "38400 BPS",
    "57600 BPS", "76800 BPS", "115200 BPS", "",          " ",
};

void DecodeProfileReply(const std::uint8_t* line, std::size_t length, ProfileView& view)
{
    if (length < kProfileReplyPrefixSize ||
        std::memcmp(line, kProfileReplyPrefix, kProfileReplyPrefixSize) != 0)
        return;

    // A short line leaves the rest of the record as zeros, never stale bytes.
    ProfileBytes record{};
    std::memcpy(record.data(), line + kProfileReplyPrefixSize,
                std::min(length - kProfileReplyPrefixSize, kProfileSize));
    DecodeProfileRecord(record, view);
}

void DecodeProfileRecord(const ProfileBytes& record, ProfileView& view)
{
    const auto local = LocalAddressPairs(view);
    const auto peer = PeerAddressPairs(view);
    for (std::size_t i = 0; i < kPairCount; ++i) {
        *local[i] = DecodePair(record.data(), PairOffset(kLocalAddress, i));
        *peer[i] = DecodePair(record.data(), PairOffset(kPeerAddress, i));
    }
    view.CfgPwd = ReadText(record.data(), kConfigPassword, kPasswordSize);
    view.PinCode = ReadText(record.data(), kPairingPin, kPinSize);
    view.ModeAt = record[kMode] == 1;
    view.ModeTr = !view.ModeAt;
    view.BtRoleS = record[kRole] == 1;
    view.BtRoleM = !view.BtRoleS;
    view.ckPeerAddr = record[kOptionFlags] & kFlagPeerAddress;
    view.Security = record[kOptionFlags] & kFlagSecurity;
    view.bonding = record[kOptionFlags] & kFlagBonding;
    view.UartBaud = record[kBaudIndex] < kBaudItemCount ? record[kBaudIndex] : -1;
    view.ParityN = record[kParity] == 0;
    view.ParityE = record[kParity] == 1;
    view.RtsEnable = record[kRtsCts] == 1;
    view.RtsDisable = record[kRtsCts] == 0;
    view.LocalName = ReadText(record.data(), kDeviceName, kNameMaxSize);
}

bool IsWholeProfileReply(const std::uint8_t* line, std::size_t length)
{
    // The prefix, the record and the line feed that ended the line.
    return length > kProfileReplyPrefixSize + kProfileSize &&
           std::memcmp(line, kProfileReplyPrefix, kProfileReplyPrefixSize) == 0;
}

ProfileBytes RecordOfProfileReply(const std::uint8_t* line)
{
    ProfileBytes record;
    std::memcpy(record.data(), line + kProfileReplyPrefixSize, kProfileSize);
    return record;
}

void EncodeProfile(const ProfileView& view, ProfileBytes& record)
{
    const auto local = LocalAddressPairs(view);
    const auto peer = PeerAddressPairs(view);
    for (std::size_t i = 0; i < kPairCount; ++i) {
        EncodePair(record, PairOffset(kLocalAddress, i), *local[i]);
        EncodePair(record, PairOffset(kPeerAddress, i), *peer[i]);
    }
    WriteText(record, kConfigPassword, kPasswordSize, view.CfgPwd);
    WriteText(record, kPairingPin, kPinSize, view.PinCode);
    record[kMode] = view.ModeAt ? 1 : 0;
    record[kRole] = view.BtRoleS ? 1 : 0;
    record[kOptionFlags] = (view.ckPeerAddr ? kFlagPeerAddress : 0) |
                           (view.Security ? kFlagSecurity : 0) | (view.bonding ? kFlagBonding : 0);
    record[kBaudIndex] = static_cast<std::uint8_t>(view.UartBaud);
    record[kParity] = view.ParityN ? 0 : 1;
    record[kRtsCts] = view.RtsEnable ? 1 : 0;

    // The terminator must stay inside the record: a longer name is cut to 18.
    const std::size_t nameSize = std::min(view.LocalName.size(), kNameMaxSize);
    std::memcpy(record.data() + kDeviceName, view.LocalName.data(), nameSize);
    record[kDeviceName + nameSize] = 0;
}

void EncodeProfile(const ProfileView& view)
{
    EncodeProfile(view, ModuleProfile);
}
