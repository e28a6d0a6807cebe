#include "productionwindow.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>

#include "port_info.h"
#include "profile_file.h"
#include "tform1.h"

namespace {

// Tiles in the fixture's rows: two for up to four ports (2x2), else four (2x4).
int FixtureColumns(std::size_t ports)
{
    return ports <= 1 ? 1 : ports <= 4 ? 2 : 4;
}

constexpr std::size_t kMostPorts = 8;
// How often a running step's time is redrawn.
constexpr int kTickMs = 100;
// A check of the set-up runs this long after the last change to it.
constexpr int kRecheckMs = 400;

std::string NativePath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Fields are the window's 8-bit text, as the main window's are.
std::string Bytes(const QString& text)
{
    return text.toLatin1().toStdString();
}

QString DraggedFile(const QMimeData* data)
{
    const QList<QUrl> urls = data->urls();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

// "Device Name BLE UART; Baud Rate 9600 BPS; ...": what a profile sets.
QString ProfileSummary(const CProfileSettings& profile)
{
    QStringList parts;
    for (std::size_t i = 0; i < kProfileFieldCount; ++i) {
        const auto field = static_cast<ProfileField>(i);
        if (profile.Names(field))
            parts << QString::fromLatin1(ProfileFieldName(field)) + " " +
                         EngineText(FormatProfileValue(profile.Values(), field));
    }
    QString summary = parts.isEmpty() ? QStringLiteral("sets no field") : parts.join("; ");
    if (profile.Names(ProfileField::LocalAddress))
        summary += QStringLiteral(
            ". Each module keeps its own Local Address unless the Local "
            "Address below gives one.");
    return summary;
}

}  // namespace

// Passes the engine's events, which come on the ports' threads, to the GUI
// thread as queued calls; it never waits for the window.
class CProductionWindow::CObserver : public IRunObserver {
public:
    explicit CObserver(CProductionWindow* window) : m_pWindow(window) {}

    void PortChanged(std::size_t port, const PortStatus& status) override
    {
        Post([port, status](CProductionWindow* window) { window->OnPortChanged(port, status); });
    }
    void ModuleFinished(std::size_t, const ModuleOutcome& outcome) override
    {
        // The outcome names its port.
        Post([outcome](CProductionWindow* window) { window->OnModuleFinished(outcome); });
    }
    void CountsChanged(const RunCounts& counts) override
    {
        Post([counts](CProductionWindow* window) { window->ShowCounts(counts); });
    }
    void Message(std::size_t port, const std::string& text) override
    {
        Post([port, text](CProductionWindow* window) { window->OnMessage(port, text); });
    }

private:
    template <typename Call>
    void Post(Call call)
    {
        CProductionWindow* window = m_pWindow;
        QMetaObject::invokeMethod(
            window, [window, call] { call(window); }, Qt::QueuedConnection);
    }

    CProductionWindow* m_pWindow;
};

CProductionWindow::CProductionWindow(TForm1* mainWindow, QWidget* parent)
    : QWidget(parent), m_pMainWindow(mainWindow)
{
    setupUi(this);
    m_fnRunFactory = [](RunOptions options, IRunObserver& observer) {
        return std::make_unique<CProductionRun>(std::move(options), observer);
    };
    btnMainWindowProfile->setVisible(mainWindow != nullptr);
    // A dropped file is a profile for the whole window, not text for an edit.
    setAcceptDrops(true);
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        edit->setAcceptDrops(false);

    connect(btnChooseProfile, &QPushButton::clicked, this, &CProductionWindow::ChooseProfile);
    connect(btnMainWindowProfile, &QPushButton::clicked, this,
            &CProductionWindow::UseMainWindowProfile);
    connect(edProfile, &QLineEdit::editingFinished, this, [this] {
        if (edProfile->isModified() && !edProfile->text().isEmpty())
            UseProfileFile(edProfile->text());
        edProfile->setModified(false);
    });
    connect(btnRefreshPorts, &QPushButton::clicked, this, &CProductionWindow::RefreshPorts);
    connect(btnNewLog, &QPushButton::clicked, this, [this] { ChooseLog(false); });
    connect(btnResumeLog, &QPushButton::clicked, this, [this] { ChooseLog(true); });
    connect(btnCheck, &QPushButton::clicked, this, &CProductionWindow::CheckSetUp);
    connect(btnStart, &QPushButton::clicked, this, &CProductionWindow::StartRun);
    connect(btnStop, &QPushButton::clicked, this, &CProductionWindow::StopRun);
    connect(btnNewRun, &QPushButton::clicked, this, &CProductionWindow::ShowSetUp);
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);

