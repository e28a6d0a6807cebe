// The production window, offscreen, against zr9-module-sim on pseudo-terminals:
// what each tile tells a screen reader, the log the run writes, and the set-up
// the engine refuses.
#include <gtest/gtest.h>

#include <signal.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <algorithm>
#include <cstring>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "e2e_support.h"
#include "productionwindow.h"
#include "profile_file.h"
#include "sim_process.h"

namespace {

// The log on the disk, whose lock waits while the gate is shut: a check that
// lasts as long as the test wants.
class CGatedLog final : public ILogFile {
public:
    struct Gate {
        std::mutex m_mutex;
        std::condition_variable m_cvOpened;
        bool m_bShut = false;
        void Set(bool shut)
        {
            std::lock_guard lock(m_mutex);
            m_bShut = shut;
            m_cvOpened.notify_all();
        }
    };
    CGatedLog(const std::string& path, Gate& gate) : m_pFile(OpenLogFile(path)), m_gate(gate) {}
    bool ReadAll(std::optional<std::string>& content, std::string& error) override
    {
        return m_pFile->ReadAll(content, error);
    }
    bool Lock(std::string& holder, std::string& error) override
    {
        std::unique_lock lock(m_gate.m_mutex);
        m_gate.m_cvOpened.wait(lock, [this] { return !m_gate.m_bShut; });
        return m_pFile->Lock(holder, error);
    }
    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        return m_pFile->AppendDurably(bytes, error);
    }
    const std::string& Path() const override { return m_pFile->Path(); }

private:
    std::unique_ptr<ILogFile> m_pFile;
    Gate& m_gate;
};

class ProductionWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strProfile = m_ports.Path() + "/pumps.zr9";
        std::ofstream(m_strProfile) << kProfileFileHeader << "\nBaud Rate = 9600 BPS\n";
        m_strLog = m_ports.Path() + "/pumps.csv";
    }

    // Simulated modules on COM3 and on, each port's next one put on by SIGUSR1.
    void StartModules(int ports, int modulesPerPort, std::vector<std::string> options = {})
    {
        for (int port = 0; port < ports; ++port) {
            std::vector<std::string> args = options;
            for (int module = 0; module < modulesPerPort; ++module) {
                ProfileBytes record = DefaultProfile;
                char address[13];
                std::snprintf(address, sizeof address, "%08X%04X", port + 3, module);
                std::memcpy(record.data(), address, 12);
                args.insert(args.end(), {"--profile", ProfileHex(record)});
            }
            args.insert(args.end(), {"--transcript",
                                     m_ports.Path() + "/COM" + std::to_string(port + 3) + ".txt"});
            m_vecModules.push_back(std::make_unique<CSimProcess>(m_ports.Path(), port + 3, args));
            ASSERT_TRUE(m_vecModules.back()->Started());
        }
    }

    // A window set up as an operator does: profile, "Pump {n}" from 1, the ports, the log.
    CProductionWindow& OpenWindow(int ports)
    {
        m_window = std::make_unique<CProductionWindow>();
        QObject::connect(m_window.get(), &CProductionWindow::fixtureBuilt, m_window.get(), [this] {
            for (CPortTile* tile : m_window->findChildren<CPortTile*>())
                QObject::connect(tile, &CPortTile::statusShown, tile, [this, tile] {
                    m_mapTileTexts[tile->accessibleName()] << tile->accessibleDescription();
                });
        });
        m_window->UseProfileFile(QString::fromStdString(m_strProfile));
        m_window->spnWidth->setValue(1);
        m_window->RefreshPorts();
        for (int row = 0; row < m_window->lstPorts->count(); ++row)
            if (row < ports)
                m_window->lstPorts->item(row)->setCheckState(Qt::Checked);
        m_window->edLog->setText(QString::fromStdString(m_strLog));
        m_window->show();
        return *m_window;
    }

    // The check's line, as a screen reader has it.
    QString Verdict() const
    {
        return QAccessible::queryAccessibleInterface(m_window->lblCheck)
            ->text(QAccessible::Description);
    }

    // Start, as the button does: the check, then the run once the ports are open.
    bool StartRun()
    {
        m_window->StartRun();
        RunEventsUntil([this] { return m_window->Running() || Verdict().startsWith("Not ready"); },
                       10000);
        return m_window->Running();
    }

    QString TileText(int com) const
    {
        return m_window->findChild<CPortTile*>("tileCOM" + QString::number(com))
            ->accessibleDescription();
    }

    bool EndRun()
    {
        bool ended = false;
        QObject context;
        QObject::connect(m_window.get(), &CProductionWindow::runEnded, &context,
                         [&ended] { ended = true; });
        m_window->btnStop->click();
        return RunEventsUntil([&] { return ended; }, 5000);
    }

    CPortFolder m_ports;
    std::vector<std::unique_ptr<CSimProcess>> m_vecModules;
    std::unique_ptr<CProductionWindow> m_window;
    std::string m_strProfile, m_strLog;
    // Every description a tile gave, in order, by port, from its first
    // status on (the ports report while the start is under way).
    std::map<QString, QStringList> m_mapTileTexts;
};

