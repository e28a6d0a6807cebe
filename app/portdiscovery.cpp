// Port discovery: the port list's drop-down probes COM1 to COM31 and lists
// the ports that open, with PortMap from list position to port index.
#include <QScopedValueRollback>

#include "connection.h"
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
        }
    }
    ProcessPendingEvents();

    const int selected = cmbComSel->currentIndex();
    cmbComSel->setEditText(selected < 0 ? QStringLiteral("  ") : PortName(PortMap[selected]));
    ProcessPendingEvents();
}
