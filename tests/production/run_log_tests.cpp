#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "profile_file.h"
#include "run_log.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kHeader = "time,port,n,local address,new address,firmware,device name,result,reason\n";
const std::string kSettingsRow = "2026-12-09 10:00:00,,,,,,,settings,profile 3f2a; first 001\n";

// A log in memory, kept by the test while the CRunLog owns its file. Appends
// as POSIX does: in parts, and a failing write may leave a part of its bytes.
struct MemoryDisk {
    std::optional<std::string> m_content;
    std::string m_strHolder = {};  // another process holds the lock
    std::size_t m_nRoomLeft = SIZE_MAX;  // bytes before the disk is full
};

class CMemoryLogFile final : public ILogFile {
public:
    explicit CMemoryLogFile(MemoryDisk& disk) : m_disk(disk) {}
    bool ReadAll(std::optional<std::string>& content, std::string&) override
    {
        content = m_disk.m_content;
        return true;
    }
    bool Lock(std::string& holder, std::string&) override
    {
        holder = m_disk.m_strHolder;
        return holder.empty();
    }
    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        const std::size_t fits = std::min(bytes.size(), m_disk.m_nRoomLeft);
        m_disk.m_content = m_disk.m_content.value_or("") + bytes.substr(0, fits / 2);
        std::this_thread::yield();
        *m_disk.m_content += bytes.substr(fits / 2, fits - fits / 2);
        m_disk.m_nRoomLeft -= fits;
        if (fits == bytes.size())
            return true;
        error = m_strPath + ": the log cannot be written: No space left on device";
        return false;
    }
    const std::string& Path() const override { return m_strPath; }

private:
    MemoryDisk& m_disk;
    const std::string m_strPath = "pumps.csv";
};

bool Read(MemoryDisk& disk, EarlierRows& earlier, std::string& error)
{
    return CRunLog(std::make_unique<CMemoryLogFile>(disk)).OpenAndRead(earlier, error);
}

RunLogRow Row(const std::string& number, const std::string& address, RunLogRow::Result result,
              const std::string& name = "Pump")
{
    RunLogRow row;
    row.m_strPort = "COM3";
    row.m_strNumber = number;
    row.m_strAddress = address;
    row.m_strDeviceName = name;
    row.m_result = result;
    return row;
}

std::vector<std::string> Numbers(const std::vector<RunLogRow>& rows)
{
    std::vector<std::string> numbers;
    for (const RunLogRow& row : rows)
        numbers.push_back(row.m_strNumber);
    return numbers;
}

struct ReadCase {
    const char* m_szName;
    std::string m_strContent;
    const char* m_szError;                      // a part of the refusal, or none
    std::set<long> m_setTaken;
    std::vector<std::string> m_vecConfigured;   // "address name" of each ok row
    std::vector<std::string> m_vecInterrupted;  // their numbers
    std::vector<std::string> m_vecFailed;       // their addresses
    const char* m_szNote = nullptr;             // a part of the one note
};

