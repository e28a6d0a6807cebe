#include "port_status.h"

#include "serialport.h"

void ShowPortOutcome(CWindowOps& window, std::uint32_t failuresBefore)
{
    if (SerialPort.FailureCount() != failuresBefore)
        window.ShowPortFailure(SerialPort.PortIndex(), SerialPort.LastFailure());
    else
        window.ClearPortFailure();
}
