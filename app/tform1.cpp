#include "tform1.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <algorithm>
#include <optional>

#include "commands.h"
#include "connection.h"
#include "productionwindow.h"
#include "reply.h"
#include "serialport.h"

#ifdef Q_OS_WIN
#include <windows.h>
#include <dbt.h>

#include "port_info.h"
#endif

namespace {

// How often a connection's device is asked whether it is still there: an
// unplugged adapter shows within a second.
constexpr int kPortWatchMs = 250;

#ifdef Q_OS_WIN
// A Win32 port signals nothing while no transfer is outstanding on it, so a
// wait there looks at it this often instead.
constexpr int kUnwatchedPortMs = 1;
#endif

// Texts are 8-bit both ways, so bytes 0x80 to 0xFF survive a read and a write.
QString FromBytes(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToBytes(const QString& text)
{
    return text.toLatin1().toStdString();
}

// setText would cut a longer text to maxLength; the limit is meant for typing.
void SetTextBeyondLimit(QLineEdit* edit, int limit, const QString& text)
{
    edit->setMaxLength(std::max(limit, static_cast<int>(text.size())));
    edit->setText(text);
}

// An auto-exclusive button cannot be unchecked by the program, but a decode may
// leave both buttons of a pair unchecked.
void SetRadioPair(QRadioButton* first, bool firstChecked, QRadioButton* second, bool secondChecked)
{
    first->setAutoExclusive(false);
    second->setAutoExclusive(false);
    first->setChecked(firstChecked);
    second->setChecked(secondChecked);
    // As with a click, checking the second unchecks the first.
    if (secondChecked)
        first->setChecked(false);
    first->setAutoExclusive(true);
    second->setAutoExclusive(true);
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent)
{
    // The form's fonts, by fonts of the same widths, so the texts fit the layout.
    QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "Arial"});
    QFont::insertSubstitutions("Courier New", {"Liberation Mono"});
    setupUi(this);
    // Labels size themselves to their text, whatever font stands in.
    for (QLabel* label : ClientArea->findChildren<QLabel*>())
        label->adjustSize();
    // The design's position is that of the outer window, which move() sets.
    move(342, 133);
    // A permanent widget: a menu's status tip (a field's context menu) would
    // clear a message that showMessage had put there. Device and process
    // names are shown as they are, never as markup; a long line is cut at the
    // window's edge rather than widen it.
    lblPortStatus = new QLabel(StatusBar1);
    lblPortStatus->setTextFormat(Qt::PlainText);
    lblPortStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusBar1->addPermanentWidget(lblPortStatus, 1);

    m_nLocalNameLimit = LocalName->maxLength();
    // Deleting from a name longer than the limit lowers the limit with it, so
    // typing never makes it longer again.
    connect(LocalName, &QLineEdit::textChanged, this, [this](const QString& text) {
        LocalName->setMaxLength(std::max(m_nLocalNameLimit, static_cast<int>(text.size())));
    });

    Timer.setInterval(1000);
    connect(&Timer, &QTimer::timeout, this, &TForm1::TimerTimer);
    m_tmrPortWatch.setInterval(kPortWatchMs);
    connect(&m_tmrPortWatch, &QTimer::timeout, this, &TForm1::PortWatchTimer);
    connect(btnConnect, &QPushButton::clicked, this, &TForm1::btnConnectClick);
    connect(btnRead, &QPushButton::clicked, this, &TForm1::btnReadClick);
    connect(btnWrite, &QPushButton::clicked, this, &TForm1::btnWriteClick);
    connect(btnReboot, &QPushButton::clicked, this, &TForm1::btnRebootClick);
    connect(cmbComSel, &CPortCombo::dropDown, this, &TForm1::cmbComSelDropDown);
    connect(cmbComSel, &QComboBox::activated, this, &TForm1::cmbComSelActivated);
    connect(qApp, &QApplication::focusChanged, this, &TForm1::OnFocusChanged);
    SetUpProfileFiles();
    // The production window, from the form's context menu or its shortcut.
    auto* actProduction = new QAction(QStringLiteral("Production..."), this);
    actProduction->setShortcut(QKeySequence(QStringLiteral("Ctrl+P")));
    connect(actProduction, &QAction::triggered, this, [this] { OpenProductionWindow(this); });
    // Off while a wait runs, as the profile files are.
    connect(m_actOpenProfile, &QAction::enabledChanged, actProduction, &QAction::setEnabled);
    addAction(actProduction);

    cmbComSel->ClearItems();
    cmbComSel->setEditText(" ");
    ::ShowWorkingCopy(*this);
}

