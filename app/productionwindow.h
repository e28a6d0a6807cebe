// The production window: modules configured one after another on up to eight
// ports at once, on the engine of zr9ctl batch and with the same log. The
// set-up page gathers the run's options and checks them with the engine (as
// --dry-run does); the run page shows a tile per port, laid out as the
// fixture, the counts and the engine's messages.
#pragma once

#include <QPointer>
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
    // Checks the set-up with the engine on a thread of its own; "Checking..."
    // until the verdict shows.
    void CheckSetUp();
    // Checks, then starts the run and shows the fixture once every port is
    // open; a set-up that does not check stays, saying why.
    void StartRun();
    // Ends the run at the next step on every port.
    void StopRun();
    bool Running() const { return m_bRunning; }

signals:
    // The tiles of a run being started are there; its ports report from then on.
    void fixtureBuilt();
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
    // The check's line, for the eye and for screen readers.
    void ShowVerdict(const QString& text);
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

    // The engine's Check or Start on m_pRun, off the GUI thread; StepDone
    // takes the result on it.
    enum class Step { Check, Start };
    void RunStep(Step step);
    void StepDone(Step step, unsigned setUp, const RunCheck& result);
    void SetUpChanged();
    // Check and Start as a check or start under way leaves them.
    void ShowBusy();
    void BeginRun();

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
    // Runs a Check or Start; while it does, m_pRun is that thread's alone.
    QThread* m_pStepper = nullptr;
    // Counts the set-up's changes: a check of an earlier set-up is stale.
    unsigned m_nSetUp = 0;
    // Start was asked: the check under way, when ready, goes on to Start.
    bool m_bStartAsked = false;
    // A button disabled under the keyboard's focus hands it on (to
    // m_pFocusTakenBy); it gets it back when enabled, unless the user moved on.
    QPointer<QWidget> m_pFocusGiver;
    QPointer<QWidget> m_pFocusTakenBy;
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