// Four ports, two modules in turn on each: every tile goes through every step
// to "configured" twice, and the log has eight ok rows named 1 to 8.
TEST_F(ProductionWindow, ConfiguresTwoModulesInTurnOnFourPorts)
{
    StartModules(4, 2);
    CProductionWindow& window = OpenWindow(4);
    ASSERT_TRUE(StartRun()) << window.lblCheck->text().toStdString();
    std::vector<bool> swapped(4, false);
    ASSERT_TRUE(RunEventsUntil(
        [&] {
            int done = 0;
            for (int port = 0; port < 4; ++port) {
                const int configured = m_mapTileTexts["COM" + QString::number(port + 3)]
                                           .filter(QRegularExpression("^configured, take it off"))
                                           .size();
                if (configured >= 1 && !swapped[port]) {
                    swapped[port] = true;
                    kill(m_vecModules[port]->Pid(), SIGUSR1);
                }
                done += configured >= 2;
            }
            return done == 4;
        },
        30000))
        << window.txtMessages->toPlainText().toStdString();
    ASSERT_TRUE(EndRun());

    const QStringList steps = {
        "waiting for a module",   "reading", "writing", "verifying", "rebooting",
        "configured, take it off"};
    for (int com = 3; com <= 6; ++com) {
        const QStringList& seen = m_mapTileTexts["COM" + QString::number(com)];
        qsizetype at = 0;
        for (const QString& step : steps) {
            while (at < seen.size() && !seen[at].startsWith(step))
                ++at;
            EXPECT_LT(at, seen.size()) << com << ": no " << step.toStdString() << " in order in "
                                       << seen.join(" | ").toStdString();
        }
    }
    std::vector<std::string> names;
    for (const auto& row : LogRows(m_strLog, "ok"))
        names.push_back(row[6]);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Pump 1", "Pump 2", "Pump 3", "Pump 4", "Pump 5",
                                               "Pump 6", "Pump 7", "Pump 8"}))
        << FileText(m_strLog);
}

// A module pulled while its Write is on the line fails on its tile; the
// module on the other port is configured all the same.
TEST_F(ProductionWindow, ModulePulledDuringItsWriteFailsAloneOnItsTile)
{
    StartModules(2, 1, {"--read-delay", "300"});
    CProductionWindow& window = OpenWindow(2);
    ASSERT_TRUE(StartRun()) << window.lblCheck->text().toStdString();
    ASSERT_TRUE(RunEventsUntil(
        [&] {
            return FileText(m_ports.Path() + "/COM3.txt").find("AT+PROG=W") != std::string::npos;
        },
        10000));
    m_vecModules[0]->Stop(SIGTERM);
    const QRegularExpression failed("^failed, take it off: .");
    EXPECT_TRUE(RunEventsUntil(
        [&] {
            return m_mapTileTexts["COM3"].filter(failed).size() == 1 &&
                   TileText(4).startsWith("configured, take it off");
        },
        10000))
        << m_mapTileTexts["COM3"].join(" | ").toStdString();
    ASSERT_TRUE(EndRun());
    EXPECT_EQ(LogRows(m_strLog, "ok").size(), 1u) << FileText(m_strLog);
}

