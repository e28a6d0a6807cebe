#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "profile.h"

namespace {

std::vector<std::uint8_t> ReplyFor(const ProfileBytes& record)
{
    std::vector<std::uint8_t> line(kProfileReplyPrefixSize + kProfileSize);
    std::memcpy(line.data(), kProfileReplyPrefix, kProfileReplyPrefixSize);
    std::memcpy(line.data() + kProfileReplyPrefixSize, record.data(), kProfileSize);
    return line;
}

ProfileView Decoded(const ProfileBytes& record)
{
    ProfileView view;
    const auto line = ReplyFor(record);
    DecodeProfileReply(line.data(), line.size(), view);
    return view;
}

void PutText(ProfileBytes& record, std::size_t offset, const std::string& text)
{
    std::memcpy(record.data() + offset, text.data(), text.size());
}

// The bytes behind the radio button pairs: mode, role, parity, RTS/CTS.
using RadioBytes = std::array<std::uint8_t, 4>;
constexpr std::size_t kRadioOffsets[] = {34, 35, 38, 39};

ProfileBytes DefaultWithRadioBytes(const RadioBytes& values)
{
    ProfileBytes record = DefaultProfile;
    for (std::size_t i = 0; i < values.size(); ++i)
        record[kRadioOffsets[i]] = values[i];
    return record;
}

RadioBytes RadioBytesOf(const ProfileBytes& record)
{
    RadioBytes values;
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = record[kRadioOffsets[i]];
    return values;
}

// Every test starts from the working copy a fresh program has.
class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override { ModuleProfile = DefaultProfile; }
};

TEST_F(ProfileTest, DefaultRecordDecodesToTheDefaultView)
{
    const ProfileView view = Decoded(DefaultProfile);
    EXPECT_EQ(view.LocalAddr0, "02");
    EXPECT_EQ(view.LocalAddr1, "A2");
    EXPECT_EQ(view.LocalAddr2, "01");
    EXPECT_EQ(view.LocalAddr3, "A2");
    EXPECT_EQ(view.LocalAddr4, "00");
    EXPECT_EQ(view.LocalAddr5, "A1");
    EXPECT_EQ(view.PeerAddr0, "02");
    EXPECT_EQ(view.PeerAddr1, "B2");
    EXPECT_EQ(view.PeerAddr2, "01");
    EXPECT_EQ(view.PeerAddr3, "B2");
    EXPECT_EQ(view.PeerAddr4, "00");
    EXPECT_EQ(view.PeerAddr5, "B1");
    EXPECT_EQ(view.CfgPwd, "6874");
    EXPECT_EQ(view.PinCode, "865847");
    EXPECT_TRUE(view.ModeTr);
    EXPECT_FALSE(view.ModeAt);
    EXPECT_TRUE(view.BtRoleS);
    EXPECT_FALSE(view.BtRoleM);
    EXPECT_TRUE(view.ckPeerAddr);
    EXPECT_TRUE(view.Security);
    EXPECT_FALSE(view.bonding);
    EXPECT_EQ(view.UartBaud, 1);
    EXPECT_STREQ(kBaudItems[view.UartBaud], "9600 BPS");
    EXPECT_TRUE(view.ParityN);
    EXPECT_FALSE(view.ParityE);
    EXPECT_TRUE(view.RtsDisable);
    EXPECT_FALSE(view.RtsEnable);
    EXPECT_EQ(view.LocalName, "BLE UART");
}

TEST_F(ProfileTest, EncodingTheDefaultViewGivesTheDefaultWithoutFlagBitOne)
{
    EncodeProfile(Decoded(DefaultProfile));
    ProfileBytes expected = DefaultProfile;
    expected[36] = 0x06;
    EXPECT_EQ(ModuleProfile, expected);
}

TEST_F(ProfileTest, OtherPrefixesChangeNothing)
{
    const ProfileView before = Decoded(DefaultProfile);
    for (const char* prefix : {"+PROG=r", "+PROG=W", " +PROG=R", "+PROG="}) {
        ProfileView view = before;
        std::vector<std::uint8_t> line(prefix, prefix + std::strlen(prefix));
        line.resize(7 + kProfileSize, 'x');
        DecodeProfileReply(line.data(), line.size(), view);
        EXPECT_EQ(view, before) << "prefix \"" << prefix << "\"";
    }
}