    // Whatever changes the set-up is checked again shortly after, so the
    // preview and the check's verdict follow the typing.
    m_tmrRecheck.setSingleShot(true);
    m_tmrRecheck.setInterval(kRecheckMs);
    connect(&m_tmrRecheck, &QTimer::timeout, this, [this] {
        if (!m_bRunning && isVisible() && stkPages->currentWidget() == pageSetUp)
            CheckSetUp();
    });
    for (QLineEdit* edit : {edDeviceName, edLocalAddress, edPassword, edNewPassword, edLog})
        connect(edit, &QLineEdit::textChanged, this, &CProductionWindow::SetUpChanged);
    for (QSpinBox* spin : {spnFirst, spnWidth, spnTarget})
        connect(spin, &QSpinBox::valueChanged, this, &CProductionWindow::SetUpChanged);
    connect(lstPorts, &QListWidget::itemChanged, this, [this] {
        ShowPortsChosen();
        SetUpChanged();
    });

    m_tmrTick.setInterval(kTickMs);
    connect(&m_tmrTick, &QTimer::timeout, this, &CProductionWindow::Tick);

    RefreshPorts();
    if (mainWindow != nullptr)
        UseMainWindowProfile();
    else
        lblProfileSummary->setText(
            QStringLiteral("No profile yet: choose a file or drop one here."));
    ShowSetUp();
}

CProductionWindow::~CProductionWindow()
{
    // The ports' threads, and a check or start under way, end before the
    // window they report to; a start told to stop opens no further port.
    if (m_pRun)
        m_pRun->RequestStop();
    for (QThread* thread : {m_pStepper, m_pWaiter}) {
        if (thread != nullptr) {
            thread->wait();
            delete thread;
        }
    }
    m_pRun.reset();
}

bool CProductionWindow::UseProfileFile(const QString& path)
{
    edProfile->setText(path);
    CProfileSettings settings;
    std::string error;
    if (!LoadProfileFile(NativePath(path), settings, error)) {
        m_profile.reset();
        lblProfileSummary->setText(EngineText(error));
        ShowPreviewUnknown();
        SetUpChanged();
        return false;
    }
    TakeProfile(settings, QFileInfo(path).fileName());
    return true;
}

void CProductionWindow::UseMainWindowProfile()
{
    if (m_pMainWindow == nullptr)
        return;
    edProfile->clear();
    CProfileSettings settings;
    std::string error;
    // Through the file format, so the fields pass the checks a file does.
    if (!ParseProfileText(FormatProfileText(m_pMainWindow->GetProfileView()), settings, error)) {
        m_profile.reset();
        lblProfileSummary->setText("The main window's fields: " + EngineText(error));
        SetUpChanged();
        return;
    }
    TakeProfile(settings, QStringLiteral("The main window's fields"));
}

void CProductionWindow::TakeProfile(const CProfileSettings& settings, const QString& source)
{
    m_profile = settings;
    lblProfileSummary->setText(source + ": " + ProfileSummary(settings));
    // A new password the profile gives is the one the modules get unless another is typed.
    edNewPassword->setPlaceholderText(settings.Names(ProfileField::ConfigPassword)
                                          ? "the profile's: " + EngineText(settings.Values().CfgPwd)
                                          : QStringLiteral("none: the modules keep theirs"));
    SetUpChanged();
}

void CProductionWindow::ChooseProfile()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Choose Profile"), QFileInfo(edProfile->text()).absolutePath(),
        QStringLiteral("Profiles (*.zr9);;All files (*)"));
    if (!path.isEmpty())
        UseProfileFile(path);
}

