// The module's 64-byte configuration record and its conversion to and from
// the window's field values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kProfileSize = 64;
using ProfileBytes = std::array<std::uint8_t, kProfileSize>;

// The prefix of the module's answer to the read command; the record follows it.
constexpr char kProfileReplyPrefix[] = "+PROG=R";
constexpr std::size_t kProfileReplyPrefixSize = 7;

// The built-in default record.
extern const ProfileBytes DefaultProfile;

// The one working copy: holds DefaultProfile at start, changed only by
// EncodeProfile, sent by the write command.
extern ProfileBytes ModuleProfile;

// The items of the baud rate list; the record stores the position.
constexpr int kBaudItemCount = 11;
extern const char* const kBaudItems[kBaudItemCount];

// The profile as the window's field values, one member per control and named
// after it. Texts are 8-bit byte strings.
struct ProfileView {
    std::string LocalAddr0, LocalAddr1, LocalAddr2, LocalAddr3, LocalAddr4, LocalAddr5;
    std::string PeerAddr0, PeerAddr1, PeerAddr2, PeerAddr3, PeerAddr4, PeerAddr5;
    std::string CfgPwd;
    std::string PinCode;
    bool ModeAt = false, ModeTr = false;
    bool BtRoleM = false, BtRoleS = false;
    bool ckPeerAddr = false, Security = false, bonding = false;
    int UartBaud = -1;  // item position, -1 when none is selected
    bool ParityN = false, ParityE = false;
    bool RtsEnable = false, RtsDisable = false;
    std::string LocalName;

    bool operator==(const ProfileView&) const = default;
};

// The members of an address in the order the window shows them, pair 0 first.
template <typename View>
auto LocalAddressPairs(View& view)
{
    return std::array{&view.LocalAddr0, &view.LocalAddr1, &view.LocalAddr2,
                      &view.LocalAddr3, &view.LocalAddr4, &view.LocalAddr5};
}

template <typename View>
auto PeerAddressPairs(View& view)
{
    return std::array{&view.PeerAddr0, &view.PeerAddr1, &view.PeerAddr2,
                      &view.PeerAddr3, &view.PeerAddr4, &view.PeerAddr5};
}

// Sets every member of `view` from a "+PROG=R" reply line of `length` bytes;
// a line with another prefix changes nothing. Bytes past `length` count as 0x00.
void DecodeProfileReply(const std::uint8_t* line, std::size_t length, ProfileView& view);
// Sets every member of `view` from a whole record.
void DecodeProfileRecord(const ProfileBytes& record, ProfileView& view);

// True when a completed reply line of `length` bytes is a "+PROG=R" line
// that carries the whole record, so that no byte of it is missing.
bool IsWholeProfileReply(const std::uint8_t* line, std::size_t length);
// The record a whole "+PROG=R" line carries.
ProfileBytes RecordOfProfileReply(const std::uint8_t* line);

// Builds `record` from the field values. The bytes after the name's
// terminator keep what they held.
void EncodeProfile(const ProfileView& view, ProfileBytes& record);
// The window's: builds the working copy ModuleProfile.
void EncodeProfile(const ProfileView& view);
