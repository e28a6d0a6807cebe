#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

#include "profile.h"
#include "profile_file.h"
#include "text_file.h"
#include "text_file_platform.h"

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

// The record Write sends for `view`, from a fresh working copy.
ProfileBytes Encoded(const ProfileView& view)
{
    ModuleProfile = DefaultProfile;
    EncodeProfile(view);
    return ModuleProfile;
}

// Any record a module can send: its view, written to a file and read over
// other field values, makes Write send what the view itself makes it send.
TEST_F(ProfileTest, FileOfAnyRecordReadsBackToTheSameWrite)
{
    std::mt19937 random(19);
    std::vector<ProfileBytes> records = {DefaultProfile};
    for (int i = 0; i < 2000; ++i) {
        ProfileBytes record;
        // Zeros often, so texts and pairs of every length come up.
        for (std::uint8_t& byte : record)
            byte = random() % 6 == 0 ? 0 : static_cast<std::uint8_t>(random());
        for (std::size_t pin = 28; pin < 34; ++pin)
            record[pin] |= record[pin] == 0 ? 0x31 : 0;
        records.push_back(record);
    }
    for (const ProfileBytes& record : records) {
        const ProfileView view = Decoded(record);
        const std::string text = FormatProfileText(view);
        CProfileSettings settings;
        std::string error;
        ASSERT_TRUE(ParseProfileText(text, settings, error)) << error << "\n" << text;
        ProfileView loaded = Decoded(records[0]);
        settings.ApplyTo(loaded);
        ASSERT_EQ(Encoded(loaded), Encoded(view)) << text;
    }
}

TEST_F(ProfileTest, HandWrittenFileIsReadAsTheWindowWouldShowIt)
{
    const std::string text =
        "\xEF\xBB\xBFzr9-profile 1\r\n"
        "  # a comment, then a blank line\r\n"
        "\r\n"
        "device name = Caf\xC3\xA9\\x7F\\\\ \r\n"
        "Peer Address=a1:\\x3A:: 0 :b:02\n"
        "Baud Rate = 115200 BPS\n"
        "Mode = at cmd\n"
        "Parity = Even\n";
    CProfileSettings settings;
    std::string error;
    ASSERT_TRUE(ParseProfileText(text, settings, error)) << error;
    ProfileView view = Decoded(DefaultProfile);
    ProfileView expected = view;
    settings.ApplyTo(view);
    expected.LocalName = "Caf\xE9\x7F\\";
    expected.PeerAddr0 = "a1";
    expected.PeerAddr1 = ":";
    expected.PeerAddr2 = "";
    expected.PeerAddr3 = "0";
    expected.PeerAddr4 = "b";
    expected.PeerAddr5 = "02";
    expected.UartBaud = 8;
    expected.ModeAt = true;
    expected.ModeTr = false;
    expected.ParityN = false;
    expected.ParityE = true;
    EXPECT_EQ(view, expected);
}