const ReadCase kReadCases[] = {
    {"semicolon export", "time;port;n;local address;new address;firmware;device name;result;reason\r\n"
     "09.12.2026 10:00;COM3;1;02:A2:01:A2:00:A1;;1.03;Pump 001;ok;\r\n",
     "pumps.csv was saved by a spreadsheet with ';' between the fields, which is not read: save it "
     "again as CSV with commas (UTF-8), or name a new log file", {}, {}, {}, {}},
    {"comma re-save, CRLF, no BOM, quotes added",
     "\"time\",\"port\",\"n\",\"local address\",\"new address\",\"firmware\",\"device name\","
     "\"result\",\"reason\"\r\n12/9/2026 10:00,COM3,1,\"02:A2:01:A2:00:A1\",,1.03,\"Pump 001\",ok,\r\n",
     nullptr, {1}, {"02:A2:01:A2:00:A1 Pump 001"}, {}, {}},
    {"last row cut short", kBom + kHeader + "t,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,ok,\n"
     "t,COM4,002,02:A2:01:A2:00:B2,,1.03,\"Pump, 0", nullptr, {1, 2},
     {"02:A2:01:A2:00:A1 Pump 001"}, {"002"}, {},
     "pumps.csv: line 3 was cut short (a power cut or a full disk?) and is set aside; its number "
     "002 stays taken"},
    {"cut short before the number ends", kBom + kHeader + "t,COM4,00", nullptr, {}, {}, {}, {},
     "line 2 was cut short"},
    {"killed between the Write and its row", kBom + kHeader + kSettingsRow +
     "t,COM3,003,02:A2:01:A2:00:A1,,1.03,Pump 003,writing,\n"
     "t,COM4,004,02:A2:01:A2:00:B2,,1.03,Pump 004,writing,\n"
     "t,COM4,004,02:A2:01:A2:00:B2,,1.03,Pump 004,failed,Password Error\n",
     nullptr, {3}, {}, {"003"}, {"02:A2:01:A2:00:B2"}},
    {"lower-case hex", kBom + kHeader + "t,COM3,1,0a:0b:0c:0d:0e:ff,0a:0b:0c:0d:0e:01,1.03,P,ok,\n",
     nullptr, {1}, {"0A:0B:0C:0D:0E:01 P"}, {}, {}},
    {"apostrophe undone", kBom + kHeader + "t,COM3,1,02:A2:01:A2:00:A1,,1.03,'=SUM(A1),ok,\n"
     "t,COM3,2,02:A2:01:A2:00:A2,,1.03,'-1,ok,\nt,COM3,3,02:A2:01:A2:00:A3,,1.03,'plain,ok,\n",
     nullptr, {1, 2, 3}, {"02:A2:01:A2:00:A1 =SUM(A1)", "02:A2:01:A2:00:A2 -1",
                          "02:A2:01:A2:00:A3 'plain"}, {}, {}},
    {"profile file given as log", "zr9-profile 1\nDevice Name = Pump\n",
     "pumps.csv is a profile file, not a run log; a run log begins with the line \"time,port,",
     {}, {}, {}, {}},
    {"empty first line", "\n" + kHeader, "pumps.csv is not a run log: its first line is empty",
     {}, {}, {}, {}},
    {"header cut short when made", kBom + "time,port,n,loc",
     "holds only the beginning of a run log's header", {}, {}, {}, {}},
    {"numbers of failed attempts free again", kBom + kHeader +
     "t,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,writing,\n"
     "t,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,failed,Verify failed\n"
     "t,COM4,001,02:A2:01:A2:00:B2,,1.03,Pump 001,writing,\n"
     "t,COM4,001,02:A2:01:A2:00:B2,,1.03,Pump 001,ok,\n"
     "t,COM3,002,02:A2:01:A2:00:A1,,1.03,Pump 002,writing,\n"
     "t,COM3,002,02:A2:01:A2:00:A1,,1.03,Pump 002,failed,Password Error\n",
     nullptr, {1}, {"02:A2:01:A2:00:B2 Pump 001"}, {}, {"02:A2:01:A2:00:A1"}},
    {"failed, then configured on a retry", kBom + kHeader +
     "t,COM3,,02:A2:01:A2:00:A1,11:11:11:11:11:11,1.03,Pump 001,failed,Verify failed\n"
     "t,COM3,001,11:11:11:11:11:11,,1.03,Pump 001,ok,\n",
     nullptr, {1}, {"11:11:11:11:11:11 Pump 001"}, {}, {}},
    {"a row in the middle with too few fields", kBom + kHeader + "t,COM3,005,02:A2:01:A2:00:A1,\n"
     "t,COM3,005,02:A2:01:A2:00:A1,,1.03,Pump,failed,Timeout\n", nullptr, {5}, {}, {},
     {"02:A2:01:A2:00:A1"}, "pumps.csv: line 2 has 5 of the 9 fields and is set aside"},
    {"previous version's log", kBom + kHeader + "t,COM3,01,02:A2:01:A2:00:A1,,1.03,Pump 01,ok,\n"
     "t,COM4,,02:A2:01:A2:00:B2,,1.03,Pump,failed,Password Error\n", nullptr, {1},
     {"02:A2:01:A2:00:A1 Pump 01"}, {}, {"02:A2:01:A2:00:B2"}},
    {"settings row edited by hand", kBom + kHeader + kSettingsRow +
     "t,,,,,,,settings,profile 3f2a; frist 001\n",
     "pumps.csv, line 3: the run's settings cannot be read", {}, {}, {}, {}},
    {"settings row cut short", kBom + kHeader + kSettingsRow + "t,,,,,,,settings,profile 3f2a; fi",
     nullptr, {}, {}, {}, {}, "line 3 was cut short (a power cut or a full disk?) and is set aside"},
};

class RunLogReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(RunLogReadTest, ReadsWhatTheFileRecords)
{
    const ReadCase& c = GetParam();
    MemoryDisk disk{c.m_strContent};
    EarlierRows earlier;
    std::string error;
    ASSERT_EQ(Read(disk, earlier, error), c.m_szError == nullptr) << error;
    if (c.m_szError) {
        EXPECT_NE(error.find(c.m_szError), std::string::npos) << error;
        return;
    }
    EXPECT_EQ(earlier.m_setTakenNumbers, c.m_setTaken);
    std::vector<std::string> configured;
    for (const RunLogRow& row : earlier.m_vecConfigured)
        configured.push_back(row.CurrentAddress() + " " + row.m_strDeviceName);
    EXPECT_EQ(configured, c.m_vecConfigured);
    EXPECT_EQ(Numbers(earlier.m_vecInterrupted), c.m_vecInterrupted);
    std::vector<std::string> failed;
    for (const RunLogRow& row : earlier.m_vecFailed)
        failed.push_back(row.m_strAddress);
    EXPECT_EQ(failed, c.m_vecFailed);
    ASSERT_EQ(earlier.m_vecNotes.size(), c.m_szNote ? 1u : 0u);
    if (c.m_szNote) {
        EXPECT_NE(earlier.m_vecNotes[0].find(c.m_szNote), std::string::npos) << earlier.m_vecNotes[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Field, RunLogReadTest, testing::ValuesIn(kReadCases),
                         [](const testing::TestParamInfo<ReadCase>& info) {
                             std::string name = info.param.m_szName;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST(RunLog, WritesWhatItReadsBack)
{
    MemoryDisk disk;
    CRunLog log(std::make_unique<CMemoryLogFile>(disk));
    EarlierRows earlier;
    std::string error;
    ASSERT_TRUE(log.OpenAndRead(earlier, error)) << error;
    const RunLogSettings settings{"0123456789abcdef", "001",
                                  {"=cmd|' /C calc'!A0", "PIN Code=\\x41", "Device Name=Pump; {n} "}};
    ASSERT_TRUE(log.Begin(settings, error)) << error;
    ASSERT_TRUE(log.Append(Row("001", "02:A2:01:A2:00:A1", RunLogRow::Result::Ok, "=SUM(A1)"), error));
    EXPECT_EQ(disk.m_content->rfind(kBom + kHeader, 0), 0u);
    EXPECT_NE(disk.m_content->find(",'=SUM(A1),ok,"), std::string::npos);

    // An editor that trims blanks at the ends of lines.
    for (std::size_t blank; (blank = disk.m_content->find(" \n")) != std::string::npos;)
        disk.m_content->erase(blank, 1);
    ASSERT_TRUE(Read(disk, earlier, error)) << error;
    EXPECT_EQ(earlier.m_settings, settings);
    ASSERT_EQ(earlier.m_vecConfigured.size(), 1u);
    EXPECT_EQ(earlier.m_vecConfigured[0].m_strDeviceName, "=SUM(A1)");
    EXPECT_FALSE(earlier.m_vecConfigured[0].m_strTime.empty());
}

TEST(RunLog, HeldLogRefusedNamingTheHolder)
{
    MemoryDisk disk{kBom + kHeader, "zr9ctl (process 4242)"};
    EarlierRows earlier;
    std::string error;
    EXPECT_FALSE(Read(disk, earlier, error));
    EXPECT_EQ(error, "pumps.csv is in use by zr9ctl (process 4242)");
}

TEST(RunLog, NoRowGluedToAPartOfAnother)
{
    // Cut inside a quoted name, and a full disk in the middle of a row.
    MemoryDisk disk{kBom + kHeader + "t,COM3,001,02:A2:01:A2:00:A1,,1.03,\"Pump, 0"};
    CRunLog log(std::make_unique<CMemoryLogFile>(disk));
    EarlierRows earlier;
    std::string error;
    ASSERT_TRUE(log.OpenAndRead(earlier, error)) << error;
    ASSERT_TRUE(log.Begin({"d", "001", {}}, error)) << error;
    disk.m_nRoomLeft = 40;  // up to the address
    EXPECT_FALSE(log.Append(Row("002", "02:A2:01:A2:00:A2", RunLogRow::Result::Writing), error));
    EXPECT_EQ(error, "pumps.csv: the log cannot be written: No space left on device");
    disk.m_nRoomLeft = SIZE_MAX;
    ASSERT_TRUE(log.Append(Row("003", "02:A2:01:A2:00:A3", RunLogRow::Result::Ok), error));

    ASSERT_TRUE(Read(disk, earlier, error)) << error;
    EXPECT_EQ(earlier.m_setTakenNumbers, (std::set<long>{1, 2, 3}));
    EXPECT_EQ(Numbers(earlier.m_vecConfigured), std::vector<std::string>{"003"});
    EXPECT_EQ(earlier.m_settings, (RunLogSettings{"d", "001", {}}));
    EXPECT_EQ(earlier.m_vecNotes.size(), 2u);
}

TEST(RunLog, RowsFromSeveralThreadsNeverMix)
{
    MemoryDisk disk;
    CRunLog log(std::make_unique<CMemoryLogFile>(disk));
    std::string error;
    ASSERT_TRUE(log.Begin({"d", "1", {}}, error)) << error;
    std::vector<std::thread> ports;
    for (int port = 0; port < 4; ++port)
        ports.emplace_back([&log, port] {
            std::string error;
            for (int i = 0; i < 50; ++i)
                log.Append(Row(std::to_string(port * 100 + i), "02:A2:01:A2:00:A1",
                               RunLogRow::Result::Ok, std::string(100, 'a' + port)), error);
        });
    for (std::thread& port : ports)
        port.join();
    EarlierRows earlier;
    ASSERT_TRUE(Read(disk, earlier, error)) << error;
    EXPECT_EQ(earlier.m_vecConfigured.size(), 200u);
    EXPECT_TRUE(earlier.m_vecNotes.empty());
}

TEST(RunLog, ProfileDigestOfTheFieldsAlone)
{
    const auto digest = [](const std::string& text) {
        CProfileSettings profile;
        std::string error;
        EXPECT_TRUE(ParseProfileText(text, profile, error)) << error;
        return ProfileDigest(profile);
    };
    const std::string one = digest("zr9-profile 1\nDevice Name = Pump\nBaud Rate = 9600\n");
    EXPECT_EQ(one.size(), 16u);
    EXPECT_EQ(one, digest("zr9-profile 1\n# line 4\nBaud Rate=9600\n  Device Name   =  Pump\n"));
    EXPECT_NE(one, digest("zr9-profile 1\nDevice Name = Pump\nBaud Rate = 19200\n"));
    EXPECT_NE(one, digest("zr9-profile 1\nDevice Name = Pump\n"));
}

// The real file: its lock, a stale lock file, a row after a cut one.
TEST(RunLogFile, LockedCutAndResumed)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("zr9-run-log-" + std::to_string(std::random_device()()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "pumps.csv").string();
    std::ofstream(path + ".lock") << "zr9ctl (process 4242)\n";  // left by a killed run
    std::string error;
    EarlierRows earlier;
    {
        CRunLog first(OpenLogFile(path));
        ASSERT_TRUE(first.OpenAndRead(earlier, error)) << error;
        CRunLog second(OpenLogFile(path));
        EXPECT_FALSE(second.OpenAndRead(earlier, error));
        EXPECT_EQ(error.rfind(path + " is in use by production_tests (process ", 0), 0u) << error;
        ASSERT_TRUE(first.Begin({"d", "1", {}}, error)) << error;
        ASSERT_TRUE(first.Append(Row("1", "02:A2:01:A2:00:A1", RunLogRow::Result::Ok), error));
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
    std::ofstream(path, std::ios::app | std::ios::binary) << "t,COM3,2,02:A2:01:A2:00:A2,,1.0";
    {
        CRunLog resumed(OpenLogFile(path));
        ASSERT_TRUE(resumed.OpenAndRead(earlier, error)) << error;
        EXPECT_EQ(earlier.m_setTakenNumbers, (std::set<long>{1, 2}));
        ASSERT_TRUE(resumed.Begin({"d", "1", {}}, error)) << error;
        ASSERT_TRUE(resumed.Append(Row("3", "02:A2:01:A2:00:A3", RunLogRow::Result::Ok), error));
    }
    std::ifstream file(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find(",1.0\n"), std::string::npos) << content;
    MemoryDisk disk{content};
    ASSERT_TRUE(Read(disk, earlier, error)) << error;
    EXPECT_EQ(Numbers(earlier.m_vecConfigured), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(earlier.m_setTakenNumbers, (std::set<long>{1, 2, 3}));
    std::filesystem::remove_all(folder);
}

}  // namespace