TForm1::~TForm1()
{
    // QWidget's destructor moves the focus away while this part is already
    // gone; the handler must not run on it.
    disconnect(qApp, &QApplication::focusChanged, this, nullptr);
}

void TForm1::OnFocusChanged(QWidget* previous, QWidget* current)
{
    // Only a move to another control of this window: not the window losing
    // activation (current is null) nor a popup or box taking the focus.
    if (previous == PinCode && current != nullptr && current->window() == this)
        PinCodeExit();
}

void TForm1::PinCodeExit()
{
    ::CheckPinCodeLength(*this);
}

void TForm1::RunWithFilesOff(void (*handler)(CWindowOps&))
{
    // Restored also when the handler throws: the event loop goes on then.
    struct CRestore {
        TForm1* form;
        bool enabled;
        ~CRestore() { form->SetProfileFilesEnabled(enabled); }
    } restore{this, ProfileFilesEnabled()};
    SetProfileFilesEnabled(false);
    handler(*this);
}

void TForm1::btnConnectClick()
{
    RunWithFilesOff(::btnConnectClick);
    if (ConnectionState == Connected)
        m_tmrPortWatch.start();
}

void TForm1::PortWatchTimer()
{
    ::WatchConnection(*this);
    if (ConnectionState != Connected)
        m_tmrPortWatch.stop();
}

#ifdef Q_OS_WIN
bool TForm1::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    // Windows tells every top-level window of a port that went away. The
    // port in use may still answer through its stale handle, so the notice
    // itself ends the connection.
    const MSG* const msg = static_cast<const MSG*>(message);
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(msg->lParam);
    if (msg->message == WM_DEVICECHANGE && msg->wParam == DBT_DEVICEREMOVECOMPLETE && header &&
        header->dbch_devicetype == DBT_DEVTYP_PORT) {
        const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(header);
        if (QString::fromWCharArray(port->dbcp_name) ==
            QString::fromStdString(port_info::ComName(SerialPort.PortIndex()))) {
            ::PortDeviceRemoved(*this);
            if (ConnectionState != Connected)
                m_tmrPortWatch.stop();
        }
    }
    return QMainWindow::nativeEvent(eventType, message, result);
}
#endif

void TForm1::TimerTimer() { ::TimerTimer(*this); }
void TForm1::btnReadClick() { RunWithFilesOff(::btnReadClick); }
void TForm1::btnWriteClick() { ::btnWriteClick(*this); }
void TForm1::btnRebootClick() { ::btnRebootClick(*this); }

void TForm1::ResetProgress(int maximum)
{
    ProgressBar->setMinimum(0);
    ProgressBar->setValue(0);
    ProgressBar->setMaximum(maximum);
    ProcessPendingEvents();
}

void TForm1::StepProgress()
{
    // QProgressBar ignores a value past its maximum instead of keeping the maximum.
    ProgressBar->setValue(std::min(ProgressBar->value() + 1, ProgressBar->maximum()));
    ProcessPendingEvents();
}

void TForm1::ProcessPendingEvents()
{
    QCoreApplication::processEvents();
}

void TForm1::WaitForEvents(const CSerialPort& port, int limitMs)
{
    // The dispatcher sleeps until the first of: a window event, the limit's
    // tick, input on the port.
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
#ifdef Q_OS_WIN
    Q_UNUSED(port);
    limit.start(std::min(limitMs, kUnwatchedPortMs));
#else
    limit.start(limitMs);
    std::optional<QSocketNotifier> input;
    const serial_platform::Handle device = port.DeviceHandle();
    if (device != serial_platform::kInvalidHandle) {
        input.emplace(device, QSocketNotifier::Read);
        // A handler run in here may close the port, then pump events or show
        // a box: their loops must not watch a descriptor that is gone.
        const auto forgetClosedPort = [&] {
            if (port.DeviceHandle() != device)
                input->setEnabled(false);
        };
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &*input, forgetClosedPort);
        connect(dispatcher, &QAbstractEventDispatcher::awake, &*input, forgetClosedPort);
    }
#endif
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TForm1::SetTimerInterval(int milliseconds)
{
    // QTimer::setInterval restarts a running timer even for the same value.
    if (Timer.interval() == milliseconds)
        return;
    Timer.setInterval(milliseconds);
    RestartTimer();
}

void TForm1::SetTimerEnabled(bool enabled)
{
    if (m_bTimerEnabled == enabled)
        return;
    m_bTimerEnabled = enabled;
    RestartTimer();
}

void TForm1::RestartTimer()
{
    Timer.stop();
    if (m_bTimerEnabled && Timer.interval() > 0)
        Timer.start();
}

void TForm1::ShowErrorBox(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, "Error", FromBytes(text), QMessageBox::Ok, this);
    box.exec();
}

