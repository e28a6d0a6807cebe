// The production run's decisions on a line in memory: which module is which,
// which number it gets, what the log makes of a kill or a spreadsheet, and
// when a port or the run gives up.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "fake_line.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kHeader =
    "time,port,n,local address,new address,firmware,device name,result,reason\n";

// One run over the line; a case's runs share its modules and its log.
struct Stage {
    std::vector<std::string> m_vecSettings;
    std::string m_strFirst;
    std::vector<Visit> m_vecVisits;
    RunClock::duration m_tEnd;
    long m_nTarget = 0;
    bool m_bNewSettings = false;
    std::string m_strFullAt = {};  // the disk fills up at the first row holding it
};

struct EngineCase {
    const char* m_szName;
    std::vector<FakeModule> m_vecModules;
    std::optional<std::string> m_earlierLog;
    std::vector<Stage> m_vecStages;  // what the last one does is checked
    RunCheck::Verdict m_verdict;
    std::vector<std::string> m_vecOutcomes;  // a part of each module's outcome, in order
    const char* m_szMessage;                 // a part of the messages and notes
    long m_nConfigured;
    long m_nNotConfigured;
};

const std::vector<std::string> kPumps = {"Device Name=Pump {n}"};

FakeModule Refusing()
{
    FakeModule module = ModuleAt("0000000000F1");
    module.m_bRefuses = true;
    return module;
}

template <typename Change>
FakeModule With(FakeModule module, Change change)
{
    change(module);
    return module;
}