TEST_F(ProfileTest, BadFileIsRefusedWholeWithItsLineAndWhatIsWrong)
{
    using namespace std::string_literals;
    const struct {
        std::string text;
        const char* error;
    } refusals[] = {
        {"Device Name = X\n", "line 1: not a profile file"},
        {"zr9-profile 2\n", "line 1: format 2 is newer"},
        {"", "line 1: the file is empty"},
        {"zr9-profile 1\nDevice Nam = X\n", "line 2: unknown name \"Device Nam\""},
        {"zr9-profile 1\nMode\n", "line 2: expected \"Name = value\""},
        {"zr9-profile 1\nLocal Address = 02:A2:01:A2:00\n",
         "line 2: Local Address: an address has 6"},
        {"zr9-profile 1\nPeer Address = 02:A2:01:A2:00:A1B\n",
         "line 2: Peer Address: pair 6 \"A1B\" has more than 2"},
        {"zr9-profile 1\n# PIN\nPIN Code = 12345\n", "line 3: PIN Code: needs 6 characters, not 5"},
        {"zr9-profile 1\nBaud Rate = 9601\n", "line 2: Baud Rate: \"9601\" is not in the list"},
        {"zr9-profile 1\nRole = Slave\nrole = Master\n",
         "line 3: Role is named twice (first on line 2)"},
        {"zr9-profile 1\nDevice Name = 0123456789abcdefghi\n",
         "line 2: Device Name: takes at most 18"},
        {"zr9-profile 1\nConfig Password = 12345\n", "line 2: Config Password: takes at most 4"},
        {"zr9-profile 1\nBonding = maybe\n", "line 2: Bonding: is \"yes\" or \"no\""},
        {"zr9-profile 1\nDevice Name = a\\q\n", "line 2: Device Name: unknown escape \"\\q\""},
        {"zr9-profile 1\nDevice Name = a\\x00\n", "line 2: Device Name: \\x00 cannot be stored"},
        {"zr9-profile 1\nDevice Name = \xE2\x82\xAC\n",
         "line 2: Device Name: a character the module"},
        {"zr9-profile 1\nDevice Name = \xE9t\xE9\n", "line 2: Device Name: the text is not UTF-8"},
        // Overlong forms of 0x00 and of U+00E9, a surrogate, a raw 0x00.
        {"zr9-profile 1\n\nDevice Name = a\xE0\x80\x80\n", "line 3: Device Name: the text is not UTF-8"},
        {"zr9-profile 1\nDevice Name = \xF0\x80\x83\xA9\n", "line 2: Device Name: the text is not UTF-8"},
        {"zr9-profile 1\nDevice Name = \xED\xA0\x80\n", "line 2: Device Name: the text is not UTF-8"},
        {"zr9-profile 1\nDevice Name = a\0b\n"s, "line 2: Device Name: a 0x00 byte cannot be stored"},
    };
    for (const auto& refusal : refusals) {
        CProfileSettings settings;
        std::string error;
        ASSERT_TRUE(settings.Parse("Device Name = kept", error));
        EXPECT_FALSE(ParseProfileText(refusal.text, settings, error)) << refusal.text;
        EXPECT_EQ(error.substr(0, std::strlen(refusal.error)), refusal.error) << refusal.text;
        EXPECT_EQ(settings.Values().LocalName, "kept") << refusal.text;
    }
}

// A save replaces the file whole, leaving no temporary file; a file that
// cannot be written or read names itself, and the line at fault.
TEST_F(ProfileTest, ProfileFilesOnDisk)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("zr9-profile-test-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "module.zr9").string();
    std::string error;
    ASSERT_TRUE(SaveTextFile(path, std::string(5000, '#'), error)) << error;
    ASSERT_TRUE(SaveTextFile(path, FormatProfileText(Decoded(DefaultProfile)), error)) << error;
    CProfileSettings settings;
    EXPECT_TRUE(LoadProfileFile(path, settings, error)) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

    std::ofstream(path) << "zr9-profile 1\n\nParity = odd\n";
    EXPECT_FALSE(LoadProfileFile(path, settings, error));
    EXPECT_EQ(error.rfind(path + ":3: Parity:", 0), 0u) << error;
    EXPECT_FALSE(SaveTextFile((folder / "none" / "x.zr9").string(), "x", error));
    EXPECT_NE(error.find("none"), std::string::npos) << error;
    EXPECT_FALSE(LoadProfileFile((folder / "absent.zr9").string(), settings, error));
    EXPECT_NE(error.find("absent.zr9: cannot read"), std::string::npos) << error;
    // A folder is refused both ways, with nothing written.
    const std::string inner = (folder / "inner").string();
    std::filesystem::create_directory(inner);
    EXPECT_FALSE(LoadProfileFile(inner, settings, error));
    EXPECT_EQ(error, inner + ": cannot read: it is a folder");
    EXPECT_FALSE(SaveTextFile(inner, "x", error));
    EXPECT_EQ(error, inner + ": cannot write: it is a folder");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);
    std::filesystem::remove_all(folder);
}