void TForm1::SetConnectCaption(const std::string& caption)
{
    btnConnect->setText(FromBytes(caption));
}

void TForm1::SetControlEnabled(Control control, bool enabled)
{
    switch (control) {
    case Control::btnWrite: btnWrite->setEnabled(enabled); break;
    case Control::btnRead: btnRead->setEnabled(enabled); break;
    case Control::btnReboot: btnReboot->setEnabled(enabled); break;
    case Control::cmbComSel: cmbComSel->setEnabled(enabled); break;
    }
}

void TForm1::SetVersionCaption(const std::string& caption)
{
    Version->setText(FromBytes(caption));
    // The label sizes itself to its caption.
    Version->adjustSize();
}

std::string TForm1::CfgPwdText()
{
    return ToBytes(CfgPwd->text());
}

std::string TForm1::PinCodeText()
{
    return ToBytes(PinCode->text());
}

int TForm1::SelectedPortPosition()
{
    return cmbComSel->currentIndex();
}

bool TForm1::PortDiscoveryRunning()
{
    return m_bDiscoveryRunning;
}

ProfileView TForm1::GetProfileView()
{
    ProfileView view;
    view.LocalAddr0 = ToBytes(LocalAddr0->text());
    view.LocalAddr1 = ToBytes(LocalAddr1->text());
    view.LocalAddr2 = ToBytes(LocalAddr2->text());
    view.LocalAddr3 = ToBytes(LocalAddr3->text());
    view.LocalAddr4 = ToBytes(LocalAddr4->text());
    view.LocalAddr5 = ToBytes(LocalAddr5->text());
    view.PeerAddr0 = ToBytes(PeerAddr0->text());
    view.PeerAddr1 = ToBytes(PeerAddr1->text());
    view.PeerAddr2 = ToBytes(PeerAddr2->text());
    view.PeerAddr3 = ToBytes(PeerAddr3->text());
    view.PeerAddr4 = ToBytes(PeerAddr4->text());
    view.PeerAddr5 = ToBytes(PeerAddr5->text());
    view.CfgPwd = ToBytes(CfgPwd->text());
    view.PinCode = ToBytes(PinCode->text());
    view.ModeAt = ModeAt->isChecked();
    view.ModeTr = ModeTr->isChecked();
    view.BtRoleM = BtRoleM->isChecked();
    view.BtRoleS = BtRoleS->isChecked();
    view.ckPeerAddr = ckPeerAddr->isChecked();
    view.Security = Security->isChecked();
    view.bonding = bonding->isChecked();
    view.UartBaud = UartBaud->currentIndex();
    view.ParityN = ParityN->isChecked();
    view.ParityE = ParityE->isChecked();
    view.RtsEnable = RtsEnable->isChecked();
    view.RtsDisable = RtsDisable->isChecked();
    view.LocalName = ToBytes(LocalName->text());
    return view;
}

void TForm1::SetProfileView(const ProfileView& view)
{
    LocalAddr0->setText(FromBytes(view.LocalAddr0));
    LocalAddr1->setText(FromBytes(view.LocalAddr1));
    LocalAddr2->setText(FromBytes(view.LocalAddr2));
    LocalAddr3->setText(FromBytes(view.LocalAddr3));
    LocalAddr4->setText(FromBytes(view.LocalAddr4));
    LocalAddr5->setText(FromBytes(view.LocalAddr5));
    PeerAddr0->setText(FromBytes(view.PeerAddr0));
    PeerAddr1->setText(FromBytes(view.PeerAddr1));
    PeerAddr2->setText(FromBytes(view.PeerAddr2));
    PeerAddr3->setText(FromBytes(view.PeerAddr3));
    PeerAddr4->setText(FromBytes(view.PeerAddr4));
    PeerAddr5->setText(FromBytes(view.PeerAddr5));
    CfgPwd->setText(FromBytes(view.CfgPwd));
    PinCode->setText(FromBytes(view.PinCode));
    SetRadioPair(ModeAt, view.ModeAt, ModeTr, view.ModeTr);
    SetRadioPair(BtRoleM, view.BtRoleM, BtRoleS, view.BtRoleS);
    ckPeerAddr->setChecked(view.ckPeerAddr);
    Security->setChecked(view.Security);
    bonding->setChecked(view.bonding);
    UartBaud->setCurrentIndex(view.UartBaud);
    SetRadioPair(ParityN, view.ParityN, ParityE, view.ParityE);
    SetRadioPair(RtsEnable, view.RtsEnable, RtsDisable, view.RtsDisable);
    SetTextBeyondLimit(LocalName, m_nLocalNameLimit, FromBytes(view.LocalName));
}