TEST_F(ProfileTest, AddressesAreUpperCasedBothWaysOtherTextsKeepTheirCase)
{
    ProfileBytes record = DefaultProfile;
    PutText(record, 0, "ab");          // LocalAddr5
    PutText(record, 22, "f9");         // PeerAddr0
    PutText(record, 24, "pWd1");
    PutText(record, 28, "abcDEF");
    PutText(record, 40, "Mixed name");
    ProfileView view = Decoded(record);
    EXPECT_EQ(view.LocalAddr5, "AB");
    EXPECT_EQ(view.PeerAddr0, "F9");
    EXPECT_EQ(view.CfgPwd, "pWd1");
    EXPECT_EQ(view.PinCode, "abcDEF");
    EXPECT_EQ(view.LocalName, "Mixed name");

    view.LocalAddr0 = "c3";
    view.PeerAddr5 = "z";
    EncodeProfile(view);
    EXPECT_EQ(ModuleProfile[10], 'C');
    EXPECT_EQ(ModuleProfile[11], '3');
    EXPECT_EQ(ModuleProfile[12], 'Z');
    EXPECT_EQ(ModuleProfile[13], 0x00);
    EXPECT_EQ(0, std::memcmp(ModuleProfile.data() + 24, "pWd1abcDEF", 10));
    EXPECT_EQ(0, std::memcmp(ModuleProfile.data() + 40, "Mixed name", 11));
}

TEST_F(ProfileTest, OnlyLettersAToZChangeCase)
{
    ProfileBytes record = DefaultProfile;
    record[0] = 0xE9;  // Latin-1 e acute stays as it is
    record[1] = '{';
    EXPECT_EQ(Decoded(record).LocalAddr5, "\xE9{");
}

TEST_F(ProfileTest, ZeroBytesInAddressPairs)
{
    ProfileBytes record = DefaultProfile;
    record[2] = 0x00;  // LocalAddr4: 0x00 0x41 is empty
    record[3] = 0x41;
    record[4] = 0x41;  // LocalAddr3: 0x41 0x00 is "A"
    record[5] = 0x00;
    ProfileView view = Decoded(record);
    EXPECT_EQ(view.LocalAddr4, "");
    EXPECT_EQ(view.LocalAddr3, "A");

    EncodeProfile(view);
    EXPECT_EQ(ModuleProfile[2], 0x00);
    EXPECT_EQ(ModuleProfile[3], 0x00);
    EXPECT_EQ(ModuleProfile[4], 0x41);
    EXPECT_EQ(ModuleProfile[5], 0x00);
}

TEST_F(ProfileTest, ShortPasswordAndPinArePaddedWithZeros)
{
    ProfileView view = Decoded(DefaultProfile);
    view.CfgPwd = "12";
    view.PinCode = "1234";
    EncodeProfile(view);
    const std::uint8_t expected[] = {'1', '2', 0, 0, '1', '2', '3', '4', 0, 0};
    EXPECT_EQ(0, std::memcmp(ModuleProfile.data() + 24, expected, sizeof expected));
    EXPECT_EQ(ModuleProfile[34], DefaultProfile[34]);  // the PIN wrote nothing past its six bytes
}

TEST_F(ProfileTest, EighteenCharacterName)
{
    ProfileBytes record = DefaultProfile;
    PutText(record, 40, "ABCDEFGHIJKLMNOPQR");
    for (std::size_t i = 58; i < kProfileSize; ++i)
        record[i] = 'z';
    ProfileView view = Decoded(record);
    EXPECT_EQ(view.LocalName, "ABCDEFGHIJKLMNOPQR");

    EncodeProfile(view);
    EXPECT_EQ(0, std::memcmp(ModuleProfile.data() + 40, "ABCDEFGHIJKLMNOPQR", 18));
    EXPECT_EQ(ModuleProfile[58], 0x00);
}

TEST_F(ProfileTest, OverlongNameIsCutSoNothingIsWrittenPastTheRecord)
{
    ProfileView view = Decoded(DefaultProfile);
    view.LocalName = std::string(40, 'N');
    EncodeProfile(view);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ModuleProfile.data() + 40), 18), std::string(18, 'N'));
    EXPECT_EQ(ModuleProfile[58], 0x00);
    for (std::size_t i = 59; i < kProfileSize; ++i)
        EXPECT_EQ(ModuleProfile[i], 0x00) << "byte " << i;
}

TEST_F(ProfileTest, ShorterNameLeavesTheTailOfALongerOne)
{
    ProfileView view = Decoded(DefaultProfile);
    view.LocalName = "ABCDEFGH";
    EncodeProfile(view);
    view.LocalName = "ABC";
    EncodeProfile(view);
    const std::uint8_t expected[] = {'A', 'B', 'C', 0, 'E', 'F', 'G', 'H', 0};
    EXPECT_EQ(0, std::memcmp(ModuleProfile.data() + 40, expected, sizeof expected));
}