// Stop while every port waits for a slow Read: the run ends at once and the
// summary lists the modules still not configured; a second run on the same
// log goes on with the next number.
TEST_F(ProductionWindow, StopsDuringARunAndResumesFromItsLog)
{
    StartModules(2, 2, {"--read-delay", "900"});
    CProductionWindow& window = OpenWindow(2);
    ASSERT_TRUE(StartRun());
    ASSERT_TRUE(RunEventsUntil(
        [&] { return TileText(3).startsWith("reading") && TileText(4).startsWith("reading"); },
        10000));
    ASSERT_TRUE(EndRun());
    const QString summary = window.txtMessages->toPlainText();
    EXPECT_TRUE(summary.contains("Run ended: 0 configured")) << summary.toStdString();
    EXPECT_TRUE(LogRows(m_strLog, "ok").empty());

    // One module configured, then the window closed and opened on the same log.
    window.btnNewRun->click();
    window.lstPorts->item(1)->setCheckState(Qt::Unchecked);
    ASSERT_TRUE(StartRun()) << window.lblCheck->text().toStdString();
    ASSERT_TRUE(RunEventsUntil([&] { return TileText(3).startsWith("configured"); }, 10000));
    ASSERT_TRUE(EndRun());
    kill(m_vecModules[0]->Pid(), SIGUSR1);
    OpenWindow(1);
    ASSERT_TRUE(StartRun()) << m_window->lblCheck->text().toStdString();
    ASSERT_TRUE(RunEventsUntil([&] { return LogRows(m_strLog, "ok").size() == 2; }, 10000));
    ASSERT_TRUE(EndRun());
    EXPECT_EQ(LogRows(m_strLog, "ok")[1][6], "Pump 2") << FileText(m_strLog);

    // Other names on the same log: refused in the window's words, not zr9ctl's.
    m_window->btnNewRun->click();
    m_window->edDeviceName->setText("Valve {n}");
    EXPECT_FALSE(StartRun());
    EXPECT_TRUE(Verdict().contains("the per-module values are \"Device Name=Valve {n}\"") &&
                Verdict().contains("choose a new log file") && !Verdict().contains("--"))
        << Verdict().toStdString();
}

// Logs the engine refuses (a ';' export, a profile file) are refused in its
// own words, and left as they were.
TEST_F(ProductionWindow, RefusesAForeignLogWithTheEnginesMessage)
{
    StartModules(1, 1);
    for (const char* content : {"time;port;n;result\r\n2026-12-09;COM3;1;ok\r\n",
                                "zr9-profile 1\nBaud Rate = 9600 BPS\n"}) {
        std::ofstream(m_strLog) << content;
        CProductionWindow& window = OpenWindow(1);
        EXPECT_FALSE(StartRun());
        // The same options, checked by the engine alone.
        struct : IRunObserver {
            void PortChanged(std::size_t, const PortStatus&) override {}
            void ModuleFinished(std::size_t, const ModuleOutcome&) override {}
            void CountsChanged(const RunCounts&) override {}
            void Message(std::size_t, const std::string&) override {}
        } observer;
        RunOptions options;
        options.m_strPassword = "6874";
        options.m_vecSettings = {"Device Name=Pump {n}"};
        options.m_strLogPath = m_strLog;
        options.m_vecPorts.resize(1);
        options.m_vecPorts[0].Parse("COM3");
        std::string error;
        ASSERT_TRUE(LoadProfileFile(m_strProfile, options.m_profile, error));
        const RunCheck check = CProductionRun(options, observer).Check();
        ASSERT_EQ(check.m_verdict, RunCheck::Verdict::Usage);
        EXPECT_TRUE(window.lblCheck->text().startsWith("Not ready: " +
                                                       QString::fromStdString(check.m_strError)))
            << window.lblCheck->text().toStdString();
        EXPECT_EQ(FileText(m_strLog), content);
        EXPECT_EQ(window.stkPages->currentWidget(), window.pageSetUp);
    }
}