const EngineCase kCases[] = {
    {"a new password: each module is known by it after its reboot",
     {ModuleAt("112233445566"), ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{{"Device Name=Pump {n}", "Config Password=4321"}, "", {{0, 0s, 3s}, {1, 4s, 7s}}, 8s}},
     RunCheck::Verdict::Ready, {"ok 1 Pump 1", "ok 2 Pump 2"}, "configured as Pump 2", 2, 0},
    {"a lower-case address template configures the module once",
     {ModuleAt("112233445566")},
     std::nullopt,
     {{{"Local Address=0a:0b:0c:0d:0e:{n}"}, "01", {{0, 0s, 5s}}, 6s}},
     RunCheck::Verdict::Ready, {"ok 01 BLE UART"}, "configured as BLE UART", 1, 0},
    {"two modules with one factory address are two modules, and each is known again",
     {ModuleAt("112233445566"), ModuleAt("112233445566")},
     std::nullopt,
     {{kPumps, "", {{0, 0s, 2s}, {1, 3s, 5s}, {0, 6s, 7500ms}}, 8s}},
     RunCheck::Verdict::Ready,
     {"ok 1 Pump 1", "ok 2 Pump 2 (shares its address with Pump 1)"},
     "66:55:44:33:22:11: already configured as Pump 1", 2, 0},
    {"a log a spreadsheet saved with ';' is refused before anything is sent",
     {ModuleAt("112233445566")},
     "time;port;n;local address;new address;firmware;device name;result;reason\r\n"
     "09.12.2026 10:00;COM3;1;66:55:44:33:22:11;;1.03;Pump 1;ok;\r\n",
     {{kPumps, "", {{0, 0s, 2s}}, 3s}},
     RunCheck::Verdict::Usage, {}, "pumps.csv", 0, 0},
    {"a last row cut short is set aside; the rows before it still count",
     {ModuleAt("112233445566", "Pump 1"), ModuleAt("A1A2A3A4A5A6")},
     kBom + kHeader + "t,COM3,1,66:55:44:33:22:11,,1.03,Pump 1,ok,\n" +
         "t,COM4,2,A6:A5:A4:A3:A2:A1,,1.03,Pu",
     {{kPumps, "", {{0, 0s, 2s}, {1, 3s, 5s}}, 6s}},
     RunCheck::Verdict::Ready, {"ok 3 Pump 3"}, "already configured as Pump 1", 1, 0},
    {"a kill between the Write and its row: the module gets its number again",
     {ModuleAt("112233445566"), ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{kPumps, "001", {{0, 0s, 10s}}, 10s, 0, false, ",ok,"},
      {kPumps, "", {{0, 0s, 2s}, {1, 3s, 5s}}, 6s}},
     RunCheck::Verdict::Ready, {"ok 001 Pump 001", "ok 002 Pump 002"}, "gets 001 again", 2, 0},
    {"a resume with other --set values is refused, naming them",
     {ModuleAt("112233445566"), ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{kPumps, "", {{0, 0s, 2s}}, 3s}, {{"Device Name=Valve {n}"}, "", {{1, 0s, 2s}}, 3s}},
     RunCheck::Verdict::Usage, {},
     "--set values are \"Device Name=Valve {n}\", the log's runs had \"Device Name=Pump {n}\"",
     0, 0},
    {"a resume with other settings that are meant goes on counting",
     {ModuleAt("112233445566"), ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{kPumps, "", {{0, 0s, 2s}}, 3s}, {{"Device Name=Valve {n}"}, "", {{1, 0s, 2s}}, 3s, 0, true}},
     RunCheck::Verdict::Ready, {"ok 2 Valve 2"}, "configured as Valve 2", 1, 0},
    {"--first 001 forgotten on resume: the log's width",
     {ModuleAt("112233445566"), ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{kPumps, "001", {{0, 0s, 2s}}, 3s}, {kPumps, "", {{1, 0s, 2s}}, 3s}},
     RunCheck::Verdict::Ready, {"ok 002 Pump 002"}, "configured as Pump 002", 1, 0},
    {"a slow Read fails once, and is not tried again while the module stays",
     {With(ModuleAt("112233445566"), [](FakeModule& m) { m.m_tReadDelay = 1500ms; })},
     std::nullopt,
     {{kPumps, "", {{0, 0s, 5s}}, 6s}},
     RunCheck::Verdict::Ready, {"failed   (the module did not answer Read)"},
     "module (address unknown): failed: the module did not answer Read", 0, 1},
    {"a failed module whose Write changed its address is retried once it was taken off, "
     "with the number it may hold",
     {With(ModuleAt("112233445566"), [](FakeModule& m) { m.m_bSlowAfterWrite = true; }),
      ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{{"Local Address=02:00:00:00:00:{n}"}, "01", {{0, 0s, 3s}, {1, 4s, 5s}, {0, 6s, 8s}}, 9s}},
     RunCheck::Verdict::Ready,
     {"failed 01 BLE UART (the module did not answer Read after Write)", "ok 02 BLE UART",
      "ok 01 BLE UART"},
     "02:00:00:00:00:01: configured as BLE UART", 2, 0},
    {"a number a failure gave back is given again after a resume",
     {With(ModuleAt("112233445566"), [](FakeModule& m) { m.m_bKeepsWrites = false; }),
      ModuleAt("A1A2A3A4A5A6")},
     std::nullopt,
     {{kPumps, "001", {{0, 0s, 2s}}, 3s}, {kPumps, "", {{1, 0s, 2s}}, 3s}},
     RunCheck::Verdict::Ready, {"ok 001 Pump 001"}, "configured as Pump 001", 1, 0},
    {"three modules in a row refuse the password: the port stops",
     {Refusing(), Refusing(), Refusing(), ModuleAt("112233445566")},
     std::nullopt,
     {{kPumps, "", {{0, 0s, 1s}, {1, 2s, 3s}, {2, 4s, 5s}, {3, 6s, 8s}}, 9s}},
     RunCheck::Verdict::Ready, {"(Password Error)", "(Password Error)", "(Password Error)"},
     "check --password", 0, 3},
    {"--count ends the run once that many are configured",
     {ModuleAt("112233445566"), ModuleAt("A1A2A3A4A5A6"), ModuleAt("0F0E0D0C0B0A")},
     std::nullopt,
     {{kPumps, "", {{0, 0s, 2s}, {1, 3s, 5s}, {2, 6s, 8s}}, 9s, 2}},
     RunCheck::Verdict::Ready, {"ok 1 Pump 1", "ok 2 Pump 2"}, "configured as Pump 2", 2, 0},
};

