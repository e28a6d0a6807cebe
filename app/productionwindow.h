// The production window: modules configured one after another on up to eight
// ports at once, on the engine of zr9ctl batch and with the same log. The
// set-up page gathers the run's options and checks them with the engine (as
// --dry-run does); the run page shows a tile per port, laid out as the
// fixture, the counts and the engine's messages.
#pragma once

#include <QThread>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "porttile.h"
#include "production_run.h"
#include "ui_productionwindow.h"

class TForm1;

class CProductionWindow : public QWidget, public Ui::ProductionWindow {
    Q_OBJECT

public:
    // `mainWindow`, when there is one, lends its fields as a profile.
    explicit CProductionWindow(TForm1* mainWindow = nullptr, QWidget* parent = nullptr);
    ~CProductionWindow() override;

    // How a run comes into being; tests give the engine's fake sessions and clock.
    using RunFactory =
        std::function<std::unique_ptr<CProductionRun>(RunOptions options, IRunObserver& observer)>;
    void SetRunFactory(RunFactory factory) { m_fnRunFactory = std::move(factory); }

    // Takes a profile file (chosen, dropped or named on the command line);
    // false, saying why, when it does not read.
    bool UseProfileFile(const QString& path);
    void UseMainWindowProfile();
    // Lists the ports that are there, keeping the ones checked.
    void RefreshPorts();
    // Checks the set-up with the engine; true when a run can start.
    bool CheckSetUp();
    // Checks, then starts the run and shows the fixture.
    bool StartRun();
    // Ends the run at the next step on every port.
    void StopRun();
    bool Running() const { return m_bRunning; }

signals:
    // Every port has ended and the summary is shown.
    void runEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    class CObserver;

    // The options the set-up gives, or nullopt with `error`.
    std::optional<RunOptions> GatherOptions(QString& error);
    // The profile the run gives, from `source`, said in a line.
    void TakeProfile(const CProfileSettings& settings, const QString& source);
    void ShowCheck(const RunCheck& check);
    void ShowPreviewUnknown();
    void ShowPortsChosen();
    void ChooseProfile();
    void ChooseLog(bool resume);

    // The engine's events, on the GUI thread.
    void OnPortChanged(std::size_t port, const PortStatus& status);
    void OnModuleFinished(const ModuleOutcome& outcome);
    void ShowCounts(const RunCounts& counts);
    void OnRunEnded(const RunSummary& summary);
    void OnMessage(std::size_t port, const std::string& text);
    void AddMessage(const QString& text);

    void BuildFixture();
    void ShowSetUp();
    void Tick();

    TForm1* m_pMainWindow;
    RunFactory m_fnRunFactory;
    // The profile: from a file, or from the main window's fields.
    std::optional<CProfileSettings> m_profile;
    // The run being set up (it holds the log after a Check) or running.
    std::unique_ptr<CObserver> m_pObserver;
    std::unique_ptr<CProductionRun> m_pRun;
    // Waits for the run's end off the GUI thread.
    QThread* m_pWaiter = nullptr;
    bool m_bRunning = false;
    bool m_bCloseWhenEnded = false;
    std::vector<CPortTile*> m_vecTiles;
    std::vector<QString> m_vecPortNames;
    QTimer m_tmrTick;
    // A check of the log and ports shortly after the set-up changed.
    QTimer m_tmrRecheck;
};

// Opens the production window from the main window, or raises the one open.
void OpenProductionWindow(TForm1* mainWindow);