// The check runs off the window's thread. A set-up changed during a check is
// checked again, and Start starts what the window shows, not what was
// checked; a window destroyed during a check waits for it and frees the log.
TEST_F(ProductionWindow, ChecksAgainWhenTheSetUpChangesDuringACheck)
{
    StartModules(1, 1);
    const std::string foreign = m_ports.Path() + "/export.csv";
    std::ofstream(foreign) << "time;port;n;result\r\n";
    CGatedLog::Gate gate;
    CProductionWindow& window = OpenWindow(1);
    window.SetRunFactory([&gate](RunOptions options, IRunObserver& observer) {
        auto log = std::make_unique<CGatedLog>(options.m_strLogPath, gate);
        return std::make_unique<CProductionRun>(std::move(options), observer, std::move(log));
    });
    gate.Set(true);
    window.CheckSetUp();
    EXPECT_EQ(Verdict(), "Checking...");
    EXPECT_FALSE(window.btnCheck->isEnabled());
    window.edLog->setText(QString::fromStdString(foreign));
    window.StartRun();
    EXPECT_FALSE(window.btnStart->isEnabled());
    gate.Set(false);
    ASSERT_TRUE(RunEventsUntil([this] { return Verdict().startsWith("Not ready"); }, 10000));
    EXPECT_TRUE(Verdict().contains("export.csv")) << Verdict().toStdString();
    EXPECT_FALSE(window.Running());
    EXPECT_TRUE(window.btnCheck->isEnabled() && window.btnStart->isEnabled());
    EXPECT_FALSE(std::filesystem::exists(m_strLog));  // the stale Ready began nothing

    window.edLog->setText(QString::fromStdString(m_strLog));
    gate.Set(true);
    window.CheckSetUp();
    std::thread opener([&gate] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gate.Set(false);
    });
    m_window.reset();
    opener.join();
    OpenWindow(1);
    ASSERT_TRUE(StartRun()) << Verdict().toStdString();
    EXPECT_TRUE(EndRun());
}

// Eight ports as a 2x4 fixture at 150 % font size (as QT_FONT_DPI=144 gives):
// every control a user reaches has a name of its own for screen readers, and
// no button or label is cut short on either page.
TEST_F(ProductionWindow, NamesEveryControlAndHoldsItsLayoutAt150Percent)
{
    StartModules(8, 1, {"--silent"});
    CProductionWindow& window = OpenWindow(8);
    QFont font = window.font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    window.setFont(font);
    for (QWidget* page : {window.pageSetUp, window.pageRun}) {
        if (page == window.pageRun) {
            ASSERT_TRUE(StartRun()) << window.lblCheck->text().toStdString();
        }
        window.resize(window.sizeHint());
        RunEventsUntil([] { return false; }, 50);
        QStringList names;
        QList<QAccessibleInterface*> pending = {QAccessible::queryAccessibleInterface(page)};
        while (!pending.isEmpty()) {
            QAccessibleInterface* node = pending.takeFirst();
            const bool whole =
                node->role() == QAccessible::SpinBox || node->role() == QAccessible::List;
            for (int i = 0; !whole && i < node->childCount(); ++i)
                pending << node->child(i);
            if (node->state().focusable && !node->state().invisible)
                names << node->text(QAccessible::Name);
        }
        // 17 controls of the set-up; 8 tiles, Stop, New run, Close and the messages.
        EXPECT_EQ(names.size(), page == window.pageSetUp ? 17 : 12)
            << names.join(", ").toStdString();
        EXPECT_FALSE(names.contains("")) << names.join(", ").toStdString();
        EXPECT_EQ(QSet(names.begin(), names.end()).size(), names.size())
            << names.join(", ").toStdString();
        for (QWidget* widget : page->findChildren<QWidget*>()) {
            if (!widget->isVisible() ||
                !(qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLabel*>(widget)))
                continue;
            const auto* label = qobject_cast<QLabel*>(widget);
            const QSize needed =
                label && label->wordWrap() ? widget->minimumSizeHint() : widget->sizeHint();
            EXPECT_GE(widget->width(), needed.width()) << widget->objectName().toStdString();
            EXPECT_GE(widget->height(), needed.height()) << widget->objectName().toStdString();
            EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()))
                << widget->objectName().toStdString();
        }
    }
    int row, column, span;
    window.grdFixture->getItemPosition(
        window.grdFixture->indexOf(window.findChild<CPortTile*>("tileCOM10")), &row, &column, &span,
        &span);
    EXPECT_EQ(std::pair(row, column), std::pair(1, 3));  // the second row's fourth tile
    EXPECT_TRUE(EndRun());
}

}  // namespace