#ifndef _WIN32
// A save replaces the file a path names and nothing else about it; a FIFO is
// refused both ways, without waiting on it. A save that fails leaves the
// file as it was.
TEST_F(ProfileTest, SaveAndLoadByWhatThePathNames)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("zr9-kinds-" + std::to_string(getpid()));
    const std::string path = (folder / "module.zr9").string();
    const std::string target = (folder / "target").string();
    const std::string text = FormatProfileText(Decoded(DefaultProfile));
    const std::string oldText = "zr9-profile 1\nDevice Name = Old\n";
    const auto modeOf = [](const std::string& file) { return fs::status(file).permissions(); };
    const auto textOf = [](const std::string& file) {
        return std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {});
    };
    const auto keptOld = [&] { EXPECT_EQ(textOf(path), oldText); };
    rlimit sizeLimit{};
    getrlimit(RLIMIT_FSIZE, &sizeLimit);
    const rlimit small{16, sizeLimit.rlim_max};
    const bool root = geteuid() == 0;  // who may write in any folder
    const struct {
        const char* what;
        std::function<void()> prepare, check;
        const char* refusal;  // the end of the save's error, or nullptr: saved and read back
        bool planted = false;  // the first temporary name the save tries is "planted"
    } rows[] = {
        {"a new file", [] {}, [&] { EXPECT_EQ(modeOf(path), fs::perms(0644)); }, nullptr},
        {"a FIFO", [&] { mkfifo(path.c_str(), 0600); }, [&] { EXPECT_TRUE(fs::is_fifo(path)); },
         "it is not a regular file but a device or a pipe"},
        {"a file of mode 0600", [&] { std::ofstream(path) << "x"; chmod(path.c_str(), 0600); },
         [&] { EXPECT_EQ(modeOf(path), fs::perms(0600)); }, nullptr},
        {"a link where the save first tries to put its temporary file",
         [&] { std::ofstream(target) << "x"; fs::create_symlink(target, folder / "planted"); },
         [&] { EXPECT_EQ(textOf(target), "x"); }, nullptr, true},
        {"a link", [&] { std::ofstream(target) << "x"; fs::create_symlink("target", path); },
         [&] {
             EXPECT_EQ(fs::read_symlink(path), "target");
             EXPECT_EQ(fs::file_size(target), text.size());
         },
         nullptr},
        // The file size limit cuts the write short as a full disk does.
        {"a disk that fills while the file is written",
         [&] { std::ofstream(path) << oldText; signal(SIGXFSZ, SIG_IGN);
               setrlimit(RLIMIT_FSIZE, &small); },
         [&] { setrlimit(RLIMIT_FSIZE, &sizeLimit); signal(SIGXFSZ, SIG_DFL); keptOld(); },
         "File too large"},
        // Root saves as nobody.
        {"a folder the user may not write in",
         [&] { std::ofstream(path) << oldText; chmod(folder.c_str(), 0555);
               ASSERT_EQ(root ? seteuid(65534) : 0, 0); },
         [&] { ASSERT_EQ(root ? seteuid(0) : 0, 0); chmod(folder.c_str(), 0755); keptOld(); },
         "Permission denied"},
    };
    const mode_t umaskBefore = umask(022);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(folder);
        fs::create_directories(folder);
        text_file_platform::CSaveCalls calls = text_file_platform::SystemSaveCalls();
        int names = 0;
        calls.temporaryName = [&](const fs::path& file) {
            return row.planted && names++ == 0 ? (folder / "planted").string()
                                               : text_file_platform::TemporaryName(file);
        };
        row.prepare();
        std::string saveError, loadError;
        const bool saved = text_file_platform::SaveTextFile(path, text, saveError, calls);
        CProfileSettings settings;
        const bool loaded = LoadProfileFile(path, settings, loadError);
        row.check();
        EXPECT_EQ(saved, !row.refusal) << saveError;
        if (row.refusal) {
            EXPECT_EQ(saveError, path + ": cannot write: " + row.refusal);
        }
        // What the path names reads back, unless it refuses to be read as it refused the save.
        if (!loaded) {
            EXPECT_EQ(loadError, path + ": cannot read: " + (row.refusal ? row.refusal : ""));
        }
        // No temporary file is left behind, saved or not.
        for (const fs::directory_entry& entry : fs::directory_iterator(folder))
            EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
    umask(umaskBefore);
    fs::remove_all(folder);
}
#endif

}  // namespace
