// Port discovery: the port list's drop-down probes COM1 to COM31 and lists
// the ports that open, with PortMap from list position to port index. The
// status bar tells which device the selected port is, or why devices that
// exist are missing from the list.
#include <QScopedValueRollback>
#include <vector>

#include "connection.h"
#include "port_info.h"
#include "serialport.h"
#include "tform1.h"

namespace {

constexpr int kProbedPortCount = 31;

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
    std::vector<int> unopened;
    for (int portIndex = 0; portIndex < kProbedPortCount; ++portIndex) {
        SerialPort.SetPort(portIndex);
        if (SerialPort.Open() == 1) {
            SerialPort.Close();
            cmbComSel->addItem(PortName(portIndex));
            cmbComSel->setCurrentIndex(position);
            PortMap[position] = portIndex;
            ++position;
            ProcessPendingEvents();
        } else {
            SerialPort.Close();
            unopened.push_back(portIndex);
        }
    }
    ProcessPendingEvents();

    const int selected = cmbComSel->currentIndex();
    cmbComSel->setEditText(selected < 0 ? QStringLiteral("  ") : PortName(PortMap[selected]));
    const std::string reasons = port_info::ExplainUnopenedPorts(unopened, position > 0);
    ShowPortStatus(reasons.empty() && selected >= 0 ? port_info::DescribePort(PortMap[selected])
                                                    : reasons);
    ProcessPendingEvents();
}

void TForm1::cmbComSelActivated(int position)
{
    if (position >= 0 && position < kPortMapSize)
        ShowPortStatus(port_info::DescribePort(PortMap[position]));
}

void TForm1::ShowPortStatus(const std::string& text)
{
    // Device names come from the system in UTF-8; a long line is cut at the
    // window's edge, so the tip holds it whole.
    const QString message = QString::fromStdString(text);
    StatusBar1->showMessage(message);
    StatusBar1->setToolTip(message);
}
