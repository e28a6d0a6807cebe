// Port discovery: the port list's drop-down probes COM1 to COM31 and lists
// the ports that open, with PortMap from list position to port index. The
// status bar tells which device the selected port is and why devices that
// exist are missing from the list, or what failed on the port.
#include <QScopedValueRollback>

#include "connection.h"
#include "port_info.h"
#include "serialport.h"
#include "tform1.h"

namespace {

QString PortName(int portIndex)
{
    return QStringLiteral("COM%1").arg(portIndex + 1);
}

}  // namespace

void TForm1::cmbComSelDropDown()
{
    // A connect attempt holds the one SerialPort; probing would close or
    // reconfigure its port. A drop-down nested in a running discovery would
    // rebuild the list under it.
    if (ConnectionState != Idle || m_bDiscoveryRunning)
        return;
    QScopedValueRollback<bool> running(m_bDiscoveryRunning, true);

    cmbComSel->ClearItems();
    int position = 0;
    const port_info::PortSurvey survey = port_info::SurveyPorts([&](int portIndex) {
        cmbComSel->addItem(PortName(portIndex));
        cmbComSel->setCurrentIndex(position);
        PortMap[position] = portIndex;
        ++position;
        ProcessPendingEvents();
    });
    ProcessPendingEvents();

    const int selected = cmbComSel->currentIndex();
    cmbComSel->setEditText(selected < 0 ? QStringLiteral("  ") : PortName(PortMap[selected]));
    ShowPortStatus(port_info::DescribeSurvey(survey, selected < 0 ? -1 : PortMap[selected]));
    ProcessPendingEvents();
}

void TForm1::cmbComSelActivated(int position)
{
    if (position >= 0 && position < kPortMapSize)
        ShowPortStatus(port_info::DescribePort(PortMap[position]));
}

void TForm1::ShowPortFailure(int portIndex, const PortFailure& failure)
{
    ShowStatus(port_info::DescribeFailure(portIndex, failure), failure.diagnostic);
    m_bPortFailureShown = true;
}

void TForm1::ClearPortFailure()
{
    if (m_bPortFailureShown)
        ShowPortStatus(port_info::DescribePort(SerialPort.PortIndex()));
}

void TForm1::ShowPortStatus(const std::string& text)
{
    ShowStatus(text, {});
    m_bPortFailureShown = false;
}

void TForm1::ShowStatus(const std::string& text, const std::string& detail)
{
    // Device names come from the system in UTF-8. The label's text is its
    // accessible name, and setText tells screen readers of the change. The
    // tip holds the whole line and the diagnostic line behind it; it is rich
    // text, so escaped.
    const QString message = QString::fromStdString(text);
    lblPortStatus->setText(message);
    const QString tip = detail.empty() ? message : message + '\n' + QString::fromStdString(detail);
    lblPortStatus->setToolTip(
        QStringLiteral("<p style='white-space:pre'>%1</p>").arg(tip.toHtmlEscaped()));
}