struct StageResult {
    CRecordingObserver m_observer;
    RunCheck m_check;
    RunSummary m_summary;
    int m_nConnects = 0;
};

void RunStage(const Stage& stage, std::vector<FakeModule>& modules, MemoryLog& log,
              StageResult& result)
{
    RunOptions options;
    options.m_vecPorts.resize(1);
    options.m_vecPorts[0].Parse("/fake/COM3");
    options.m_strPassword = "6874";
    options.m_vecSettings = stage.m_vecSettings;
    options.m_strFirst = stage.m_strFirst;
    options.m_nTarget = stage.m_nTarget;
    options.m_bNewSettingsMeant = stage.m_bNewSettings;
    log.m_strFullAt = stage.m_strFullAt;
    for (FakeModule& module : modules)
        module.m_tDeafUntil = {};

    CFakeTime time;
    CFakePorts ports(time, modules, stage.m_vecVisits);
    CProductionRun run(options, result.m_observer, ports, time, MemoryLogFile(log));
    time.EndAt(stage.m_tEnd, [&run] { run.RequestStop(); });
    result.m_check = run.Check();
    for (const std::string& note : result.m_check.m_vecNotes)
        result.m_observer.m_strMessages += note + "\n";
    if (result.m_check.m_verdict == RunCheck::Verdict::Ready) {
        ASSERT_EQ(run.Start(CProductionRun::Threads::None).m_verdict, RunCheck::Verdict::Ready);
        run.RunPortForTest(0);
    }
    result.m_summary = run.Wait();
    result.m_nConnects = ports.m_nConnects;
}

TEST(ProductionRun, Decisions)
{
    for (const EngineCase& c : kCases) {
        SCOPED_TRACE(c.m_szName);
        std::vector<FakeModule> modules = c.m_vecModules;
        MemoryLog log{c.m_earlierLog, ""};
        for (std::size_t i = 0; i + 1 < c.m_vecStages.size(); ++i) {
            StageResult earlier;
            RunStage(c.m_vecStages[i], modules, log, earlier);
        }
        StageResult last;
        RunStage(c.m_vecStages.back(), modules, log, last);
        const std::string& told = last.m_observer.m_strMessages;

        EXPECT_EQ(last.m_check.m_verdict, c.m_verdict) << last.m_check.m_strError;
        if (c.m_verdict != RunCheck::Verdict::Ready) {
            EXPECT_EQ(last.m_nConnects, 0);
            EXPECT_NE(last.m_check.m_strError.find(c.m_szMessage), std::string::npos)
                << last.m_check.m_strError;
            continue;
        }
        const std::vector<std::string>& outcomes = last.m_observer.m_vecOutcomes;
        ASSERT_EQ(outcomes.size(), c.m_vecOutcomes.size()) << told;
        for (std::size_t i = 0; i < outcomes.size(); ++i)
            EXPECT_NE(outcomes[i].find(c.m_vecOutcomes[i]), std::string::npos) << outcomes[i];
        EXPECT_NE(told.find(c.m_szMessage), std::string::npos) << told;
        EXPECT_EQ(last.m_summary.m_counts.m_nConfigured, c.m_nConfigured) << told;
        EXPECT_EQ(last.m_summary.m_counts.m_nNotConfigured, c.m_nNotConfigured) << told;
        EXPECT_EQ(last.m_summary.m_vecNotConfigured.size(),
                  static_cast<std::size_t>(c.m_nNotConfigured));
        // What the log says the run did: each number has one module.
        std::map<std::string, std::string> moduleOf;
        std::istringstream rows(log.m_content.value_or(""));
        for (std::string row; std::getline(rows, row);) {
            if (row.find(",ok,") == std::string::npos)
                continue;
            std::vector<std::string> cells;
            std::istringstream split(row);
            for (std::string cell; std::getline(split, cell, ',');)
                cells.push_back(cell);
            const std::string module = cells.at(3);
            EXPECT_EQ(moduleOf.emplace(cells.at(2), module).first->second, module) << row;
        }
    }
}

}  // namespace