void CProductionWindow::ChooseLog(bool resume)
{
    const QString folder = QFileInfo(edLog->text()).absolutePath();
    const QString filter = QStringLiteral("Logs (*.csv);;All files (*)");
    // A file that exists is never replaced: the engine goes on with it, or
    // refuses it, and the check says which.
    const QString path =
        resume ? QFileDialog::getOpenFileName(this, QStringLiteral("Resume Log"), folder, filter)
               : QFileDialog::getSaveFileName(this, QStringLiteral("New Log"), folder, filter,
                                              nullptr, QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        edLog->setText(path);
}

void CProductionWindow::RefreshPorts()
{
    QStringList checked;
    for (int row = 0; row < lstPorts->count(); ++row)
        if (lstPorts->item(row)->checkState() == Qt::Checked)
            checked << lstPorts->item(row)->data(Qt::UserRole).toString();
    const QSignalBlocker blocker(lstPorts);
    lstPorts->clear();
    // What the system knows of each device, opening only a port it misses: a
    // port held by another program is listed, and the check says who holds it.
    for (int portIndex = 0; portIndex < 31; ++portIndex) {
        const port_info::PortDevice device = port_info::InspectPort(portIndex);
        if (!port_info::PortIsThere(portIndex, device) || port_info::IsSystemConsole(portIndex))
            continue;
        const QString name = QString::fromStdString(port_info::ComName(portIndex));
        auto* item = new QListWidgetItem(
            QString::fromStdString(port_info::DescribePort(portIndex, device)), lstPorts);
        item->setData(Qt::UserRole, name);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(checked.contains(name) ? Qt::Checked : Qt::Unchecked);
    }
    if (lstPorts->count() > 0 && lstPorts->currentRow() < 0)
        lstPorts->setCurrentRow(0);
    ShowPortsChosen();
    SetUpChanged();
}

void CProductionWindow::ShowPortsChosen()
{
    int checked = 0;
    for (int row = 0; row < lstPorts->count(); ++row)
        checked += lstPorts->item(row)->checkState() == Qt::Checked;
    if (lstPorts->count() == 0)
        lblPortsChosen->setText(QStringLiteral("No port found. ") +
                                QString::fromStdString(port_info::PortTable()));
    else
        lblPortsChosen->setText(
            QStringLiteral("%1 of %2 ports checked").arg(checked).arg(lstPorts->count()));
}

std::optional<RunOptions> CProductionWindow::GatherOptions(QString& error)
{
    RunOptions options;
    if (!m_profile) {
        error = QStringLiteral("Choose a profile file, or drop one on the window.");
        return std::nullopt;
    }
    options.m_profile = *m_profile;
    // One profile's own address on every module would make them one device to
    // their peers: each keeps its own unless Local Address gives one.
    options.m_profile.Forget(ProfileField::LocalAddress);

    CProfileSettings password;
    std::string parseError;
    if (!password.Parse("Config Password = " + Bytes(edPassword->text()), parseError)) {
        error = "Password: " + EngineText(parseError);
        return std::nullopt;
    }
    options.m_strPassword = password.Values().CfgPwd;

    const struct {
        ProfileField field;
        QLineEdit* edit;
    } values[] = {{ProfileField::DeviceName, edDeviceName},
                  {ProfileField::LocalAddress, edLocalAddress},
                  {ProfileField::ConfigPassword, edNewPassword}};
    for (const auto& value : values)
        if (!value.edit->text().isEmpty())
            options.m_vecSettings.push_back(std::string(ProfileFieldName(value.field)) + "=" +
                                            Bytes(value.edit->text()));
    // An earlier log goes on with its own numbering.
    if (QFileInfo(edLog->text()).size() == 0)
        options.m_strFirst = QStringLiteral("%1")
                                 .arg(spnFirst->value(), spnWidth->value(), 10, QLatin1Char('0'))
                                 .toStdString();

    for (int row = 0; row < lstPorts->count(); ++row) {
        if (lstPorts->item(row)->checkState() != Qt::Checked)
            continue;
        CPortChoice port;
        port.Parse(lstPorts->item(row)->data(Qt::UserRole).toString().toStdString());
        options.m_vecPorts.push_back(port);
    }
    if (options.m_vecPorts.empty() || options.m_vecPorts.size() > kMostPorts) {
        error = QStringLiteral("Check 1 to %1 ports in the list (%2 checked).")
                    .arg(kMostPorts)
                    .arg(options.m_vecPorts.size());
        return std::nullopt;
    }
    if (edLog->text().isEmpty()) {
        error = QStringLiteral("Choose a log file: a new one, or an earlier log to resume.");
        return std::nullopt;
    }
    options.m_strLogPath = NativePath(edLog->text());
    options.m_nTarget = spnTarget->value();
    // The engine's sentences name this window's fields, not zr9ctl's options.
    options.m_wording.m_strPassword = "the Password field";
    options.m_wording.m_strFirst = "the first number";
    options.m_wording.m_strSettings = "the per-module values";
    options.m_wording.m_strSetting = "";
    options.m_wording.m_strOwnAddress = "a Local Address with {n}";
    options.m_wording.m_strGoOn = "choose a new log file for these";
    return options;
}

void CProductionWindow::SetUpChanged()
{
    ++m_nSetUp;
    // A check's hold on the log ends with the set-up it checked; a run, or a
    // check or start under way, keeps its own.
    if (m_pStepper == nullptr && !m_bRunning)
        m_pRun.reset();
    m_tmrRecheck.start();
}

void CProductionWindow::CheckSetUp()
{
    if (m_bRunning)
        return;
    m_tmrRecheck.stop();
    // One step at a time on one log: StepDone checks again once the step
    // under way has ended, if its set-up has changed since.
    if (m_pStepper != nullptr)
        return;
    m_pRun.reset();
    QString error;
    std::optional<RunOptions> options = GatherOptions(error);
    if (!options) {
        ShowVerdict("Not ready: " + error);
        ShowPreviewUnknown();
        m_bStartAsked = false;
        ShowBusy();
        return;
    }
    m_vecPortNames.clear();
    for (const CPortChoice& port : options->m_vecPorts)
        m_vecPortNames.push_back(QString::fromStdString(port.Name()));
    m_pObserver = std::make_unique<CObserver>(this);
    m_pRun = m_fnRunFactory(std::move(*options), *m_pObserver);
    ShowVerdict(QStringLiteral("Checking..."));
    RunStep(Step::Check);
}

void CProductionWindow::RunStep(Step step)
{
    CProductionRun* run = m_pRun.get();
    auto result = std::make_shared<RunCheck>();
    m_pStepper = QThread::create([run, step, result] {
        *result = step == Step::Check ? run->Check() : run->Start();
    });
    // Queued: `finished` comes on the stepper's thread.
    connect(m_pStepper, &QThread::finished, this,
            [this, step, setUp = m_nSetUp, result] { StepDone(step, setUp, *result); });
    m_pStepper->start();
    ShowBusy();
}

void CProductionWindow::StepDone(Step step, unsigned setUp, const RunCheck& result)
{
    m_pStepper->wait();
    delete m_pStepper;
    m_pStepper = nullptr;
    // A window closed meanwhile wants no run. A set-up changed during a check
    // makes it stale; a start goes on with the set-up it was asked with.
    const bool closed = !isVisible();
    const bool stale = closed || (step == Step::Check && setUp != m_nSetUp);
    const bool ready = !stale && result.m_verdict == RunCheck::Verdict::Ready;
    if (!ready)
        m_pRun.reset();  // lets go of the log, and of the ports a start opened
    if (stale) {
        if (!closed && (m_bStartAsked || !m_tmrRecheck.isActive()))
            CheckSetUp();
        else
            ShowBusy();
        return;
    }
    if (!ready || step == Step::Check)
        ShowCheck(result);
    if (!ready)
        m_bStartAsked = false;
    if (ready && step == Step::Check && m_bStartAsked) {
        // The fixture is there before the ports' first events, which come
        // while the start is still under way.
        BuildFixture();
        txtMessages->clear();
        ShowCounts(RunCounts{0, 0, spnTarget->value()});
        ShowVerdict(QStringLiteral("Starting: opening the ports..."));
        RunStep(Step::Start);
    } else if (ready && step == Step::Start) {
        m_bStartAsked = false;
        BeginRun();
    } else {
        ShowBusy();
    }
}

void CProductionWindow::ShowBusy()
{
    QWidget* focused = focusWidget();
    const bool starting = m_bStartAsked;
    const bool checking = starting || m_pStepper != nullptr;
    btnCheck->setEnabled(!checking);
    btnStart->setEnabled(!starting);
    if ((focused == btnCheck && checking) || (focused == btnStart && starting)) {
        m_pFocusGiver = focused;
        m_pFocusTakenBy = focusWidget();
    } else if (m_pFocusGiver != nullptr && m_pFocusGiver->isEnabled()) {
        if (focusWidget() == m_pFocusTakenBy)
            m_pFocusGiver->setFocus();
        m_pFocusGiver = nullptr;
    }
}

void CProductionWindow::ShowCheck(const RunCheck& check)
{
    QStringList preview;
    for (const std::string& name : check.m_vecPreview)
        preview << EngineText(name);
    if (preview.isEmpty())
        ShowPreviewUnknown();
    else
        lblPreview->setText(preview.join(", ") + ", ...");
    QStringList lines;
    if (check.m_verdict == RunCheck::Verdict::Ready)
        lines << QStringLiteral("Ready to start.");
    else
        lines << "Not ready: " + EngineText(check.m_strError);
    for (const std::string& note : check.m_vecNotes)
        lines << EngineText(note);
    ShowVerdict(lines.join('\n'));
}

void CProductionWindow::ShowVerdict(const QString& text)
{
    lblCheck->setText(text);
    lblCheck->setAccessibleDescription(text);
    QAccessibleEvent event(lblCheck, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}

void CProductionWindow::ShowPreviewUnknown()
{
    lblPreview->setText(QStringLiteral("(shown once the set-up checks)"));
}

void CProductionWindow::StartRun()
{
    if (m_bRunning || m_bStartAsked)
        return;
    m_bStartAsked = true;
    // Checked again now, whatever an earlier check said; a check under way
    // goes on to Start when its set-up is still the one shown.
    CheckSetUp();
    ShowBusy();
}

void CProductionWindow::BeginRun()
{
    m_pFocusGiver = nullptr;  // the run page has its own
    ShowBusy();
    m_bRunning = true;
    btnStop->setEnabled(true);
    btnNewRun->setEnabled(false);
    stkPages->setCurrentWidget(pageRun);
    btnStop->setFocus();
    CProductionRun* run = m_pRun.get();
    m_pWaiter = QThread::create([this, run] {
        const RunSummary summary = run->Wait();
        QMetaObject::invokeMethod(
            this, [this, summary] { OnRunEnded(summary); }, Qt::QueuedConnection);
    });
    m_pWaiter->start();
    m_tmrTick.start();
    AddMessage("Run started on " +
               QStringList(m_vecPortNames.begin(), m_vecPortNames.end()).join(", ") +
               "; the log is " + edLog->text());
}

void CProductionWindow::StopRun()
{
    if (!m_bRunning || !btnStop->isEnabled())
        return;
    btnStop->setEnabled(false);
    m_pRun->RequestStop();
    AddMessage(QStringLiteral("Stopping: every port ends at its next step."));
}

void CProductionWindow::BuildFixture()
{
    for (CPortTile* tile : m_vecTiles)
        delete tile;
    m_vecTiles.clear();
    const int columns = FixtureColumns(m_vecPortNames.size());
    QWidget* previous = nullptr;
    for (std::size_t i = 0; i < m_vecPortNames.size(); ++i) {
        CPortChoice port;
        port.Parse(m_vecPortNames[i].toStdString());
        // "COM3: /dev/ttyUSB0, CP2102 ..., serial 0001" without the port's name.
        QString device = QString::fromStdString(port_info::DescribePort(port.PortIndex()));
        device.remove(0, device.indexOf(": ") < 0 ? device.size() : device.indexOf(": ") + 2);
        auto* tile = new CPortTile(m_vecPortNames[i], device, wgtFixture);
        grdFixture->addWidget(tile, static_cast<int>(i) / columns, static_cast<int>(i) % columns);
        if (previous != nullptr)
            setTabOrder(previous, tile);
        previous = tile;
        m_vecTiles.push_back(tile);
    }
    if (previous != nullptr)
        setTabOrder(previous, btnStop);
    emit fixtureBuilt();
}

void CProductionWindow::OnPortChanged(std::size_t port, const PortStatus& status)
{
    if (port < m_vecTiles.size()) {
        m_vecTiles[port]->ShowStatus(status);
        m_vecTiles[port]->ShowElapsed(RunClock::now());
    }
}

void CProductionWindow::OnModuleFinished(const ModuleOutcome& outcome)
{
    // The engine's message says what became of the module.
    if (!outcome.m_bOk && ckBell->isChecked())
        QApplication::beep();
}

void CProductionWindow::ShowCounts(const RunCounts& counts)
{
    lblConfigured->setText(QStringLiteral("Configured: %1").arg(counts.m_nConfigured));
    lblFailed->setText(QStringLiteral("Failed: %1").arg(counts.m_nNotConfigured));
    if (counts.m_nTarget > 0) {
        lblToDo->setText(QStringLiteral("Still to do: %1")
                             .arg(std::max(0L, counts.m_nTarget - counts.m_nConfigured)));
        barTarget->setRange(0, static_cast<int>(counts.m_nTarget));
        barTarget->setValue(static_cast<int>(std::min(counts.m_nConfigured, counts.m_nTarget)));
        barTarget->setFormat(QStringLiteral("%v of %m"));
        barTarget->setVisible(true);
    } else {
        lblToDo->setText(QStringLiteral("Still to do: no target"));
        barTarget->setVisible(false);
    }
}

void CProductionWindow::OnMessage(std::size_t port, const std::string& text)
{
    // The engine's sentence does not name its port.
    const QString about = port < m_vecPortNames.size() ? m_vecPortNames[port] + ": " : QString();
    AddMessage(about + EngineText(text));
}

void CProductionWindow::AddMessage(const QString& text)
{
    txtMessages->appendPlainText(text);
}

void CProductionWindow::OnRunEnded(const RunSummary& summary)
{
    m_tmrTick.stop();
    if (m_pWaiter != nullptr) {
        m_pWaiter->wait();
        delete m_pWaiter;
        m_pWaiter = nullptr;
    }
    m_pRun.reset();  // lets go of the ports and the log
    m_bRunning = false;
    btnStop->setEnabled(false);
    btnNewRun->setEnabled(true);
    ShowCounts(summary.m_counts);

    QStringList lines;
    lines << QStringLiteral("Run ended: %1 configured, %2 not configured.")
                 .arg(summary.m_counts.m_nConfigured)
                 .arg(summary.m_vecNotConfigured.size());
    for (const UnconfiguredModule& module : summary.m_vecNotConfigured)
        lines << "  not configured: " + QString::fromLatin1(module.m_strAddress.c_str()) + " on " +
                     EngineText(module.m_strPort) + ": " + EngineText(module.m_strReason);
    if (summary.m_bLogFailed)
        lines << QStringLiteral("The log could not be written; the run ended there.");
    AddMessage(lines.join('\n'));
    btnNewRun->setFocus();
    emit runEnded();
    if (m_bCloseWhenEnded)
        close();
}

void CProductionWindow::ShowSetUp()
{
    btnStop->setEnabled(false);
    stkPages->setCurrentWidget(pageSetUp);
    m_tmrRecheck.start();
}

void CProductionWindow::Tick()
{
    const RunClock::time_point now = RunClock::now();
    for (CPortTile* tile : m_vecTiles)
        tile->ShowElapsed(now);
}

void CProductionWindow::closeEvent(QCloseEvent* event)
{
    if (!m_bRunning) {
        // A start under way opens no further port; StepDone drops what a
        // check or start leaves, the window being closed.
        m_bStartAsked = false;
        if (m_pStepper != nullptr)
            m_pRun->RequestStop();
        else
            m_pRun.reset();
        event->accept();
        return;
    }
    event->ignore();
    if (m_bCloseWhenEnded)
        return;
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Stop the run?"),
        QStringLiteral("A run is going on. Stop it and close the window? Every port ends at its "
                       "next step; the log keeps every module."),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes || !m_bRunning)
        return;
    m_bCloseWhenEnded = true;
    StopRun();
}

void CProductionWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!m_bRunning && !DraggedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void CProductionWindow::dropEvent(QDropEvent* event)
{
    const QString path = DraggedFile(event->mimeData());
    if (m_bRunning || path.isEmpty())
        return;
    event->acceptProposedAction();
    UseProfileFile(path);
}

void OpenProductionWindow(TForm1* mainWindow)
{
    // A window of its own, owned by the main window: one at a time.
    auto* window = mainWindow->findChild<CProductionWindow*>(QString(), Qt::FindDirectChildrenOnly);
    if (window == nullptr) {
        window = new CProductionWindow(mainWindow, mainWindow);
        window->setWindowFlag(Qt::Window);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
}