TEST_F(ProfileTest, OutOfRangeModeRoleParityAndRtsValues)
{
    ProfileView view = Decoded(DefaultWithRadioBytes({2, 2, 2, 2}));
    EXPECT_TRUE(view.ModeTr);
    EXPECT_FALSE(view.ModeAt);
    EXPECT_TRUE(view.BtRoleM);
    EXPECT_FALSE(view.BtRoleS);
    EXPECT_FALSE(view.ParityN);
    EXPECT_FALSE(view.ParityE);
    EXPECT_FALSE(view.RtsEnable);
    EXPECT_FALSE(view.RtsDisable);

    EncodeProfile(view);
    EXPECT_EQ(RadioBytesOf(ModuleProfile), (RadioBytes{0, 0, 1, 0}));
}

TEST_F(ProfileTest, InRangeRadioValuesRoundTrip)
{
    const RadioBytes inRange = {1, 0, 1, 1};
    ProfileView view = Decoded(DefaultWithRadioBytes(inRange));
    EXPECT_TRUE(view.ModeAt && view.BtRoleM && view.ParityE && view.RtsEnable);
    EncodeProfile(view);
    EXPECT_EQ(RadioBytesOf(ModuleProfile), inRange);
}

TEST_F(ProfileTest, BaudIndexBlankItemsAndOutOfRange)
{
    EXPECT_STREQ(kBaudItems[9], "");
    EXPECT_STREQ(kBaudItems[10], " ");
    for (const int index : {0, 9, 10}) {
        ProfileBytes record = DefaultProfile;
        record[37] = static_cast<std::uint8_t>(index);
        ProfileView view = Decoded(record);
        EXPECT_EQ(view.UartBaud, index);
        EncodeProfile(view);
        EXPECT_EQ(ModuleProfile[37], index);
    }
    for (const int index : {11, 200, 255}) {
        ProfileBytes record = DefaultProfile;
        record[37] = static_cast<std::uint8_t>(index);
        ProfileView view = Decoded(record);
        EXPECT_EQ(view.UartBaud, -1) << index;
        EncodeProfile(view);
        EXPECT_EQ(ModuleProfile[37], 0xFF) << index;
    }
}

TEST_F(ProfileTest, OptionFlagsKeepOnlyTheThreeShownBits)
{
    ProfileBytes record = DefaultProfile;
    record[36] = 0xFF;
    ProfileView view = Decoded(record);
    EXPECT_TRUE(view.ckPeerAddr && view.Security && view.bonding);
    EncodeProfile(view);
    EXPECT_EQ(ModuleProfile[36], 0x0E);

    record[36] = 0x0A;
    view = Decoded(record);
    EXPECT_TRUE(view.ckPeerAddr);
    EXPECT_FALSE(view.Security);
    EXPECT_TRUE(view.bonding);
}

TEST_F(ProfileTest, ReadingNeverChangesTheWorkingCopy)
{
    ProfileView view = Decoded(DefaultProfile);
    view.LocalName = "EARLIER";
    EncodeProfile(view);
    const ProfileBytes beforeRead = ModuleProfile;

    ProfileBytes record{};
    PutText(record, 40, "READ");
    record[59] = 0x55;
    view = Decoded(record);
    EXPECT_EQ(ModuleProfile, beforeRead);

    // A write right after the read sends the read values over the previous working copy.
    EncodeProfile(view);
    EXPECT_EQ(0, std::memcmp(ModuleProfile.data() + 40, "READ\0ER\0", 8));
    EXPECT_EQ(ModuleProfile[59], 0x00);
}

TEST_F(ProfileTest, ShortLineReadsZerosNotStaleBytes)
{
    ProfileView view = Decoded(DefaultProfile);
    // The line ends inside the option flags: everything after reads as 0x00.
    auto line = ReplyFor(DefaultProfile);
    line.resize(7 + 36);
    DecodeProfileReply(line.data(), line.size(), view);
    EXPECT_EQ(view.PinCode, "865847");
    EXPECT_FALSE(view.ckPeerAddr || view.Security || view.bonding);
    EXPECT_EQ(view.UartBaud, 0);
    EXPECT_TRUE(view.ParityN);
    EXPECT_TRUE(view.RtsDisable);
    EXPECT_EQ(view.LocalName, "");

    // A line shorter than the prefix is not a profile line.
    const ProfileView before = view;
    DecodeProfileReply(line.data(), 6, view);
    EXPECT_EQ(view, before);
}

}  // namespace
